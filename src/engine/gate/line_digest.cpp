#include "gate/line_digest.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

namespace scanner_core {
namespace {

constexpr std::size_t kPiece = 64 * 1024;

// The last bytes of a full piece whose lines are digested ahead: what a
// stage may decide only once it has the next piece (the line scan holds
// back less than a block of 64 bytes, the audit a token or a statement).
constexpr std::size_t kAhead = 512;
// How much of a line that no finding wants yet is hashed ahead, a
// candidate's included: past this, a finding at the end of a line of
// megabytes has it read back, which costs less than hashing every such
// line in case (a `from` line with no `import` is none).
constexpr std::size_t kAheadAtMost = 1024 * 1024;

// As bytes.split() with no argument splits.
bool is_ascii_space(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\x0b' || c == '\x0c';
}

// Closes a descriptor however the reading ends.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

void NormalisedLine::update(std::string_view piece) noexcept {
    std::size_t at = 0;
    while (at < piece.size()) {
        if (is_ascii_space(piece[at])) {
            space_ = true;
            ++at;
            continue;
        }
        std::size_t end = at + 1;
        // Eight bytes at a time past bytes above the space, which no
        // whitespace is: a line of megabytes is mostly one word.
        constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
        constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
        while (end + 8 <= piece.size()) {
            std::uint64_t word;
            std::memcpy(&word, piece.data() + end, 8);
            if (((word - kOnes * 0x21) & ~word & kHighBits) != 0) break;
            end += 8;
        }
        while (end < piece.size() && !is_ascii_space(piece[end])) ++end;
        if (started_ && space_) hash_.update(" ");
        hash_.update(piece.substr(at, end - at));
        started_ = true;
        space_ = false;
        at = end;
    }
}

std::vector<LineDigest> line_digests(const std::string& path, const std::vector<std::int64_t>& lines) {
    std::vector<LineDigest> digests;
    if (lines.empty()) return digests;
    const Descriptor file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    struct stat status {};
    if (file.fd < 0 || ::fstat(file.fd, &status) != 0 || !S_ISREG(status.st_mode)) return digests;
    // One piece per thread, kept: the files read back are mostly small.
    thread_local const std::unique_ptr<char[]> buffer(new char[kPiece]);
    // What the file holds, so that a file read to its size ends without a
    // read that finds its end; a size of 0 (as /proc gives) is not trusted.
    std::int64_t left = status.st_size > 0 ? status.st_size : std::numeric_limits<std::int64_t>::max();
    std::size_t wanted = 0;  // index in `lines` of the next line not yet finished
    std::int64_t line = 1;   // the line the next byte belongs to
    NormalisedLine current;
    // Lines numbered below 1, and repeats, are nobody's.
    const auto skip_passed = [&] {
        while (wanted < lines.size() && lines[wanted] < line) ++wanted;
    };
    skip_passed();
    while (wanted < lines.size()) {
        const ssize_t got = left <= 0 ? 0 : ::read(file.fd, buffer.get(), kPiece);
        if (got < 0) {
            if (errno == EINTR) continue;
            return {};
        }
        left -= got;
        if (got == 0) {  // the last line, with no line feed after it
            if (lines[wanted] == line) digests.push_back({line, current.digest()});
            break;
        }
        std::string_view piece(buffer.get(), static_cast<std::size_t>(got));
        while (!piece.empty() && wanted < lines.size()) {
            const void* found = std::memchr(piece.data(), '\n', piece.size());
            const std::size_t end =
                found == nullptr ? piece.size()
                                 : static_cast<std::size_t>(static_cast<const char*>(found) - piece.data());
            const bool is_wanted = lines[wanted] == line;
            if (is_wanted) current.update(piece.substr(0, end));
            if (found == nullptr) break;
            if (is_wanted) {
                digests.push_back({line, current.digest()});
                current = NormalisedLine();
            }
            ++line;
            skip_passed();
            piece.remove_prefix(end + 1);
        }
    }
    return digests;
}

namespace {

bool before_line(const LineDigest& digest, std::int64_t line) noexcept { return digest.line < line; }

// Whether `text` starts with `word`, or is cut short inside it.
bool starts_or_cut(std::string_view text, std::string_view word) noexcept {
    const std::size_t size = std::min(text.size(), word.size());
    return text.substr(0, size) == word.substr(0, size);
}

}  // namespace

bool LineDigester::candidate(std::string_view start) noexcept {
    std::size_t lead = 0;
    while (lead < start.size() && (start[lead] == ' ' || start[lead] == '\t')) ++lead;
    start.remove_prefix(lead);
    return starts_or_cut(start, "import") || starts_or_cut(start, "from");
}

void LineDigester::feed(std::string_view piece) {
    if (lost_) return;
    if (short_) {
        // The piece before was short and not the last after all: its lines
        // were not counted, and the numbers are lost from here on.
        lost_ = true;
        running_ = false;
        return;
    }
    piece_ = piece;
    at_ = 0;
    take_found();
    if (piece.size() < full_) {
        digest_wanted(piece.size());
        short_ = true;  // most likely the last: finish goes on from here
        return;
    }
    // The lines near the end are digest_ahead's.
    digest_wanted(piece.size() > 2 * kAhead ? piece.size() - 2 * kAhead : 0);
    digest_ahead();
}

void LineDigester::finish() {
    if (!lost_) {
        take_found();
        digest_wanted(piece_.size());
        // The last line, which no line feed ends.
        if (running_ && !ahead_ && next_ < wanted_.size() && wanted_[next_] == line_) {
            made_.push_back({line_, current_.digest()});
            ++next_;
        }
    }
    running_ = false;
    std::sort(made_.begin(), made_.end(),
              [](const LineDigest& a, const LineDigest& b) { return a.line < b.line; });
    made_.erase(std::unique(made_.begin(), made_.end(),
                            [](const LineDigest& a, const LineDigest& b) { return a.line == b.line; }),
                made_.end());
    held_.clear();
    wanted_.clear();
}

void LineDigester::take_found() {
    found_.clear();
    lines_.made_since(found_);
    if (found_.empty()) return;
    wanted_.erase(wanted_.begin(), wanted_.begin() + static_cast<std::ptrdiff_t>(next_));
    next_ = 0;
    for (const std::int64_t line : found_) {
        if (line < 1) continue;
        if (line > line_ || (line == line_ && (!begun_ || running_))) {
            wanted_.push_back(line);
            continue;
        }
        // Passed: served if it was taken ahead, else left to line_digests.
        const auto held = std::lower_bound(held_.begin(), held_.end(), line, before_line);
        if (held != held_.end() && held->line == line) made_.push_back(*held);
    }
    std::sort(wanted_.begin(), wanted_.end());
    wanted_.erase(std::unique(wanted_.begin(), wanted_.end()), wanted_.end());
}

void LineDigester::digest_wanted(std::size_t limit) {
    while (next_ < wanted_.size()) {
        const std::int64_t target = wanted_[next_];
        if (target < line_ || (target == line_ && begun_ && !running_)) {
            ++next_;  // its start has passed: left to line_digests
            continue;
        }
        if (!skip_to(target, limit)) return;
        if (!running_) {
            current_ = NormalisedLine();
            running_ = true;
        }
        ahead_ = worth_ = false;
        if (!hash_line()) return;
        ++next_;
    }
}

bool LineDigester::skip_to(std::int64_t target, std::size_t limit) {
    while (line_ < target) {
        if (running_) {
            // A line taken ahead: to its end, as run_on allows.
            if (!run_on()) return false;
            continue;
        }
        if (at_ >= limit) return false;
        const std::size_t left = piece_.size() - at_;
        const void* feed = std::memchr(piece_.data() + at_, '\n', left);
        if (feed == nullptr) {
            at_ = piece_.size();
            begun_ = true;
            return false;
        }
        at_ = static_cast<std::size_t>(static_cast<const char*>(feed) - piece_.data()) + 1;
        ++line_;
        begun_ = false;
    }
    return true;
}

bool LineDigester::run_on() {
    // Taken ahead and wanted by no finding yet: a candidate runs on up to
    // kAheadAtMost; any other line only if it ends in this piece.
    ahead_bytes_ += piece_.size() - at_;
    const bool on = worth_ && ahead_bytes_ <= kAheadAtMost;
    if (!on && std::memchr(piece_.data() + at_, '\n', piece_.size() - at_) == nullptr) {
        running_ = ahead_ = false;
        at_ = piece_.size();
        begun_ = true;
        return false;
    }
    return hash_line();
}

bool LineDigester::hash_line() {
    const std::size_t left = piece_.size() - at_;
    const char* start = piece_.data() + at_;
    const void* feed = std::memchr(start, '\n', left);
    const std::size_t end = feed == nullptr ? left : static_cast<std::size_t>(static_cast<const char*>(feed) - start);
    current_.update(std::string_view(start, end));
    if (feed == nullptr) {
        at_ = piece_.size();
        begun_ = true;
        return false;
    }
    (ahead_ ? held_ : made_).push_back({line_, current_.digest()});
    running_ = ahead_ = worth_ = false;
    at_ += end + 1;
    ++line_;
    begun_ = false;
    return true;
}

void LineDigester::digest_ahead() {
    // What was taken ahead before the previous piece is dropped.
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(held_before_));
    held_before_ = held_.size();
    const std::size_t size = piece_.size();
    if (running_) {
        if (!ahead_) return;  // a wanted line runs on past the piece: at_ is its end
        if (!run_on()) return;
    }
    if (begun_ && at_ < size) {
        // The rest of a line begun before, which cannot be digested.
        const void* feed = std::memchr(piece_.data() + at_, '\n', size - at_);
        if (feed == nullptr) {
            at_ = size;
            return;
        }
        at_ = static_cast<std::size_t>(static_cast<const char*>(feed) - piece_.data()) + 1;
        ++line_;
        begun_ = false;
    }
    const std::size_t window = size > kAhead ? size - kAhead : 0;
    if (at_ + kAhead < window) {
        // The lines before the window, counted, not hashed: digest_wanted
        // stops short of them only when no wanted line is left.
        const char* first = piece_.data() + at_;
        const void* last = ::memrchr(first, '\n', window - at_);
        if (last != nullptr) {
            const char* past = static_cast<const char*>(last) + 1;
            line_ += std::count(first, past, '\n');
            at_ = static_cast<std::size_t>(past - piece_.data());
        }
        // The line that runs into the window from far before it is taken
        // ahead only if it is a candidate.
        if (window - at_ > kAhead && !candidate(piece_.substr(at_))) {
            const void* feed = std::memchr(piece_.data() + window, '\n', size - window);
            if (feed == nullptr) {
                at_ = size;
                begun_ = true;
                return;
            }
            at_ = static_cast<std::size_t>(static_cast<const char*>(feed) - piece_.data()) + 1;
            ++line_;
        }
    }
    while (at_ < size) {
        const bool wanted = next_ < wanted_.size() && wanted_[next_] == line_;
        current_ = NormalisedLine();
        running_ = true;
        ahead_ = !wanted;
        worth_ = ahead_ && candidate(piece_.substr(at_));
        ahead_bytes_ = 0;
        if (!hash_line()) return;  // the last line runs on into the next piece
        if (wanted) ++next_;
    }
}

}  // namespace scanner_core
