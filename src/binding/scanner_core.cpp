// The Python module scanner_core: one table of registrations over the
// engine. Arguments are converted by pybind11's standard casters with the
// GIL held; the scans release it for the whole engine call; engine
// exceptions reach Python through pybind11's standard translation.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "scan/file_result.hpp"
#include "policy/import_classifier.hpp"
#include "scan/scan_file.hpp"

namespace py = pybind11;

using scanner_core::FileResult;
using scanner_core::ImportClassifier;
using StringSet = std::unordered_set<std::string>;
using StringList = std::vector<std::string>;

namespace {

constexpr const char* kModuleDoc = "Scanner C++ pour plugins quenx — import classification multithread";

constexpr const char* kInitDoc = R"(
Construit le classificateur.

Parameters
----------
forbidden        : set de racines de modules interdits ("os", "sys", …)
allowed_exact    : set de modules/racines autorisés en exact ("json", "re", …)
allowed_prefixes : liste de préfixes sans ".*" ("quenx", "sqlalchemy", …)
             )";

constexpr const char* kScanFileDoc = "Scanne un fichier .py et retourne un FileResult.";

constexpr const char* kScanDirectoryDoc = R"(
Scanne récursivement tous les .py d'un répertoire en parallèle.

num_threads=0 → hardware_concurrency() (auto).
             )";

}  // namespace

PYBIND11_MODULE(scanner_core, m) {
    m.doc() = kModuleDoc;

    py::class_<FileResult, std::unique_ptr<FileResult>>(m, "FileResult")
        .def_readonly("filepath", &FileResult::filepath)
        .def_readonly("errors", &FileResult::errors)
        .def_readonly("warnings", &FileResult::warnings)
        .def_readonly("passed", &FileResult::passed)
        .def("__repr__", &scanner_core::repr);

    py::class_<ImportClassifier, std::unique_ptr<ImportClassifier>>(m, "ImportClassifier")
        .def(py::init<StringSet, StringSet, StringList>(), py::arg("forbidden"), py::arg("allowed_exact"),
             py::arg("allowed_prefixes"), kInitDoc)
        .def("is_allowed", &ImportClassifier::is_allowed, py::arg("module"))
        .def("is_forbidden", &ImportClassifier::is_forbidden, py::arg("module"))
        .def("scan_file", &scanner_core::scan_file, py::arg("filepath"), py::arg("local_modules"), kScanFileDoc,
             py::call_guard<py::gil_scoped_release>())
        .def("scan_directory", &scanner_core::scan_directory, py::arg("src_dir"), py::arg("local_modules"),
             py::arg("num_threads") = 0u, kScanDirectoryDoc, py::call_guard<py::gil_scoped_release>());
}
