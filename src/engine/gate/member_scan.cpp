#include "gate/member_scan.hpp"

#include <utility>

namespace scanner_core {

MemberScan::MemberScan(const FullScanner& scanner, std::string filepath,
                       std::unordered_set<std::string> local_modules, bool audit, int depth, bool digests)
    : local_modules_(std::move(local_modules)),
      verdict_(scanner, std::move(filepath), local_modules_, worker_, audit, depth, digests, false),
      pieces_(verdict_, verdict_.classified() ? &worker_.blocks : nullptr) {}

void MemberScan::feed(std::string_view bytes) {
    const std::lock_guard<std::mutex> lock(mutex_);
    pieces_.feed(bytes);
}

FullResult MemberScan::finish() {
    const std::lock_guard<std::mutex> lock(mutex_);
    pieces_.finish();
    return verdict_.result();
}

}  // namespace scanner_core
