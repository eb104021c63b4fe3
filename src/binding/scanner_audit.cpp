// The Python module scanner_audit: the full verdict (the line scan and the
// audit, in one pass over each file) as one table of registrations over the
// engine. Paths go in as str, bytes or path objects and come back as str,
// the bytes of a name that is not UTF-8 as surrogate escapes, as os.fsdecode
// gives them; the scans release the GIL for the whole engine call.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <unordered_set>
#include <vector>

#include "gate/full_scan.hpp"
#include "gate/local_lookup.hpp"
#include "gate/finding_places.hpp"
#include "gate/member_scan.hpp"
#include "kernels/kernels.hpp"
#include "gate/report_block.hpp"
#include "gate/text_audit.hpp"
#include "gate/tree_stream.hpp"

namespace py = pybind11;

using scanner_core::context_words;
using scanner_core::AuditFinding;
using scanner_core::FullResult;
using scanner_core::FullScanner;
using scanner_core::MemberScan;
using scanner_core::TextAudit;
using StringSet = std::unordered_set<std::string>;
using StringList = std::vector<std::string>;

namespace {

constexpr const char* kModuleDoc =
    "The full verdict on plugin sources: scanner_core's line scan and an audit that reads each file as "
    "Python reads it, in one pass.";

// A path argument as the system sees it: os.fsencode of a str, bytes or
// path object (a str encoded here as os.fsencode encodes it, without the
// call into Python that costs more than a small file's scan).
std::string fs_path(const py::object& path) {
    if (PyUnicode_Check(path.ptr())) {
        PyObject* encoded = PyUnicode_EncodeFSDefault(path.ptr());
        if (encoded == nullptr) throw py::error_already_set();
        return py::reinterpret_steal<py::bytes>(encoded).cast<std::string>();
    }
    return py::module_::import("os").attr("fsencode")(path).cast<std::string>();
}

// Text the engine holds as the system's bytes (paths, and messages that
// repeat them), as os.fsdecode gives it.
py::str fs_text(const std::string& bytes) {
    PyObject* text = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "surrogateescape");
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

// The messages of the line scan's findings of one level, in line order.
py::typing::List<py::str> scan_messages(const FullResult& result, bool errors) {
    py::typing::List<py::str> list;
    for (const AuditFinding& finding : result.scan_findings) {
        if (scanner_core::is_error(finding.rule) == errors) list.append(fs_text(finding.message));
    }
    return list;
}

// (id, level) of every rule, in the engine's order.
py::typing::List<py::typing::Tuple<py::str, py::str>> rules() {
    py::typing::List<py::typing::Tuple<py::str, py::str>> list;
    for (const scanner_core::AuditRule rule : scanner_core::all_rules()) {
        list.append(py::make_tuple(std::string(rule_id(rule)), is_error(rule) ? "error" : "warning"));
    }
    return list;
}

// Every row of the table of what the standard library's modules hold under
// other names: (module, attribute, target, target is a module, bound by `import *`).
py::typing::List<py::typing::Tuple<py::str, py::str, py::str, bool, bool>> module_holdings() {
    py::typing::List<py::typing::Tuple<py::str, py::str, py::str, bool, bool>> rows;
    for (const scanner_core::Holding& held : scanner_core::all_holdings()) {
        rows.append(py::make_tuple(py::str(held.module.data(), held.module.size()),
                                   py::str(held.attribute.data(), held.attribute.size()),
                                   py::str(held.target.data(), held.target.size()), held.is_module, held.starred));
    }
    return rows;
}

// The forbidden modules a plugin may take through `module`, as the report's header lists them.
StringList forbidden_reached_from(const FullScanner& scanner, const std::string& module) {
    return scanner_core::forbidden_reached_from(scanner.classifier(), scanner.holdings(), module);
}

using HoldingTuple = std::tuple<std::string, std::string, std::string, bool, bool>;

// A policy's scanner, with the rows of module_holdings()'s form that its
// tables give for modules outside the standard library.
std::unique_ptr<FullScanner> make_scanner(StringSet forbidden, StringSet allowed_exact, StringList allowed_prefixes,
                                          const std::vector<HoldingTuple>& holdings,
                                          const StringList& allowed_attributes, std::string_view type_checking,
                                          bool local_imports) {
    std::vector<scanner_core::HoldingRow> rows;
    rows.reserve(holdings.size());
    for (const auto& [module, attribute, target, is_module, starred] : holdings) {
        rows.push_back({module, attribute, target, is_module, starred});
    }
    return std::make_unique<FullScanner>(std::move(forbidden), std::move(allowed_exact), std::move(allowed_prefixes),
                                         std::move(rows), allowed_attributes, type_checking, local_imports);
}

// A module named by a string constant may hold lone surrogates, which the
// engine writes as UTF-8 would if it allowed them.
py::typing::Optional<py::str> module_text(const AuditFinding& finding) {
    const std::string_view module = finding.module_view();
    if (module.empty()) return py::none();
    PyObject* text = PyUnicode_DecodeUTF8(module.data(), static_cast<Py_ssize_t>(module.size()), "surrogatepass");
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

// Adds the command's own findings (rule id, line, column, module, message)
// to a record: its counts, blocks and fingerprints then hold them.
void add_findings(FullResult& result,
                  const std::vector<std::tuple<std::string, std::int64_t, std::optional<std::int64_t>, py::str,
                                               py::object>>& rows) {
    std::vector<AuditFinding> added;
    for (const auto& [id, line, column, module, message] : rows) {
        const std::optional<scanner_core::AuditRule> rule = scanner_core::rule_with_id(id);
        if (!rule) throw py::value_error("no such rule: " + id);
        AuditFinding made;
        made.rule = *rule;
        made.line = line;
        made.column = column.value_or(0);
        PyObject* encoded = PyUnicode_AsEncodedString(module.ptr(), "utf-8", "surrogatepass");
        if (encoded == nullptr) throw py::error_already_set();
        made.module = py::reinterpret_steal<py::bytes>(encoded).cast<std::string>();
        made.message = fs_path(message);
        added.push_back(std::move(made));
    }
    scanner_core::add_findings(result, std::move(added));
}

using FindingRow = py::typing::Tuple<py::str, py::typing::Optional<py::int_>, py::typing::Optional<py::int_>,
                                    py::typing::Optional<py::str>, py::str>;

// (rule, line, column, module, message) of each finding, as Finding's
// properties give them: a file's findings in one call, not five per finding.
py::typing::List<FindingRow> finding_tuples(const std::vector<AuditFinding>& findings) {
    py::typing::List<FindingRow> list;
    for (const AuditFinding& finding : findings) {
        py::object line = finding.line > 0 ? py::object(py::int_(finding.line)) : py::object(py::none());
        py::object column = finding.column > 0 ? py::object(py::int_(finding.column)) : py::object(py::none());
        list.append(py::make_tuple(py::str(std::string(rule_id(finding.rule))), std::move(line), std::move(column),
                                   module_text(finding), fs_text(finding.message)));
    }
    return list;
}

// Where each finding stands, scan_findings' then findings': "" when not
// known, else words such as "module" or "function,optional".
std::vector<std::string> finding_contexts(const FullResult& result) {
    std::vector<std::string> words;
    for (const std::vector<AuditFinding>* list : {&result.scan_findings, &result.findings}) {
        for (const AuditFinding& finding : *list) words.push_back(context_words(finding.context));
    }
    return words;
}

// The rule of each finding, scan_findings' then findings', in one call.
std::vector<std::string_view> finding_rules(const FullResult& result) {
    std::vector<std::string_view> rules;
    for (const std::vector<AuditFinding>* list : {&result.scan_findings, &result.findings}) {
        for (const AuditFinding& finding : *list) rules.push_back(rule_id(finding.rule));
    }
    return rules;
}

using LocalImportRow = py::typing::Tuple<py::int_, py::typing::Optional<py::int_>, py::int_, py::str, py::bool_>;

// (line, column, level, name, taken_name) of each local import, in one call.
py::typing::List<LocalImportRow> local_import_tuples(const std::vector<scanner_core::LocalImport>& imports) {
    py::typing::List<LocalImportRow> list;
    for (const scanner_core::LocalImport& found : imports) {
        py::object column = found.column > 0 ? py::object(py::int_(found.column)) : py::object(py::none());
        list.append(py::make_tuple(found.line, std::move(column), found.level, fs_text(found.name), found.taken_name));
    }
    return list;
}

FullResult scan_file(const FullScanner& scanner, const py::object& filepath, const StringSet& local_modules,
                     bool audit, int depth, bool digests) {
    const std::string path = fs_path(filepath);
    py::gil_scoped_release release;
    return scanner.scan_file(path, local_modules, audit, depth, digests);
}

std::vector<FullResult> scan_directory(const FullScanner& scanner, const py::object& src_dir,
                                       const StringSet& local_modules, unsigned int num_threads, bool audit) {
    const std::string path = fs_path(src_dir);
    py::gil_scoped_release release;
    return scanner.scan_directory(path, local_modules, num_threads, audit);
}

// `local_package`: the root's own package names, given to have the tree's
// local imports looked up on the scan's threads (with `standard_names`).
std::vector<FullResult> scan_tree(const FullScanner& scanner, const py::object& src_dir, const StringSet& local_modules,
                                  unsigned int num_threads, bool audit, bool digests,
                                  std::optional<StringList> local_package, StringSet standard_names) {
    const std::string path = fs_path(src_dir);
    std::optional<scanner_core::LocalTree> local;
    if (local_package) local = scanner_core::LocalTree{std::move(*local_package), std::move(standard_names)};
    py::gil_scoped_release release;
    return scanner.scan_tree(path, local_modules, num_threads, audit, digests, local ? &*local : nullptr);
}

// The gate's walk of a tree, for a stream of its records (TreeStream).
scanner_core::WalkedTree walk_tree(const py::object& src_dir) {
    std::string path = fs_path(src_dir);
    py::gil_scoped_release release;
    return scanner_core::WalkedTree::walk(std::move(path));
}

// The path of each record of a walk, as the record's filepath reads.
py::typing::List<py::str> walked_paths(const scanner_core::WalkedTree& walked) {
    py::typing::List<py::str> list;
    for (std::size_t index = 0; index < walked.size(); ++index) list.append(fs_text(std::string(walked.path(index))));
    return list;
}

// The walk's records scanned on the scan's threads in `order`, taken one by one.
std::unique_ptr<scanner_core::TreeStream> stream_tree(const FullScanner& scanner, const scanner_core::WalkedTree& walked,
                                                      std::vector<std::size_t> order, StringSet local_modules,
                                                      unsigned int num_threads, bool audit, bool digests,
                                                      std::optional<StringList> local_package,
                                                      StringSet standard_names) {
    std::optional<scanner_core::LocalTree> local;
    if (local_package) local = scanner_core::LocalTree{std::move(*local_package), std::move(standard_names)};
    py::gil_scoped_release release;
    return std::make_unique<scanner_core::TreeStream>(scanner, walked, std::move(order), std::move(local_modules),
                                                      num_threads, audit, digests, std::move(local));
}

// (device, inode) of a file the gate's walk found, None for any other record.
py::typing::Optional<py::typing::Tuple<py::int_, py::int_>> identity(const FullResult& result) {
    if (result.identity.device == 0 && result.identity.inode == 0) return py::none();
    return py::make_tuple(result.identity.device, result.identity.inode);
}

// A name the command gives as str, as the system's bytes (os.fsencode).
std::string fs_bytes(const py::str& text) {
    PyObject* bytes = PyUnicode_EncodeFSDefault(text.ptr());
    if (bytes == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::bytes>(bytes).cast<std::string>();
}

std::unique_ptr<MemberScan> scan_member(const FullScanner& scanner, const py::str& filepath, StringSet local_modules,
                                        bool audit, int depth, bool digests) {
    return std::make_unique<MemberScan>(scanner, fs_bytes(filepath), std::move(local_modules), audit, depth, digests);
}

void feed_member(MemberScan& scan, const py::bytes& piece) {
    const auto bytes = static_cast<std::string_view>(piece);  // the bytes object outlives the call
    py::gil_scoped_release release;
    scan.feed(bytes);
}

FullResult finish_member(MemberScan& scan) {
    py::gil_scoped_release release;
    return scan.finish();
}

std::optional<FullResult> judge_by_name(const FullScanner&, const py::object& filepath) {
    return scanner_core::judge_by_name(fs_path(filepath));
}

std::unique_ptr<TextAudit> text_audit(const FullScanner& scanner, const py::object& filepath,
                                      StringSet local_modules, int depth) {
    return std::make_unique<TextAudit>(scanner, fs_path(filepath), std::move(local_modules), depth);
}

void feed_text(TextAudit& audit, const py::bytes& utf8) {
    const auto text = static_cast<std::string_view>(utf8);  // the bytes object outlives the call
    py::gil_scoped_release release;
    audit.feed(text);
}

std::vector<AuditFinding> finish_text(TextAudit& audit, const std::vector<std::pair<std::int64_t, std::string>>& reported) {
    py::gil_scoped_release release;
    return audit.finish(reported);
}


py::typing::Tuple<py::int_, py::int_> counts(const FullResult& result) {
    const scanner_core::FileCounts made = scanner_core::count_findings(result);
    return py::make_tuple(made.errors, made.warnings);
}

using Brief = py::typing::Tuple<py::str, py::bool_, py::typing::Optional<py::str>,
                                py::typing::Tuple<py::int_, py::int_>>;

// What the command asks of every record, in one call: its path, whether
// it is about a walk's entry, the codec only Python decodes it with (or
// None), and its counts.
Brief brief(const FullResult& result) {
    py::object deferred = py::none();
    if (!result.deferred_encoding.empty()) deferred = py::str(result.deferred_encoding);
    return py::make_tuple(fs_text(result.scan.filepath), result.entry, std::move(deferred), counts(result));
}

py::bytes text_block(const FullResult& result, bool fail_on_warning) {
    std::string block;
    {
        py::gil_scoped_release release;
        block = scanner_core::text_block(result, fail_on_warning);
    }
    return py::bytes(block);
}

py::bytes json_block(const FullResult& result, bool fail_on_warning, const py::str& name) {
    const std::string key = fs_bytes(name);
    std::string block;
    {
        py::gil_scoped_release release;
        block = scanner_core::json_block(result, fail_on_warning, key);
    }
    return py::bytes(block);
}

// Hands the file's JSON object to `write` in pieces, as memoryviews valid
// only during the call: a block of any size costs one piece of memory.
void write_json_block(const FullResult& result, bool fail_on_warning, const py::str& name, const std::string& lead,
                      const py::typing::Callable<void(py::memoryview)>& write) {
    const std::string key = fs_bytes(name);
    py::gil_scoped_release release;
    scanner_core::write_json_block(result, fail_on_warning, key, lead, [&write](std::string_view piece) {
        py::gil_scoped_acquire acquire;
        py::memoryview view = py::memoryview::from_memory(piece.data(), static_cast<py::ssize_t>(piece.size()));
        write(view);
        view.attr("release")();
    });
}

// Hands the text blocks of consecutive files to `write` together, in pieces.
void write_text_blocks(const std::vector<const FullResult*>& results, bool fail_on_warning,
                       const py::typing::Callable<void(py::memoryview)>& write) {
    py::gil_scoped_release release;
    scanner_core::write_text_blocks(results, fail_on_warning, [&write](std::string_view piece) {
        py::gil_scoped_acquire acquire;
        py::memoryview view = py::memoryview::from_memory(piece.data(), static_cast<py::ssize_t>(piece.size()));
        write(view);
        view.attr("release")();
    });
}

// Hands the objects of consecutive files to `write` together, in pieces.
void write_json_blocks(const std::vector<const FullResult*>& results, const std::vector<py::str>& names,
                       bool fail_on_warning, bool first, const py::typing::Callable<void(py::memoryview)>& write) {
    std::vector<std::string> keys;
    keys.reserve(names.size());
    for (const py::str& name : names) keys.push_back(fs_bytes(name));
    py::gil_scoped_release release;
    scanner_core::write_json_blocks(results, keys, fail_on_warning, first, [&write](std::string_view piece) {
        py::gil_scoped_acquire acquire;
        py::memoryview view = py::memoryview::from_memory(piece.data(), static_cast<py::ssize_t>(piece.size()));
        write(view);
        view.attr("release")();
    });
}

// The fingerprint of each finding in report order, None where its line is gone.
py::typing::List<py::typing::Optional<py::str>> fingerprints(const FullResult& result, const py::str& name) {
    const std::string key = fs_bytes(name);
    std::vector<std::string> made;
    {
        py::gil_scoped_release release;
        made = scanner_core::fingerprints(result, scanner_core::report_order(result), key);
    }
    py::typing::List<py::typing::Optional<py::str>> list;
    for (const std::string& value : made) {
        list.append(value.empty() ? py::object(py::none()) : py::object(py::str(value)));
    }
    return list;
}

std::string report_repr(const FullResult& result) {
    std::size_t errors = 0;
    for (const AuditFinding& finding : result.scan_findings) errors += is_error(finding.rule) ? 1 : 0;
    return "<Report passed=" + std::string(result.passed ? "True" : "False") +
           " errors=" + std::to_string(errors) +
           " warnings=" + std::to_string(result.scan_findings.size() - errors) +
           " findings=" + std::to_string(result.findings.size()) + ">";
}

}  // namespace

PYBIND11_MODULE(scanner_audit, m) {
    m.doc() = kModuleDoc;
    m.def("rules", &rules);
    m.def("module_holdings", &module_holdings);
    m.def("instruction_set", [] { return std::string(scanner_core::instruction_set_name(scanner_core::active_instruction_set())); },
          "The instruction set the byte kernels run on: plain, sse2, avx2, avx512 or avx512vbmi (SCANNER_CORE_ISA "
          "chooses one).");
    m.def("write_text_blocks", &write_text_blocks, py::arg("reports"), py::arg("fail_on_warning"), py::arg("write"));
    m.def("write_json_blocks", &write_json_blocks, py::arg("reports"), py::arg("names"), py::arg("fail_on_warning"),
          py::arg("first"), py::arg("write"));

    py::class_<AuditFinding, std::unique_ptr<AuditFinding>>(m, "Finding")
        .def_property_readonly("rule", [](const AuditFinding& f) { return std::string(rule_id(f.rule)); })
        .def_property_readonly("level", [](const AuditFinding& f) { return is_error(f.rule) ? "error" : "warning"; })
        .def_property_readonly("line", [](const AuditFinding& f) { return f.line > 0 ? std::optional(f.line) : std::nullopt; })
        .def_property_readonly("column",
                               [](const AuditFinding& f) { return f.column > 0 ? std::optional(f.column) : std::nullopt; })
        .def_property_readonly("module", &module_text)
        .def_property_readonly("context", [](const AuditFinding& f) { return context_words(f.context); })
        .def_property_readonly("message", [](const AuditFinding& f) { return fs_text(f.message); });

    py::class_<FullResult, std::unique_ptr<FullResult>>(m, "Report")
        .def_property_readonly("filepath", [](const FullResult& r) { return fs_text(r.scan.filepath); })
        .def_property_readonly("errors", [](const FullResult& r) { return scan_messages(r, true); })
        .def_property_readonly("warnings", [](const FullResult& r) { return scan_messages(r, false); })
        .def_readonly("scan_findings", &FullResult::scan_findings, py::return_value_policy::reference_internal)
        .def_property_readonly("scan_tuples", [](const FullResult& r) { return finding_tuples(r.scan_findings); })
        .def_property_readonly("finding_tuples", [](const FullResult& r) { return finding_tuples(r.findings); })
        .def_readonly("findings", &FullResult::findings, py::return_value_policy::reference_internal)
        .def_property_readonly("contexts", &finding_contexts)
        .def_property_readonly("rules", &finding_rules)
        .def_readonly("allowed_used", &FullResult::allowed_used)
        .def_readonly("passed", &FullResult::passed)
        .def_readonly("entry", &FullResult::entry)
        .def_property_readonly("deferred_encoding", [](const FullResult& r) {
            return r.deferred_encoding.empty() ? std::nullopt : std::optional(r.deferred_encoding);
        })
        .def_property_readonly("identity", &identity)
        .def_property_readonly("local_imports", [](const FullResult& r) { return local_import_tuples(r.local_imports); })
        .def_property_readonly("unread", &scanner_core::was_unread)
        .def("counts", &counts)
        .def_property_readonly("brief", &brief)
        .def("text_block", &text_block, py::arg("fail_on_warning"))
        .def("json_block", &json_block, py::arg("fail_on_warning"), py::arg("name"))
        .def("write_json_block", &write_json_block, py::arg("fail_on_warning"), py::arg("name"), py::arg("lead"),
             py::arg("write"))
        .def("fingerprints", &fingerprints, py::arg("name"))
        .def("add_findings", &add_findings, py::arg("rows"))
        .def("__repr__", &report_repr);

    py::class_<MemberScan, std::unique_ptr<MemberScan>>(m, "MemberScan")
        .def("feed", &feed_member, py::arg("piece"))
        .def("finish", &finish_member);

    py::class_<scanner_core::WalkedTree>(m, "TreeWalk")
        .def_property_readonly("paths", &walked_paths);
    m.def("walk_tree", &walk_tree, py::arg("src_dir"));

    py::class_<scanner_core::TreeStream, std::unique_ptr<scanner_core::TreeStream>>(m, "TreeStream")
        .def("take", &scanner_core::TreeStream::take, py::arg("position"), py::call_guard<py::gil_scoped_release>());

    py::class_<FullScanner, std::unique_ptr<FullScanner>>(m, "Scanner")
        .def(py::init(&make_scanner), py::arg("forbidden"), py::arg("allowed_exact"), py::arg("allowed_prefixes"),
             py::arg("holdings") = std::vector<HoldingTuple>{}, py::arg("allowed_attributes") = StringList{},
             py::arg("type_checking") = "error", py::arg("local_imports") = false)
        .def("is_forbidden", [](const FullScanner& s, const std::string& m) { return s.classifier().is_forbidden(m); },
             py::arg("module"))
        .def("forbidden_reached_from", &forbidden_reached_from, py::arg("module"))
        .def("is_allowed", [](const FullScanner& s, const std::string& m) { return s.classifier().is_allowed(m); },
             py::arg("module"))
        .def("scan_file", &scan_file, py::arg("filepath"), py::arg("local_modules"), py::arg("audit") = true,
             py::arg("depth") = 0, py::arg("digests") = false)
        .def("scan_directory", &scan_directory, py::arg("src_dir"), py::arg("local_modules"),
             py::arg("num_threads") = 0u, py::arg("audit") = true)
        .def("scan_tree", &scan_tree, py::arg("src_dir"), py::arg("local_modules"), py::arg("num_threads") = 0u,
             py::arg("audit") = true, py::arg("digests") = false, py::arg("local_package") = py::none(),
             py::arg("standard_names") = StringSet{})
        .def("stream_tree", &stream_tree, py::arg("walk"), py::arg("order"), py::arg("local_modules"),
             py::arg("num_threads") = 0u, py::arg("audit") = true, py::arg("digests") = false,
             py::arg("local_package") = py::none(), py::arg("standard_names") = StringSet{}, py::keep_alive<0, 1>())
        .def("judge_by_name", &judge_by_name, py::arg("filepath"))
        .def("scan_member", &scan_member, py::arg("filepath"), py::arg("local_modules"), py::arg("audit") = true,
             py::arg("depth") = 0, py::arg("digests") = false, py::keep_alive<0, 1>());

    py::class_<TextAudit, std::unique_ptr<TextAudit>>(m, "TextAudit")
        .def(py::init(&text_audit), py::arg("scanner"), py::arg("filepath"), py::arg("local_modules"),
             py::arg("depth") = 0, py::keep_alive<1, 2>())
        .def("feed", &feed_text, py::arg("utf8"))
        .def("refuse", &TextAudit::refuse, py::arg("reason"))
        .def("finish", &finish_text, py::arg("reported"))
        .def_property_readonly("local_imports", [](const TextAudit& a) { return local_import_tuples(a.local_imports()); });
}
