// Micro-benchmarks of the engine's hot paths on one realistic source text:
// extraction (bytes per second, beside the std::regex extraction of the
// engine tests on the same text), classification of the imports found in
// it (time per import), and scan_file on the file as a whole.
//
// Usage: engine_bench TEXT_FILE POLICY_FILE [benchmark flags]
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#include "scan/scan_file.hpp"
#include "line_scan/import_extraction.hpp"
#include "policy/module_name.hpp"
#include "reference_extraction.hpp"

namespace {

using scanner_core::ImportClassifier;
using scanner_core::RawImport;
using StringSet = std::unordered_set<std::string>;

struct Setup {
    std::string text_path;
    std::string text;
    StringSet forbidden, allowed_exact, local;
    std::vector<std::string> allowed_prefixes;
};

Setup& setup() {
    static Setup instance;
    return instance;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Lines of "<collection> <entry> <entry>...", "#" starting a comment line.
void read_policy(const std::string& path, Setup& s) {
    std::istringstream lines(read_file(path));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string name, entry;
        if (!(words >> name) || name[0] == '#') continue;
        while (words >> entry) {
            if (name == "forbidden") s.forbidden.insert(entry);
            else if (name == "allowed_exact") s.allowed_exact.insert(entry);
            else if (name == "allowed_prefixes") s.allowed_prefixes.push_back(entry);
            else if (name == "local") s.local.insert(entry);
        }
    }
}

void BM_extract_imports(benchmark::State& state) {
    const std::string& text = setup().text;
    std::size_t found = 0;
    for (auto _ : state) {
        std::vector<RawImport> imports = scanner_core::extract_imports(text);
        found = imports.size();
        benchmark::DoNotOptimize(imports.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
    state.counters["imports"] = static_cast<double>(found);
}

void BM_extract_imports_std_regex(benchmark::State& state) {
    const std::string& text = setup().text;
    std::size_t found = 0;
    for (auto _ : state) {
        std::vector<RawImport> imports = scanner_core::testing::reference_extract_imports(text);
        found = imports.size();
        benchmark::DoNotOptimize(imports.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
    state.counters["imports"] = static_cast<double>(found);
}

// The judgement scan_file makes of one import, through the public
// predicates: the local set (root, then whole name), forbidden, allowed.
void BM_classify(benchmark::State& state) {
    const Setup& s = setup();
    const ImportClassifier classifier(s.forbidden, s.allowed_exact, s.allowed_prefixes);
    std::vector<std::string> modules;
    for (RawImport& import : scanner_core::extract_imports(s.text)) {
        if (!import.is_relative && !import.module.empty()) modules.push_back(std::move(import.module));
    }
    if (modules.empty()) {
        state.SkipWithError("the text holds no classifiable import");
        return;
    }
    std::size_t reported = 0;
    for (auto _ : state) {
        reported = 0;
        for (const std::string& module : modules) {
            const std::string root(scanner_core::root_of(module));
            if (s.local.count(root) != 0 || s.local.count(module) != 0) continue;
            if (classifier.is_forbidden(module) || !classifier.is_allowed(module)) ++reported;
        }
        benchmark::DoNotOptimize(reported);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * modules.size()));
    state.counters["imports"] = static_cast<double>(modules.size());
    state.counters["reported"] = static_cast<double>(reported);
}

void BM_scan_file(benchmark::State& state) {
    const Setup& s = setup();
    const ImportClassifier classifier(s.forbidden, s.allowed_exact, s.allowed_prefixes);
    std::size_t messages = 0;
    for (auto _ : state) {
        scanner_core::FileResult result = scan_file(classifier, s.text_path, s.local);
        messages = result.errors.size() + result.warnings.size();
        benchmark::DoNotOptimize(result.passed);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.text.size()));
    state.counters["messages"] = static_cast<double>(messages);
}

BENCHMARK(BM_extract_imports);
BENCHMARK(BM_extract_imports_std_regex);
BENCHMARK(BM_classify);
BENCHMARK(BM_scan_file);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s TEXT_FILE POLICY_FILE [benchmark flags]\n", argv[0]);
        return 2;
    }
    Setup& s = setup();
    s.text_path = argv[1];
    s.text = read_file(s.text_path);
    read_policy(argv[2], s);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
