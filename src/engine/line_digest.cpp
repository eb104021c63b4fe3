#include "line_digest.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

namespace scanner_core {
namespace {

constexpr std::size_t kPiece = 64 * 1024;

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

}  // namespace scanner_core
