// String annotations: typing.get_type_hints, inspect.get_annotations(
// eval_str=True) and functools.singledispatch give every string of an
// annotation to eval (strings nested in subscripts too: `list["X"]`), so
// each str literal of one (a parameter's, a def's return, a target's at any
// level) is read as the text given to eval, its findings dated at the
// string. Literals side by side, or joined by `+`, are one text, as the
// compiler folds them. A text that Python refuses imports nothing: unlike
// eval's own text, it is no finding, since nothing runs it unless asked.
//
// Members of ImportFinder (import_finder.hpp); where an annotation begins
// and ends is read with the statement's shape (module_bindings.cpp).

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "audit/import_finder.hpp"

namespace scanner_core {

void ImportFinder::track_annotation(const Token& token) {
    if (annotation_depth_ == 0) return;
    if (token.kind == TokenKind::string && token.str_literal) {
        if (annotation_state_ == 0) {
            annotation_text_.clear();
            annotation_unjudgeable_ = false;
            annotation_line_ = token.line;
            annotation_column_ = token.column;
        }
        if (!string_literal_value(token, annotation_text_)) annotation_unjudgeable_ = true;
        annotation_state_ = 1;
        return;
    }
    if (token.kind == TokenKind::op && token.op == Op::plus && annotation_state_ == 1) {
        annotation_state_ = 2;
        return;
    }
    flush_annotation_text();
}

void ImportFinder::end_annotation() {
    flush_annotation_text();
    annotation_depth_ = 0;
}

void ImportFinder::flush_annotation_text() {
    if (annotation_state_ == 0) return;
    annotation_state_ = 0;
    if (annotation_unjudgeable_) {
        mark_unjudgeable_in_reading("\\N{...} dans une annotation", annotation_line_);
        return;
    }
    // eval passes over the blanks that begin its text.
    std::string_view text = annotation_text_;
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    if (text.empty()) return;
    std::vector<AuditedImport> found;
    std::string unjudgeable;
    read_code(text, annotation_line_, annotation_column_, found, unjudgeable);
    if (!unjudgeable.empty()) mark_unjudgeable_in_reading(std::move(unjudgeable), annotation_line_);
    for (AuditedImport& one : found) {
        if (one.kind != AuditedImport::Kind::refused_code) sink().add(std::move(one));
    }
    if (!keeping_) watch_bound_modules();
}

}  // namespace scanner_core
