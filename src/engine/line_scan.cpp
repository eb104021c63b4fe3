#include "line_scan.hpp"

#include <optional>

namespace scanner_core {

void LineScan::found(const FoundImport& import) {
    if (import.is_relative || import.module.empty()) return;
    const ImportVerdict verdict = policy_.judge(import.module, local_modules_, memo_);
    if (verdict == ImportVerdict::silent) return;
    out_.found(LineFinding{verdict, import.line, import.column, import.module, import.gathered, import.lent,
                                import.room});
}

std::size_t LineScan::room_before(std::string_view start, std::int64_t line, bool /*is_from*/, bool is_relative) {
    if (is_relative) return 0;
    const std::optional<ImportVerdict> verdict = policy_.verdict_on_longer(start, local_modules_, memo_);
    if (!verdict || *verdict == ImportVerdict::silent) return 0;
    return out_.room_before(*verdict, line);
}

}  // namespace scanner_core
