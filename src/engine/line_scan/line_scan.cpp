#include "line_scan/line_scan.hpp"

#include <optional>
#include <stdexcept>

namespace scanner_core {

void LineScan::found(const FoundImport& import) {
    if (import.is_relative || import.module.empty()) return;
    const ImportVerdict verdict = policy_.judge(import.module, local_modules_, memo_);
    if (verdict == ImportVerdict::silent) return;
    // A name is cut only when its first bytes settle it as silent: a cut
    // name judged otherwise would be a finding lost, never to pass unseen.
    if (import.cut) throw std::logic_error("line scan: a name cut as silent was judged otherwise");
    out_.found(LineFinding{verdict, import.line, import.column, import.module, import.gathered, import.lent,
                           import.room});
}

std::size_t LineScan::room_before(std::string_view start, std::int64_t line, bool /*is_from*/, bool is_relative) {
    // A relative name, and one its first bytes settle as silent, make no
    // finding: nothing past those bytes is kept.
    if (is_relative) return NameRoom::kStartOnly;
    const std::optional<ImportVerdict> verdict = policy_.verdict_on_longer(start, local_modules_, memo_);
    if (!verdict) return 0;
    if (*verdict == ImportVerdict::silent) return NameRoom::kStartOnly;
    return out_.room_before(*verdict, line);
}

}  // namespace scanner_core
