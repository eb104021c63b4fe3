#include "gate/local_lookup.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <string_view>
#include <utility>

namespace scanner_core {
namespace {

constexpr std::string_view kMissingLocal = "module local absent de l'arbre \xe2\x80\x94 '";
constexpr std::string_view kArrow = " \xe2\x86\x92 ";
// The lookups remembered at most: the names a tree's files share are few.
constexpr std::size_t kRememberedAtMost = std::size_t{1} << 16;

// os.path.dirname: the path up to its last slash, trailing slashes
// stripped unless the head is slashes alone.
std::string dirname_of(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    std::string_view head = slash == std::string_view::npos ? std::string_view{} : path.substr(0, slash + 1);
    if (!head.empty() && head.find_first_not_of('/') != std::string_view::npos) {
        while (!head.empty() && head.back() == '/') head.remove_suffix(1);
    }
    return std::string(head);
}

// os.path.join of a directory and a name (which never starts with a slash).
std::string joined(std::string_view directory, std::string_view name) {
    std::string made(directory);
    if (!made.empty() && made.back() != '/') made += '/';
    made += name;
    return made;
}

bool ends_with(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

std::vector<std::string> dotted_parts(std::string_view name) {
    std::vector<std::string> parts;
    std::size_t at = 0;
    for (;;) {
        const std::size_t dot = name.find('.', at);
        parts.emplace_back(name.substr(at, dot == std::string_view::npos ? std::string_view::npos : dot - at));
        if (dot == std::string_view::npos) return parts;
        at = dot + 1;
    }
}

std::string dotted(std::vector<std::string>::const_iterator begin, std::vector<std::string>::const_iterator end) {
    std::string made;
    for (auto at = begin; at != end; ++at) {
        if (at != begin) made += '.';
        made += *at;
    }
    return made;
}

}  // namespace

// What a directory holds, as the path finder sees it: entries as files or
// directories (links followed), and the stems of its extension modules.
struct LocalLookup::Listing {
    std::unordered_set<std::string> files;
    std::unordered_set<std::string> directories;
    std::unordered_set<std::string> extensions;

    bool has_init() const {
        return extensions.count("__init__") != 0 || files.count("__init__.py") != 0 || files.count("__init__.pyc") != 0;
    }

