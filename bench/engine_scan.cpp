// The engine's scan_directory timed in a C++ process, without the Python
// binding: set beside the module's time, it shows what the binding's
// conversion of the records into Python objects costs.
//
// Usage: engine_scan DIR THREADS POLICY_FILE
// Prints one line: files=N errors=E warnings=W seconds=S cpu=C cpu_user=U
// cpu_system=K faults=F (as io_floor's), of a second run
// (the first warms the process up, as for io_floor).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>

#include "cpu_clock.hpp"
#include "scan/scan_file.hpp"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s DIR THREADS POLICY_FILE\n", argv[0]);
        return 2;
    }
    std::unordered_set<std::string> forbidden, allowed_exact, local;
    std::vector<std::string> allowed_prefixes;
    std::ifstream policy(argv[3]);
    std::string line;
    while (std::getline(policy, line)) {
        std::istringstream words(line);
        std::string name, entry;
        if (!(words >> name) || name[0] == '#') continue;
        while (words >> entry) {
            if (name == "forbidden") forbidden.insert(entry);
            else if (name == "allowed_exact") allowed_exact.insert(entry);
            else if (name == "allowed_prefixes") allowed_prefixes.push_back(entry);
            else if (name == "local") local.insert(entry);
        }
    }
    const scanner_core::ImportClassifier classifier(forbidden, allowed_exact, allowed_prefixes);
    const unsigned threads = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
    try {
        scan_directory(classifier, argv[1], local, threads);
        const CpuTime cpu_start = cpu_time();
        const auto start = std::chrono::steady_clock::now();
        const std::vector<scanner_core::FileResult> results = scan_directory(classifier, argv[1], local, threads);
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        const CpuTime cpu = cpu_time() - cpu_start;
        std::size_t errors = 0, warnings = 0;
        for (const scanner_core::FileResult& result : results) {
            errors += result.errors.size();
            warnings += result.warnings.size();
        }
        std::printf("files=%zu errors=%zu warnings=%zu seconds=%.9f cpu=%.9f cpu_user=%.9f cpu_system=%.9f faults=%ld\n",
                    results.size(), errors, warnings, elapsed.count(), cpu.total(), cpu.user, cpu.system, cpu.faults);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "engine_scan: %s\n", error.what());
        return 3;
    }
    return 0;
}
