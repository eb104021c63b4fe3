#include "reading/source_tree.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
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

bool ends_with_ignoring_case(std::string_view name, std::string_view suffix) noexcept {
    if (name.size() < suffix.size()) return false;
    const std::string_view tail = name.substr(name.size() - suffix.size());
    for (std::size_t k = 0; k < suffix.size(); ++k) {
        const char c = tail[k];
        if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != suffix[k]) return false;
    }
    return true;
}

// A device and inode, as the keys of the sets that keep a file or a
// directory from being walked twice.
struct Identity {
    std::uint64_t device;
    std::uint64_t inode;
    bool operator==(const Identity& other) const noexcept {
        return device == other.device && inode == other.inode;
    }
};

struct IdentityHash {
    std::size_t operator()(const Identity& id) const noexcept {
        return std::hash<std::uint64_t>()(id.inode * 0x9e3779b97f4a7c15ULL ^ id.device);
    }
};

using IdentitySet = std::unordered_set<Identity, IdentityHash>;

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
    SourceWalk(const std::string& src_dir, bool gate) : src_dir_(src_dir), gate_(gate) {
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
        path_ = src_dir_;
        if (root < 0) {
            if (!gate_) fail("recursive directory iterator cannot open directory", src_dir_, errno);
            report(EntryProblem::unreadable_entry, errno);
            return std::move(tree_);
        }
        // A name is joined to the directory's path with a slash unless that
        // path already ends with one, as std::filesystem::path's operator/=.
        levels_.emplace_back(Descriptor(root), path_.size(), !path_.empty() && path_.back() != '/');
        ++open_;
        if (gate_) {
            note_directories_above(root);
            if (!start_gate_level(levels_.back(), nullptr)) {
                levels_.pop_back();
                return std::move(tree_);
            }
        }
        while (!levels_.empty()) {
            const dirent64* entry = next_entry(levels_.back());
            if (entry == nullptr) {
                leave_directory();
            } else if (gate_) {
                visit_for_gate(*entry);
            } else {
                visit(*entry);
            }
        }
        if (gate_) give_shallowest_depths();
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
        std::uint32_t node = 0;         // the gate's: its index among the directories reached
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
                if (gate_) {
                    const int error = errno;
                    path_.resize(level.path_size);
                    entry_ = {static_cast<std::uint64_t>(level.device), static_cast<std::uint64_t>(level.inode)};
                    report(EntryProblem::unreadable_entry, error);
                    return nullptr;
                }
                // The standard walk reads the root's first entry in its
                // constructor, where a failure has a text of its own.
                fail(started_ ? kCannotIncrement : "directory iterator cannot advance", errno);
            }
            if (got == 0) return nullptr;
            level.listed = static_cast<std::size_t>(got);
            level.visited = 0;
        }
    }

    // Makes path_ the path of `entry` in the directory being listed, and
    // returns the entry's name.
    std::string_view enter(const dirent64& entry) {
        const Level& level = levels_.back();
        const std::string_view name(entry.d_name);
        path_.resize(level.path_size);
        if (level.separator) path_.push_back('/');
        path_.append(name);
        return name;
    }

    void visit(const dirent64& entry) {
        Level& level = levels_.back();
        const std::string_view name = enter(entry);

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

    void keep(Level& level, std::size_t name_size, Identity identity = {0, 0}) {
        if (level.directory < 0) {
            level.directory = static_cast<std::int64_t>(tree_.directories_.size());
            tree_.directories_.emplace_back();
        }
        ++tree_.directories_[static_cast<std::size_t>(level.directory)].files;
        const char* stored = tree_.store(path_, {});
        tree_.files_.push_back(SourceTree::File{stored, path_.size(), path_.size() - name_size,
                                                static_cast<std::uint32_t>(level.directory), identity.device,
                                                identity.inode, static_cast<std::uint32_t>(levels_.size() - 1)});
    }

    // The name of the directory being listed, as its path ends.
    std::string_view directory_name() const noexcept {
        std::string_view directory(path_.data(), levels_.back().path_size);
        while (directory.size() > 1 && directory.back() == '/') directory.remove_suffix(1);
        return directory.substr(directory.rfind('/') + 1);
    }

    // The entry being visited (path_) reported instead of walked or kept.
    void report(EntryProblem problem, int error) {
        const char* stored = tree_.store(path_, {});
        tree_.problems_.push_back(
            SourceTree::Problem{problem, stored, path_.size(), error, entry_.device, entry_.inode});
    }

    // The gate's visit: the type of a link's target, the problems, links to
    // directories followed.
    void visit_for_gate(const dirent64& entry) {
        Level& level = levels_.back();
        const std::string_view name = enter(entry);

        unsigned char type = entry.d_type;
        Identity identity{static_cast<std::uint64_t>(level.device), static_cast<std::uint64_t>(entry.d_ino)};
        entry_ = identity;
        bool through_link = false;
        if (type == DT_LNK || type == DT_UNKNOWN) {
            struct stat info {};
            if (::fstatat(level.fd.get(), entry.d_name, &info, 0) != 0) {
                const int error = errno;
                struct stat own {};
                const bool is_link = type == DT_LNK || (::fstatat(level.fd.get(), entry.d_name, &own,
                                                                  AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(own.st_mode));
                if (error == ELOOP) {
                    report(EntryProblem::link_loop, error);
                } else if (is_link && (error == ENOENT || error == ENOTDIR)) {
                    // A link to nothing is nothing Python imports, unless
                    // named as a module: a reviewer would expect a file.
                    if (has_py_extension(name) || problem_of_file(directory_name(), name)) {
                        report(EntryProblem::dangling_link, error);
                    }
                } else {
                    report(EntryProblem::unreadable_entry, error);
                }
                return;
            }
            // The type is the target's; whether the entry itself is a link
            // decides how a directory is opened and left.
            struct stat own {};
            through_link = type == DT_LNK ||
                           ::fstatat(level.fd.get(), entry.d_name, &own, AT_SYMLINK_NOFOLLOW) != 0 ||
                           S_ISLNK(own.st_mode);
            identity = {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
            type = S_ISREG(info.st_mode) ? DT_REG : S_ISDIR(info.st_mode) ? DT_DIR : DT_UNKNOWN;
        }
        if (type == DT_REG) {
            if (has_py_extension(name)) {
                // Reached once already, by another link or a hard link: kept
                // at its first path, noted for its depth.
                const auto [seen, first] = seen_files_.try_emplace(identity, tree_.files_.size());
                if (first || !same_file(seen->second, entry)) {
                    keep(level, name.size(), identity);
                    file_nodes_.push_back(level.node);
                } else {
                    other_places_.emplace_back(seen->second, level.node);
                }
            } else if (const std::optional<EntryProblem> problem = problem_of_file(directory_name(), name)) {
                report(*problem, 0);
            }
        } else if (type == DT_DIR) {
            enter_for_gate(name.size(), through_link);
        } else if (has_py_extension(name) || problem_of_file(directory_name(), name)) {
            report(EntryProblem::not_a_regular_file, 0);
        }
    }

    // Whether `entry` is file `index` kept already, as the system says when
    // asked about both: the identities compared so far may come from the
    // listing, which some file systems number otherwise than stat does. In
    // doubt (a lookup fails), not: a file reported twice, never none.
    bool same_file(std::size_t index, const dirent64& entry) const {
        struct stat now {};
        struct stat before {};
        return ::fstatat(levels_.back().fd.get(), entry.d_name, &now, 0) == 0 &&
               ::stat(tree_.files_[index].path, &before) == 0 && now.st_dev == before.st_dev &&
               now.st_ino == before.st_ino;
    }

    // Records the identity of a directory just opened below `parent` (null
    // for the root) and marks it as being walked; false (with a problem
    // reported) when it cannot be walked or is walked already.
    bool start_gate_level(Level& level, const Level* parent) {
        struct stat info {};
        if (::fstat(level.fd.get(), &info) != 0) {
            report(EntryProblem::unreadable_entry, errno);
            return false;
        }
        const Identity identity{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
        if (above_.count(identity) != 0 || above_root_.count(identity) != 0) {
            report(EntryProblem::link_loop, ELOOP);
            return false;
        }
        const auto [node, first] = nodes_.try_emplace(identity, static_cast<std::uint32_t>(nodes_.size()));
        if (parent != nullptr) edges_.emplace_back(parent->node, node->second);
        // Walked already through another path: its files are in the report
        // once, and the edge gives them their shallowest depth.
        if (!first) return false;
        above_.insert(identity);
        level.device = info.st_dev;
        level.inode = info.st_ino;
        level.node = node->second;
        return true;
    }

    // The directories that hold the root, up to the file system's: a link to
    // one of them leads back into the tree (and to everything beside it),
    // so it is a loop, not a directory to walk.
    void note_directories_above(int root) {
        // O_PATH: a directory that may not be listed still has an identity.
        Descriptor at(open_directory(root, "..", O_PATH));
        struct stat info {};
        Identity last{0, 0};
        if (::fstat(root, &info) == 0) {
            last = {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
        }
        while (at.get() >= 0 && ::fstat(at.get(), &info) == 0) {
            const Identity identity{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
            if (identity == last || !above_root_.insert(identity).second) break;  // "/" is its own ".."
            last = identity;
            at = Descriptor(open_directory(at.get(), "..", O_PATH));
        }
    }

    // A file reached by several paths is judged at the shallowest of them,
    // the strictest for an import that climbs toward the root: its depth is
    // the shortest way from the root to any directory it was seen in, over
    // every edge the walk saw (links to directories walked already
    // included). One breadth-first pass over the edges: linear.
    void give_shallowest_depths() {
        const std::size_t count = nodes_.size();
        std::vector<std::uint32_t> first_edge(count + 1, 0);
        for (const auto& edge : edges_) ++first_edge[edge.first + 1];
        for (std::size_t k = 0; k < count; ++k) first_edge[k + 1] += first_edge[k];
        std::vector<std::uint32_t> targets(edges_.size());
        std::vector<std::uint32_t> filled(first_edge.begin(), first_edge.end() - 1);
        for (const auto& edge : edges_) targets[filled[edge.first]++] = edge.second;
        constexpr std::uint32_t kUnreached = UINT32_MAX;
        std::vector<std::uint32_t> depth(count, kUnreached);
        std::vector<std::uint32_t> queue;
        queue.reserve(count);
        if (count > 0) {
            depth[0] = 0;
            queue.push_back(0);
        }
        for (std::size_t head = 0; head < queue.size(); ++head) {
            const std::uint32_t from = queue[head];
            for (std::uint32_t k = first_edge[from]; k < first_edge[from + 1]; ++k) {
                if (depth[targets[k]] != kUnreached) continue;
                depth[targets[k]] = depth[from] + 1;
                queue.push_back(targets[k]);
            }
        }
        for (std::size_t index = 0; index < tree_.files_.size(); ++index) {
            tree_.files_[index].depth = std::min(tree_.files_[index].depth, depth[file_nodes_[index]]);
        }
        for (const auto& [index, node] : other_places_) {
            tree_.files_[index].depth = std::min(tree_.files_[index].depth, depth[node]);
        }
    }

    void enter_for_gate(std::size_t name_size, bool through_link) {
        Level& parent = levels_.back();
        const char* name = path_.c_str() + path_.size() - name_size;
        Descriptor fd(open_directory_or_release(parent.fd.get(), name, through_link ? 0 : O_NOFOLLOW));
        if (fd.get() < 0) {
            report(errno == ELOOP ? EntryProblem::link_loop : EntryProblem::unreadable_entry, errno);
            return;
        }
        Level child(std::move(fd), path_.size(), true);
        if (!start_gate_level(child, &parent)) return;
        // Far down, as enter() does: the parent is closed and found again as
        // the child's "..", which is it only when the child is no link.
        if (open_ >= open_limit_ && !through_link) {
            parent.fd.reset();
            give_back(std::move(parent.listing));
            parent.listed = parent.visited = 0;
            --open_;
        }
        levels_.push_back(std::move(child));
        ++open_;
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
        if (gate_) {
            above_.erase(Identity{static_cast<std::uint64_t>(done.device), static_cast<std::uint64_t>(done.inode)});
        }
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
    const bool gate_;
    // The gate's: each file kept, with its index; each directory entered,
    // with its node; the edges between directories (parent, child); the
    // other directories a kept file was seen in (file index, node).
    std::unordered_map<Identity, std::size_t, IdentityHash> seen_files_;
    std::unordered_map<Identity, std::uint32_t, IdentityHash> nodes_;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> edges_;
    std::vector<std::pair<std::size_t, std::uint32_t>> other_places_;
    std::vector<std::uint32_t> file_nodes_;
    IdentitySet above_;       // the gate's: directories being walked, the current one included
    IdentitySet above_root_;  // the gate's: the directories that hold the root
    Identity entry_{0, 0};    // the gate's: the entry visited itself, its link not followed
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
    location.depth = file.depth;
    return location;
}

std::optional<EntryProblem> problem_of_name(std::string_view name) noexcept {
    // Every suffix of importlib.machinery.EXTENSION_SUFFIXES on Linux ends
    // in ".so"; ".pyd" is the same on Windows, where a tree may be installed.
    if (ends_with_ignoring_case(name, ".so") || ends_with_ignoring_case(name, ".pyd")) {
        return EntryProblem::extension_module;
    }
    if (ends_with_ignoring_case(name, ".pyc")) return EntryProblem::compiled_bytecode;
    if (ends_with_ignoring_case(name, ".pth")) return EntryProblem::path_configuration;
    for (const std::string_view archive : {".zip", ".egg", ".whl", ".pyz", ".tar.gz", ".tgz", ".tar.bz2", ".tar.xz",
                                           ".tar"}) {
        if (ends_with_ignoring_case(name, archive)) return EntryProblem::archive;
    }
    return std::nullopt;
}

std::optional<EntryProblem> problem_of_file(std::string_view directory, std::string_view name) noexcept {
    if (const std::optional<EntryProblem> problem = problem_of_name(name)) return problem;
    const auto is = [](std::string_view text, std::string_view expected) {
        return text.size() == expected.size() && ends_with_ignoring_case(text, expected);
    };
    if (is(name, "pyproject.toml")) return EntryProblem::entry_points;
    if (is(name, "entry_points.txt") &&
        (ends_with_ignoring_case(directory, ".dist-info") || ends_with_ignoring_case(directory, ".egg-info") ||
         is(directory, "egg-info"))) {
        return EntryProblem::entry_points;
    }
    return std::nullopt;
}

SourceTree walk_sources(const std::string& src_dir) { return SourceWalk(src_dir, false).run(); }

SourceTree walk_gate(const std::string& src_dir) { return SourceWalk(src_dir, true).run(); }

std::vector<std::filesystem::path> discover_sources(const std::string& src_dir) {
    const SourceTree tree = walk_sources(src_dir);
    std::vector<std::filesystem::path> files;
    files.reserve(tree.size());
    for (std::size_t index = 0; index < tree.size(); ++index) files.emplace_back(std::string(tree.path(index)));
    return files;
}

}  // namespace scanner_core
