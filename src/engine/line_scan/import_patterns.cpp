// The matchers' long-run scan and the segmented line matcher; the whole-line
// matchers are constexpr and live in the header.
#include "line_scan/import_patterns.hpp"

#include <cstdint>

#include "kernels/kernels.hpp"
#include "memory/large_pages.hpp"

namespace scanner_core {

namespace pattern_detail {

static_assert(int{kSpace} == int{kRunSpace} && int{kWord} == int{kRunWord} && int{kDot} == int{kRunDot},
              "the kernels' run classes are these");

std::size_t skip_long_run(std::string_view s, std::size_t pos, unsigned char cls) noexcept {
    return kernels().skip_run(s.data(), s.size(), pos, cls);
}

}  // namespace pattern_detail

namespace {

// A name longer than this, a read's piece, gets the room of a name of
// megabytes (see append_name).
constexpr std::size_t kLongName = 256 * 1024;

}  // namespace

SegmentedLineMatch::Verdict SegmentedLineMatch::feed(std::string_view bytes, NameRoom* room) {
    using namespace pattern_detail;
    const std::size_t size = bytes.size();
    const std::uint64_t fed = fed_;
    fed_ += size;
    std::size_t pos = 0;
    while (verdict_ == Verdict::undecided && pos < size) {
        switch (step_) {
            case Step::lead: {  // blanks and tabs, then "f" or "i"
                while (pos < size && (bytes[pos] == ' ' || bytes[pos] == '\t')) ++pos;
                if (pos == size) break;
                if (bytes[pos] != 'f' && bytes[pos] != 'i') return decide(Verdict::failed);
                from_ = bytes[pos] == 'f';
                step_ = Step::keyword;
                break;
            }
            case Step::keyword:
            case Step::import_keyword: {
                const std::string_view word = step_ == Step::keyword && from_ ? "from" : "import";
                while (pos < size && count_ < word.size()) {
                    if (bytes[pos] != word[count_]) return decide(Verdict::failed);
                    ++pos;
                    ++count_;
                }
                if (count_ < word.size()) break;
                if (step_ == Step::import_keyword) return decide(Verdict::matched);
                step_ = Step::gap;
                count_ = 0;
                break;
            }
            case Step::gap:
            case Step::gap_before_import: {  // \s+
                const std::size_t end = skip(bytes, pos, kSpace);
                count_ += end - pos;
                pos = end;
                if (pos == size) break;
                if (count_ == 0) return decide(Verdict::failed);
                count_ = 0;
                if (step_ == Step::gap_before_import) {
                    step_ = Step::import_keyword;
                } else {
                    step_ = from_ ? Step::name_start : Step::name;
                }
                break;
            }
            case Step::name_start: {  // a dot makes the relative form; a letter the absolute one
                if (bytes[pos] == '.') {
                    relative_ = true;
                    step_ = Step::dots;
                } else if (in_class(bytes[pos], kWord)) {
                    step_ = Step::name;
                } else {
                    return decide(Verdict::failed);
                }
                break;
            }
            case Step::dots: {  // (\.+): not kept
                pos = skip(bytes, pos, kDot);
                if (pos < size) step_ = Step::name;
                break;
            }
            case Step::name: {  // ([\w.]+), or ([\w.]*) after the dots
                const std::size_t end = skip(bytes, pos, kName);
                if (module().empty()) name_at_ = fed + pos;
                append_name(bytes.substr(pos, end - pos), room);
                pos = end;
                if (pos == size) break;
                if (from_) {
                    step_ = Step::gap_before_import;
                    break;
                }
                // (?:\s|,|$) after a name of at least one byte
                const bool ends = in_class(bytes[pos], kSpace) || bytes[pos] == ',';
                return decide(!module().empty() && ends ? Verdict::matched : Verdict::failed);
            }
        }
    }
    return verdict_;
}

void SegmentedLineMatch::append_name(std::string_view bytes, NameRoom* room) {
    if (cut_) return;
    std::string& name = this->name();
    const std::size_t needed = name.size() + bytes.size();
    if (needed < kLongName) {
        name.append(bytes);
        return;
    }
    // A name this long (only a hostile file has one) gets the room its
    // receiver asks for before it, so that the receiver's text needs no
    // second move, and long room at once, so that its bytes are written
    // once. Growing it step by step would also make its cost depend on the
    // allocator's state: a fresh process maps each step anew where a later
    // call finds the pages of the last one.
    std::size_t front = 0;
    if (room != nullptr && !room_asked_) {
        room_asked_ = true;
        const std::string_view so_far = module();
        if (so_far.size() >= NameRoom::kStartShown) {
            front = room->room_before(so_far.substr(0, NameRoom::kStartShown), from_, relative_);
        } else {
            std::string start(so_far);
            start.append(bytes.substr(0, NameRoom::kStartShown - so_far.size()));
            front = room->room_before(start, from_, relative_);
        }
    }
    if (front == NameRoom::kStartOnly) {
        // Nothing past the first bytes is wanted: they are all the name keeps.
        cut_ = true;
        const std::size_t kept = name.size() < NameRoom::kStartShown ? name.size() : NameRoom::kStartShown;
        name.resize(kept);
        name.append(bytes.substr(0, NameRoom::kStartShown - kept));
        return;
    }
    if (room != nullptr && needed + front > name.capacity()) {
        std::string* const spare = room->spare_room();
        if (spare != nullptr && spare->capacity() > name.capacity()) {
            spare->append(name);
            name.swap(*spare);
            spare->clear();
        }
    }
    if (needed + front > name.capacity()) {
        reserve_large(name, large_room(needed + front), front);
    } else if (front > 0) {
        name.insert(0, front, '\0');  // the room a string reused from an earlier line already has
    }
    room_ += front;
    name.append(bytes);
}

SegmentedLineMatch::Verdict SegmentedLineMatch::end() noexcept {
    if (verdict_ != Verdict::undecided) return verdict_;
    // Only a plain import can end with the line: its name before `$`.
    const bool ends_plain_name = !from_ && step_ == Step::name && !module().empty();
    return decide(ends_plain_name ? Verdict::matched : Verdict::failed);
}

}  // namespace scanner_core