    // The directory's listing on disk, or null when it cannot be listed.
    static std::shared_ptr<const Listing> of(const std::string& directory) {
        DIR* opened = ::opendir(directory.empty() ? "." : directory.c_str());
        if (opened == nullptr) return nullptr;
        struct Closer {
            DIR* dir;
            ~Closer() { ::closedir(dir); }
        } closer{opened};
        auto made = std::make_shared<Listing>();
        const int descriptor = ::dirfd(opened);
        while (const dirent* entry = ::readdir(opened)) {
            const std::string_view name(entry->d_name);
            if (name == "." || name == "..") continue;
            bool directory_entry = entry->d_type == DT_DIR;
            bool file_entry = entry->d_type == DT_REG;
            if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
                struct stat status {};
                if (::fstatat(descriptor, entry->d_name, &status, 0) != 0) continue;  // a dangling link: neither
                directory_entry = S_ISDIR(status.st_mode);
                file_entry = S_ISREG(status.st_mode);
            }
            if (directory_entry) {
                made->directories.emplace(name);
            } else if (file_entry) {
                made->files.emplace(name);
                if (ends_with(name, ".so") || ends_with(name, ".pyd")) made->extensions.emplace(name.substr(0, name.find('.')));
            }
        }
        return made;
    }
};

LocalLookup::LocalLookup(std::string root, LocalTree tree) : root_(std::move(root)), tree_(std::move(tree)) {}

std::shared_ptr<const LocalLookup::Listing> LocalLookup::listing(const std::string& directory) {
    {
        const std::lock_guard<std::mutex> hold(mutex_);
        const auto known = listings_.find(directory);
        if (known != listings_.end()) return known->second;
    }
    // Listed outside the lock; a directory two threads list at once is kept once.
    std::shared_ptr<const Listing> made = Listing::of(directory);
    const std::lock_guard<std::mutex> hold(mutex_);
    return listings_.emplace(directory, std::move(made)).first->second;
}

bool LocalLookup::is_package(const std::string& directory) {
    const std::shared_ptr<const Listing> held = listing(directory);
    return held != nullptr && held->has_init();
}

LocalLookup::Kind LocalLookup::kind(const std::string& directory, const std::string& name) {
    const std::shared_ptr<const Listing> held = listing(directory);
    if (held == nullptr) return Kind::package;  // in doubt, provided: the walk reports what it cannot read
    const bool is_directory = held->directories.count(name) != 0;
    if (is_directory && is_package(joined(directory, name))) return Kind::package;
    if (held->extensions.count(name) != 0 || held->files.count(name + ".py") != 0 ||
        held->files.count(name + ".pyc") != 0) {
        return Kind::module;
    }
    if (is_directory && tree_.standard.count(name) == 0) return Kind::name_space;
    return Kind::none;
}

std::optional<std::string> LocalLookup::missing(std::string directory, const std::vector<std::string>& parts,
                                                bool taken) {
    for (std::size_t index = 0; index < parts.size(); ++index) {
        const std::string& part = parts[index];
        const Kind found = kind(directory, part);
        if (found == Kind::none) {
            if (taken && index + 1 == parts.size() && tree_.standard.count(part) == 0 && is_package(directory)) {
                return std::nullopt;  // may be an attribute its __init__ defines
            }
            return joined(directory, part + ".py");
        }
        if (found == Kind::module) return std::nullopt;  // what follows is an attribute of the module
        directory = joined(directory, part);
    }
    return std::nullopt;
}

std::optional<std::string> LocalLookup::missing_memo(const std::string& directory,
                                                     const std::vector<std::string>& parts, bool taken) {
    std::string key = directory;
    key += '\0';
    key += dotted(parts.begin(), parts.end());
    key += taken ? '1' : '0';
    {
        const std::lock_guard<std::mutex> hold(mutex_);
        const auto known = found_.find(key);
        if (known != found_.end()) return known->second;
    }
    std::optional<std::string> made = missing(directory, parts, taken);
    const std::lock_guard<std::mutex> hold(mutex_);
    if (found_.size() >= kRememberedAtMost) return made;  // a tree of that many names: looked up each time
    return found_.emplace(std::move(key), std::move(made)).first->second;
}

std::vector<AuditFinding> LocalLookup::findings(const std::string& filepath, const std::vector<LocalImport>& imports) {
    std::vector<AuditFinding> made;
    // `from .x import y` lacking x is said once: by line and file. The
    // imports are taken in line order (those of a line in the order found),
    // so that only the files said on the current line are held.
    std::vector<std::size_t> by_line(imports.size());
    for (std::size_t index = 0; index < by_line.size(); ++index) by_line[index] = index;
    std::stable_sort(by_line.begin(), by_line.end(),
                     [&](std::size_t a, std::size_t b) { return imports[a].line < imports[b].line; });
    std::unordered_set<std::string> said;
    std::int64_t said_line = 0;
    std::vector<std::string> anchors;  // by level: a file's relative imports share a few
    for (const std::size_t index : by_line) {
        const LocalImport& local = imports[index];
        std::vector<std::string> parts = dotted_parts(local.name);
        std::optional<std::string> lacking;
        if (local.level > 0) {
            while (anchors.size() < local.level) {
                anchors.push_back(dirname_of(anchors.empty() ? std::string_view(filepath) : anchors.back()));
            }
            lacking = missing_memo(anchors[local.level - 1], parts, local.taken_name);
        } else {
            const std::vector<std::string>& chain = tree_.package;
            if (!chain.empty()) {
                if (parts.size() < chain.size() || !std::equal(chain.begin(), chain.end(), parts.begin())) {
                    continue;  // a module of the plugin's that this tree does not hold
                }
                parts.erase(parts.begin(), parts.begin() + static_cast<std::ptrdiff_t>(chain.size()));
            } else if (kind(root_, parts.front()) == Kind::none) {
                continue;  // the same
            }
            lacking = missing_memo(root_, parts, local.taken_name);
        }
        if (!lacking) continue;
        if (local.line != said_line) {
            said.clear();
            said_line = local.line;
        }
        if (!said.insert(*lacking).second) continue;
        AuditFinding finding;
        finding.rule = AuditRule::missing_local_module;
        finding.line = local.line;
        finding.column = local.column;
        finding.module.assign(local.level, '.');
        finding.module += local.name;
        finding.message = filepath;
        finding.message += ':';
        finding.message += std::to_string(local.line);
        finding.message += ": ";
        finding.message += kMissingLocal;
        finding.message += finding.module;
        finding.message += kArrow;
        finding.message += *lacking;
        finding.message += '\'';
        made.push_back(std::move(finding));
    }
    return made;
}

}  // namespace scanner_core
