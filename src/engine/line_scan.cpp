#include "line_scan.hpp"

namespace scanner_core {

void LineScan::found(const FoundImport& import) {
    if (import.is_relative || import.module.empty()) return;
    const ImportVerdict verdict = policy_.judge(import.module, local_modules_, memo_);
    if (verdict == ImportVerdict::silent) return;
    out_.found(LineFinding{verdict, import.line, import.column, import.module, import.gathered, import.lent});
}

}  // namespace scanner_core
