#include "audit/private_twins.hpp"

#include <utility>

namespace scanner_core {
namespace {

struct Twins {
    std::string_view root;
    std::string_view twins[6];
};

// Public module, then the modules its own source imports to do its work.
// Helpers that give none of the module's powers (`_collections_abc`,
// `__future__`, `_colorize`, ...) are left out.
constexpr Twins kTable[] = {
    {"abc", {"_abc", "_py_abc"}},
    {"asyncio", {"_asyncio", "_overlapped", "_winapi"}},
    {"ast", {"_ast"}},
    {"bisect", {"_bisect"}},
    {"bz2", {"_bz2"}},
    {"codecs", {"_codecs"}},
    {"collections", {"_collections"}},
    {"contextvars", {"_contextvars"}},
    {"csv", {"_csv"}},
    {"ctypes", {"_ctypes"}},
    {"curses", {"_curses", "_curses_panel"}},
    {"datetime", {"_datetime", "_pydatetime"}},
    {"dbm", {"_dbm", "_gdbm"}},
    {"decimal", {"_decimal", "_pydecimal"}},
    {"dis", {"_opcode"}},
    {"functools", {"_functools"}},
    {"hashlib", {"_hashlib", "_md5", "_sha1", "_sha2", "_sha3", "_blake2"}},
    {"heapq", {"_heapq"}},
    {"importlib", {"_imp", "_frozen_importlib", "_frozen_importlib_external"}},
    {"io", {"_io"}},
    {"json", {"_json"}},
    {"locale", {"_locale"}},
    {"lzma", {"_lzma"}},
    {"multiprocessing", {"_multiprocessing", "_posixshmem", "_posixsubprocess", "_winapi"}},
    {"opcode", {"_opcode"}},
    {"operator", {"_operator"}},
    {"os", {"posix", "nt", "_posixsubprocess"}},
    {"pickle", {"_pickle"}},
    {"queue", {"_queue"}},
    {"random", {"_random"}},
    {"re", {"_sre"}},
    {"shutil", {"posix", "nt", "_winapi"}},
    {"signal", {"_signal"}},
    {"socket", {"_socket"}},
    {"sqlite3", {"_sqlite3"}},
    {"ssl", {"_ssl"}},
    {"stat", {"_stat"}},
    {"statistics", {"_statistics"}},
    {"string", {"_string"}},
    {"struct", {"_struct"}},
    {"subprocess", {"_posixsubprocess", "_winapi"}},
    {"symtable", {"_symtable"}},
    {"threading", {"_thread"}},
    {"tkinter", {"_tkinter"}},
    {"tokenize", {"_tokenize"}},
    {"tracemalloc", {"_tracemalloc"}},
    {"typing", {"_typing"}},
    {"uuid", {"_uuid"}},
    {"warnings", {"_warnings"}},
    {"weakref", {"_weakref", "_weakrefset"}},
    {"xml", {"pyexpat", "_elementtree"}},
    {"zoneinfo", {"_zoneinfo"}},
};

}  // namespace

std::vector<std::string_view> private_twins(std::string_view root) {
    std::vector<std::string_view> found;
    for (const Twins& entry : kTable) {
        if (entry.root != root) continue;
        for (const std::string_view twin : entry.twins) {
            if (!twin.empty()) found.push_back(twin);
        }
    }
    return found;
}

std::unordered_set<std::string> with_private_twins(std::unordered_set<std::string> forbidden) {
    std::vector<std::string> added;
    for (const std::string& root : forbidden) {
        for (const std::string_view twin : private_twins(root)) added.emplace_back(twin);
    }
    for (std::string& twin : added) forbidden.insert(std::move(twin));
    return forbidden;
}

}  // namespace scanner_core
