#include "source_audit.hpp"

namespace scanner_core {

void SourceAudit::feed(std::string_view) {}

void SourceAudit::finish() { finished_ = true; }

void SourceAudit::reported(std::int64_t line, std::string_view module) { reported_.emplace(line, std::string(module)); }

bool SourceAudit::was_reported(std::int64_t line, const std::string& module) const {
    return reported_.count(std::make_pair(line, module)) != 0;
}

}  // namespace scanner_core
