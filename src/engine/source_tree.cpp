#include "source_tree.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

namespace scanner_core {
namespace {

namespace fs = std::filesystem;

// One listing read: the size the standard walk's directory streams read with.
constexpr std::size_t kListingSize = 32 * 1024;
constexpr std::size_t kPathBlockSize = 64 * 1024;
// The most descriptors the walk may hold for the scans, whatever the limit.
constexpr std::size_t kMostHeld = 1024;
// The most directories the walk keeps open along the way down; below that
// depth it closes the directory it leaves and finds it again through "..".
constexpr std::size_t kMostOpenAlongThePath = 64;

[[noreturn]] void fail(const char* what, int error) {
    throw fs::filesystem_error(what, std::error_code(error, std::generic_category()));
}

[[noreturn]] void fail(const char* what, const std::string& path, int error) {
    throw fs::filesystem_error(what, fs::path(path), std::error_code(error, std::generic_category()));
}

constexpr char kCannotIncrement[] = "cannot increment recursive directory iterator";

// A descriptor that closes itself. Move-only.
class Descriptor {
public:
    Descriptor() noexcept = default;
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~Descriptor() { reset(); }
    int get() const noexcept { return fd_; }
    int release() noexcept { return std::exchange(fd_, -1); }
    void reset() noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

int open_directory(int at, const char* name, int extra_flags) noexcept {
    int fd;
    do {
        fd = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | extra_flags);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool is_dot_or_dot_dot(const char* name) noexcept {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// The extension test of the standard walk's caller: the last dot of the
// name, not its first byte, starts exactly ".py".
bool has_py_extension(std::string_view name) noexcept {
    return name.size() > 3 && name.compare(name.size() - 3, 3, ".py") == 0;
}

// A share of the process's descriptor limit: the walk must leave the rest of
// the process room to work.
std::size_t descriptor_budget() noexcept {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 4 * kMostHeld;
    return static_cast<std::size_t>(limit.rlim_cur / 4);
}

}  // namespace

// One walk over a tree: the directories it is inside of, each with its
// descriptor and its listing read so far.
class SourceWalk {
public:
    explicit SourceWalk(const std::string& src_dir) : src_dir_(src_dir) {
        const std::size_t budget = descriptor_budget();
        open_limit_ = std::clamp<std::size_t>(budget / 2, 2, kMostOpenAlongThePath);
        held_limit_ = std::min(budget > open_limit_ ? budget - open_limit_ : 0, kMostHeld);
    }

    SourceTree run() {
        // The system would read the name only up to a NUL byte and walk some
        // other directory.
        if (src_dir_.find('\0') != std::string::npos) {
            fail("recursive directory iterator cannot open directory", src_dir_, EINVAL);
        }
        const int root = open_directory(AT_FDCWD, src_dir_.c_str(), 0);
        if (root < 0) fail("recursive directory iterator cannot open directory", src_dir_, errno);
        path_ = src_dir_;
        // A name is joined to the directory's path with a slash unless that
        // path already ends with one, as std::filesystem::path's operator/=.
        levels_.emplace_back(Descriptor(root), path_.size(), !path_.empty() && path_.back() != '/');
        ++open_;
        while (!levels_.empty()) {
            const dirent64* entry = next_entry(levels_.back());
            if (entry == nullptr) {
                leave_directory();
            } else {
                visit(*entry);
            }
        }
        return std::move(tree_);
    }

private:
    struct Level {
        Level(Descriptor fd, std::size_t path_size, bool separator)
            : fd(std::move(fd)), path_size(path_size), separator(separator) {}
        Descriptor fd;                  // closed while deeper ones are walked, far down
        std::size_t path_size;          // the directory's path is path_'s first bytes
        bool separator;                 // a slash goes between that path and a name
        std::unique_ptr<char[]> listing;
        std::size_t listed = 0;         // bytes of `listing` filled by the last read
        std::size_t visited = 0;        // bytes of them visited
        std::int64_t resume = 0;        // listing position after the last entry visited
        dev_t device = 0;               // identity, kept when the descriptor is closed
        ino_t inode = 0;
        std::int64_t directory = -1;    // its index among the tree's directories, once it holds a file
    };

    // Returns the directory's next entry other than "." and "..", or null
    // at its end. Throws as the standard walk does when a read fails.
    const dirent64* next_entry(Level& level) {
        for (;;) {
            if (level.visited < level.listed) {
                const auto* entry = reinterpret_cast<const dirent64*>(level.listing.get() + level.visited);
                level.visited += entry->d_reclen;
                level.resume = entry->d_off;
                // The C library's directory streams skip deleted entries.
                if (entry->d_ino == 0 || is_dot_or_dot_dot(entry->d_name)) continue;
                started_ = true;
                return entry;
            }
            if (!level.listing) level.listing = take_listing();
            const ssize_t got = ::getdents64(level.fd.get(), level.listing.get(), kListingSize);
            if (got < 0) {
                if (errno == EINTR) continue;
                // A directory removed while it is read has ended, as for the
                // C library's directory streams.
                if (errno == ENOENT) return nullptr;
                // The standard walk reads the root's first entry in its
                // constructor, where a failure has a text of its own.
                fail(started_ ? kCannotIncrement : "directory iterator cannot advance", errno);
            }
            if (got == 0) return nullptr;
            level.listed = static_cast<std::size_t>(got);
            level.visited = 0;
        }
    }

    void visit(const dirent64& entry) {
        Level& level = levels_.back();
        const std::string_view name(entry.d_name);
        path_.resize(level.path_size);
        if (level.separator) path_.push_back('/');
        path_.append(name);

        // The file test first, for every entry whatever its name, so that a
        // link whose target cannot be looked up fails the walk.
        const unsigned char type = entry.d_type;
        bool regular = type == DT_REG;
        if (type == DT_LNK || type == DT_UNKNOWN) {
            struct stat info {};
            if (::stat(path_.c_str(), &info) == 0) {
                regular = S_ISREG(info.st_mode);
            } else if (errno != ENOENT && errno != ENOTDIR && errno != EOVERFLOW) {
                fail("status", path_, errno);
            }
        }
        if (regular && has_py_extension(name)) keep(level, name.size());

        bool directory = type == DT_DIR;
        if (type == DT_UNKNOWN) {
            // Its own type, the link not followed; a failed lookup only
            // means that it is not entered.
            struct stat info {};
            directory = ::lstat(path_.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
        }
        if (directory) enter(name.size());
    }

    void keep(Level& level, std::size_t name_size) {
        if (level.directory < 0) {
            level.directory = static_cast<std::int64_t>(tree_.directories_.size());
            tree_.directories_.emplace_back();
        }
        ++tree_.directories_[static_cast<std::size_t>(level.directory)].files;
        const char* stored = tree_.store(path_, {});
        tree_.files_.push_back(SourceTree::File{stored, path_.size(), path_.size() - name_size,
                                                static_cast<std::uint32_t>(level.directory)});
    }

    // Opens the directory whose entry was just visited and walks into it.
    void enter(std::size_t name_size) {
        Level& parent = levels_.back();
        const char* name = path_.c_str() + path_.size() - name_size;
        // A directory replaced by a link since it was listed is not followed.
        Descriptor fd(open_directory_or_release(parent.fd.get(), name, O_NOFOLLOW));
        if (fd.get() < 0) fail(kCannotIncrement, errno);
        if (open_ >= open_limit_) {
            // Far down: leave the parent closed, remembering where its
            // listing stood and what it was, and find it again on the way up.
            struct stat info {};
            if (::fstat(parent.fd.get(), &info) != 0) fail(kCannotIncrement, errno);
            parent.device = info.st_dev;
            parent.inode = info.st_ino;
            parent.fd.reset();
            give_back(std::move(parent.listing));
            parent.listed = parent.visited = 0;
            --open_;
        }
        const std::size_t path_size = path_.size();
        levels_.emplace_back(std::move(fd), path_size, true);
        ++open_;
    }

    void leave_directory() {
        Level& done = levels_.back();
        if (levels_.size() > 1) {
            Level& parent = levels_[levels_.size() - 2];
            if (parent.fd.get() < 0) reopen(parent, done);
        }
        give_back(std::move(done.listing));
        if (done.directory >= 0 && tree_.held_.size() < held_limit_) {
            // Kept for the scans, which open its files by name in it.
            const int fd = done.fd.release();
            tree_.held_.push_back(fd);
            tree_.directories_[static_cast<std::size_t>(done.directory)].fd = fd;
        }
        --open_;
        levels_.pop_back();
    }

    // Opens `parent` again as the ".." of `child`, provided it is still the
    // directory that was left, and goes back to where its listing stood.
    void reopen(Level& parent, const Level& child) {
        Descriptor fd(open_directory_or_release(child.fd.get(), "..", 0));
        if (fd.get() < 0) fail(kCannotIncrement, errno);
        struct stat info {};
        if (::fstat(fd.get(), &info) != 0) fail(kCannotIncrement, errno);
        // Moved elsewhere since: the walk cannot go on where it was.
        if (info.st_dev != parent.device || info.st_ino != parent.inode) fail(kCannotIncrement, ENOENT);
        if (::lseek(fd.get(), static_cast<off_t>(parent.resume), SEEK_SET) < 0) fail(kCannotIncrement, errno);
        parent.fd = std::move(fd);
        ++open_;
    }

    // Listing buffers are reused from directory to directory: one of this
    // size per directory would each cost the allocator a sweep of its caches.
    std::unique_ptr<char[]> take_listing() {
        if (spare_listings_.empty()) return std::unique_ptr<char[]>(new char[kListingSize]);
        std::unique_ptr<char[]> listing = std::move(spare_listings_.back());
        spare_listings_.pop_back();
        return listing;
    }

    void give_back(std::unique_ptr<char[]> listing) {
        if (listing) spare_listings_.push_back(std::move(listing));
    }

    // open_directory; when the process has no descriptor left, the ones held
    // for the scans are given back first, as the scans can do without them.
    int open_directory_or_release(int at, const char* name, int extra_flags) {
        const int fd = open_directory(at, name, extra_flags);
        if (fd >= 0 || (errno != EMFILE && errno != ENFILE) || tree_.held_.empty()) return fd;
        tree_.close_held();
        held_limit_ = 0;
        return open_directory(at, name, extra_flags);
    }

    const std::string& src_dir_;
    std::size_t open_limit_ = 2;
    std::size_t held_limit_ = 0;
    std::size_t open_ = 0;  // descriptors of levels_ open
    bool started_ = false;  // an entry was found: the walk is past its constructor
    std::string path_;      // the path of the entry being visited
    std::vector<Level> levels_;
    std::vector<std::unique_ptr<char[]>> spare_listings_;
    SourceTree tree_;
};

SourceTree& SourceTree::operator=(SourceTree&& other) noexcept {
    if (this != &other) {
        close_held();
        blocks_ = std::move(other.blocks_);
        block_used_ = other.block_used_;
        block_size_ = other.block_size_;
        files_ = std::move(other.files_);
        directories_ = std::move(other.directories_);
        held_ = std::move(other.held_);
    }
    return *this;
}

SourceTree::~SourceTree() { close_held(); }

void SourceTree::close_held() noexcept {
    for (const int fd : held_) ::close(fd);
    held_.clear();
    for (Directory& directory : directories_) directory.fd = -1;
}

const char* SourceTree::store(std::string_view text, std::string_view tail) {
    const std::size_t size = text.size() + tail.size() + 1;
    if (block_size_ - block_used_ < size) {
        const std::size_t block = std::max(size, kPathBlockSize);
        blocks_.emplace_back(new char[block]);
        block_size_ = block;
        block_used_ = 0;
    }
    char* at = blocks_.back().get() + block_used_;
    // An empty view may hold no pointer at all, which memcpy must not get.
    if (!text.empty()) std::memcpy(at, text.data(), text.size());
    if (!tail.empty()) std::memcpy(at + text.size(), tail.data(), tail.size());
    at[text.size() + tail.size()] = '\0';
    block_used_ += size;
    return at;
}

SourceLocation SourceTree::location(std::size_t index) const noexcept {
    const File& file = files_[index];
    const Directory& directory = directories_[file.directory];
    SourceLocation location;
    location.path = {file.path, file.path_size};
    location.directory = directory.fd;
    location.name = file.path + file.name_offset;
    location.name_offset = file.name_offset;
    location.directory_files = directory.files;
    location.directory_index = file.directory;
    return location;
}

SourceTree walk_sources(const std::string& src_dir) { return SourceWalk(src_dir).run(); }

std::vector<std::filesystem::path> discover_sources(const std::string& src_dir) {
    const SourceTree tree = walk_sources(src_dir);
    std::vector<std::filesystem::path> files;
    files.reserve(tree.size());
    for (std::size_t index = 0; index < tree.size(); ++index) files.emplace_back(std::string(tree.path(index)));
    return files;
}

}  // namespace scanner_core
