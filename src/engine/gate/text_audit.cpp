#include "gate/text_audit.hpp"

#include <algorithm>
#include <stdexcept>

namespace scanner_core {

TextAudit::TextAudit(const FullScanner& scanner, std::string filepath, std::unordered_set<std::string> local_modules,
                     int depth)
    : scanner_(scanner),
      filepath_(std::move(filepath)),
      local_modules_(std::move(local_modules)),
      depth_(depth),
      stage_(true, this) {
    stage_.read_decoded();
}

bool TextAudit::judged(std::string_view module) const {
    return scanner_.classifier().judge(module, local_modules_, memo_) != ImportVerdict::silent;
}

bool TextAudit::reaches_forbidden(std::string_view module) const {
    return scanner_.reaching().reaches(module) && !own_module(module, local_modules_);
}

bool TextAudit::forbids(std::string_view module) const { return forbidden_module(scanner_.classifier(), module); }

bool TextAudit::own(std::string_view module) const { return own_module(module, local_modules_); }

const HoldingTable& TextAudit::holdings() const noexcept { return scanner_.holdings(); }

void TextAudit::feed(std::string_view utf8) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (finished_) throw std::logic_error("TextAudit: feed after finish");
    // Python makes every line break of the file's bytes a line feed before
    // it decodes them, so a carriage return here is one the codec made
    // (UTF-7's "+AA0-", unicode_escape's "\r"), and Python's tokenizer ends
    // lines at line feeds alone. It keeps a lone return in a string, as the
    // reader does in this mode, and refuses one in code or a comment, where
    // the reader ends a logical line (counting no line): it reads every
    // import that Python's tokens show after one, never fewer.
    if (!refused_) stage_.feed(utf8);
}

void TextAudit::refuse(std::string reason) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (finished_ || refused_) return;
    refused_ = true;
    stage_.refuse(std::move(reason), 0);
}

std::vector<AuditFinding> TextAudit::finish(const std::vector<std::pair<std::int64_t, std::string>>& reported) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (finished_) throw std::logic_error("TextAudit: finished twice");
    finished_ = true;
    stage_.finish();
    FullScanner::Reported views;
    views.reserve(reported.size());
    for (const auto& [line, module] : reported) views.emplace_back(line, module);
    std::sort(views.begin(), views.end());
    if (scanner_.keeps_local() && !stage_.refused() && stage_.deferred_encoding().empty()) {
        local_imports_ = scanner_core::local_imports(stage_.imports(), *this);
    }
    return scanner_.judge(stage_, filepath_, views, local_modules_, depth_);
}

}  // namespace scanner_core
