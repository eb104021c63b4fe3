// The full verdict as one file scan: the line scan and the audit fed the
// same pieces of a file, whatever pieces the system delivers.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "gate/full_scan.hpp"
#include "gate/line_digest.hpp"
#include "gate/member_scan.hpp"
#include "test_support.hpp"

namespace scanner_core {
namespace {

// Long names run across the pieces a file arrives in, and the line scan
// lends each to the audit: the full verdict is the same from a file read in
// whole buffers as from a pipe that delivers odd pieces, some smaller than
// what the line scan keeps back between two of them.
TEST(FullScan, FullVerdictOnLongNamesIsTheSameWhateverPiecesTheyArriveIn) {
    const auto word = [](char letter, std::size_t size) { return std::string(size, letter); };
    const std::string a = word('a', 300000), b = word('b', 40000), c = word('c', 70000), d = word('d', 30000);
    const std::string source = "import " + a + " as g\nx = 1; import " + b + ".tail\nimport " + c + "." + d +
                               "\nimport " + d + "\xC3\xA9\nfrom ...." + b + " import x\n";
    testing::ScratchDir dir;
    const FullScanner scanner({"os"}, {"json"}, {});
    const auto verdict = [&](const FullResult& result) {
        std::vector<std::string> seen;
        for (const auto* findings : {&result.scan_findings, &result.findings}) {
            for (const AuditFinding& finding : *findings) {
                const std::string_view module = finding.module_view();
                seen.push_back(std::string(rule_id(finding.rule)) + " " + std::to_string(finding.line) + " " +
                               std::to_string(module.size()) + " " + std::string(module.substr(0, 3)) + " " +
                               std::string(module.substr(module.size() - 2)));
            }
        }
        return seen;
    };
    const std::vector<std::string> expected = {
        "unlisted-import 1 300000 aaa aa", "unlisted-import 3 100001 ccc dd", "hidden-unlisted-import 2 40005 bbb il",
        "hidden-unlisted-import 4 30002 ddd \xC3\xA9", "relative-import-above-root 5 40004 ... bb"};
    EXPECT_EQ(verdict(scanner.scan_file(dir.write("whole.py", source), {}, true)), expected);

    const std::string path = testing::make_fifo(dir.str() + "/pieces.py");
    testing::FifoWriter writer = testing::FifoWriter::holding_open(path);
    std::thread feed([&] {
        constexpr std::size_t kSizes[] = {1, 63, 64, 65, 7, 4096, 70001, 130};
        for (std::size_t at = 0, k = 0; at < source.size(); at += kSizes[k++ % 8]) {
            writer.write_all(std::string_view(source).substr(at, kSizes[k % 8]));
        }
        writer.close();
    });
    const FullResult piecewise = scanner.scan_file(path, {}, true);
    feed.join();
    EXPECT_EQ(verdict(piecewise), expected);
}

// Everything a record says, as text, for records to compare.
std::vector<std::string> described(const FullResult& result) {
    std::vector<std::string> seen = {result.scan.filepath, result.passed ? "passed" : "failed",
                                     result.deferred_encoding};
    for (const auto* findings : {&result.scan_findings, &result.findings}) {
        for (const AuditFinding& finding : *findings) {
            seen.push_back(std::string(rule_id(finding.rule)) + " " + std::to_string(finding.line) + ":" +
                           std::to_string(finding.column) + " " + std::string(finding.module_view()) + " | " +
                           finding.message);
        }
    }
    for (const LineDigest& digest : result.line_digests) {
        seen.push_back("digest " + std::to_string(digest.line) + " " +
                       std::string(reinterpret_cast<const char*>(digest.digest.data()), digest.digest.size()));
    }
    return seen;
}

// An archive's member is fed by its reader in whatever pieces inflating
// gives: its record is the one scan_file makes of the same bytes at the
// same path, held records and dropped ones alike (import lines inside a
// string over many pieces, runs of them, names of megabytes).
TEST(MemberScan, GivesScanFilesRecordForTheSameBytesFedInAnySizes) {
    std::string source = "import os\nimport json, yaml\nx = \"\"\"\n";
    for (int k = 0; k < 200000; ++k) source += k % 3 == 0 ? "import os\n" : "import sys\n";
    source += "\"\"\"\nimport " + std::string(300000, 'm') + "\n";
    for (int k = 0; k < 1000; ++k) source += "import os\nif x: import subprocess\n";
    source += "__import__('socket')\n";
    testing::ScratchDir dir;
    const std::string path = dir.write("member.py", source);
    const FullScanner scanner({"os", "subprocess"}, {"json"}, {});
    for (const bool audit : {true, false}) {
        const FullResult whole = scanner.scan_file(path, {}, audit, 0, true);
        ASSERT_EQ(whole.scan_findings.size(), audit ? 1002u : 201002u) << audit;
        constexpr std::size_t kSizes[] = {1, 63, 262144, 65, 7, 4096, 700001, 130};
        MemberScan member(scanner, path, {}, audit, 0, true);
        for (std::size_t at = 0, k = 0; at < source.size(); at += kSizes[k++ % 8]) {
            member.feed(std::string_view(source).substr(at, kSizes[k % 8]));
        }
        EXPECT_EQ(described(member.finish()), described(whole)) << audit;
    }
}

}  // namespace
}  // namespace scanner_core
