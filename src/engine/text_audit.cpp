#include "text_audit.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace scanner_core {
namespace {

// Python makes every line break of the file's bytes a line feed before it
// decodes them, so a carriage return in the decoded text is one the codec
// made (UTF-7's "+AA0-", unicode_escape's "\r"). Its tokenizer then ends
// lines at line feeds only: before a line feed the return goes with it, in
// a string it is a character, elsewhere it is one Python refuses. This
// reader ends lines at any carriage return, so a lone one is read as a
// vertical tab, which it treats as Python treats that return.
constexpr char kLoneReturn = '\v';

}  // namespace

TextAudit::TextAudit(const FullScanner& scanner, std::string filepath, std::unordered_set<std::string> local_modules)
    : scanner_(scanner), filepath_(std::move(filepath)), local_modules_(std::move(local_modules)), stage_(true, this) {
    stage_.read_decoded();
}

bool TextAudit::judged(const std::string& module) const {
    return scanner_.classifier().verdict_on(module, local_modules_) != ImportVerdict::silent;
}

void TextAudit::feed(std::string_view utf8) {
    if (finished_) throw std::logic_error("TextAudit: feed after finish");
    if (refused_ || utf8.empty()) return;
    if (carriage_return_) {
        carriage_return_ = false;
        read(utf8.front() == '\n' ? std::string_view("\r") : std::string_view(&kLoneReturn, 1));
    }
    if (utf8.back() == '\r') {  // what follows it decides
        carriage_return_ = true;
        utf8.remove_suffix(1);
    }
    if (std::memchr(utf8.data(), '\r', utf8.size()) == nullptr) {
        read(utf8);
        return;
    }
    scratch_.assign(utf8);
    for (std::size_t i = 0; i + 1 < scratch_.size(); ++i) {
        if (scratch_[i] == '\r' && scratch_[i + 1] != '\n') scratch_[i] = kLoneReturn;
    }
    if (!scratch_.empty() && scratch_.back() == '\r') scratch_.back() = kLoneReturn;  // before the held one
    read(scratch_);
}

void TextAudit::read(std::string_view utf8) {
    stage_.feed(utf8);
}

void TextAudit::refuse(std::string reason) {
    if (finished_ || refused_) return;
    refused_ = true;
    stage_.refuse(std::move(reason), 0);
}

std::vector<AuditFinding> TextAudit::finish(const std::vector<std::pair<std::int64_t, std::string>>& reported) {
    if (finished_) throw std::logic_error("TextAudit: finished twice");
    finished_ = true;
    if (carriage_return_ && !refused_) read(std::string_view(&kLoneReturn, 1));  // the text's last character
    stage_.finish();
    FullScanner::Reported views;
    views.reserve(reported.size());
    for (const auto& [line, module] : reported) views.emplace_back(line, module);
    std::sort(views.begin(), views.end());
    return scanner_.judge(stage_, filepath_, views, local_modules_);
}

}  // namespace scanner_core
