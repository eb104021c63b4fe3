#include "line_scan/line_scan.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <unordered_set>
#include <vector>

#include "reading/file_scan.hpp"
#include "test_support.hpp"

namespace scanner_core {
namespace {

// (verdict, line, column, module) of each record, and whether its name came gathered.
using Record = std::tuple<ImportVerdict, std::int64_t, std::int64_t, std::string, bool>;

class Recorder final : public LineFindingSink {
public:
    void found(const LineFinding& finding) override {
        records.emplace_back(finding.verdict, finding.line, finding.column, std::string(finding.module),
                             finding.gathered != nullptr);
        // A sink may take the gathered name away; the scan must not read it after.
        if (finding.gathered != nullptr) std::string taken = std::move(*finding.gathered);
    }
    std::vector<Record> records;
};

// A stage that keeps what it was fed, to compare with the file.
class Copier final : public ScanStage {
public:
    void feed(std::string_view piece) override { text.append(piece); ++pieces; }
    void finish() override { ++finished; }
    std::string text;
    int pieces = 0;
    int finished = 0;
};

const ImportClassifier kPolicy{{"os"}, {"json"}, {"toolkit.api"}};
const std::unordered_set<std::string> kLocal{"mine"};

std::vector<Record> records_of(std::string_view text, std::size_t piece) {
    VerdictMemo memo;
    Recorder recorder;
    LineScan scan(kPolicy, kLocal, memo, recorder);
    for (std::size_t at = 0; at < text.size(); at += piece) scan.feed(text.substr(at, piece));
    scan.finish();
    return recorder.records;
}

TEST(LineScan, HandsOnlyWhatThePolicyReportsAsRecordsInLineOrderWhereverThePiecesEnd) {
    const std::string long_name = "os." + std::string(300, 'z');
    const std::string text = "import os\n\t  from yaml import x\nimport json\nfrom . import os\nimport mine.sub\n"
                             "import toolkit.api.w\n  import " + long_name + "\nimport toolkit.apix";
    const std::vector<Record> expected{
        {ImportVerdict::forbidden, 1, 1, "os", false},
        {ImportVerdict::unlisted, 2, 4, "yaml", false},
        {ImportVerdict::forbidden, 7, 3, long_name, false},
        {ImportVerdict::unlisted, 8, 1, "toolkit.apix", false},
    };
    const auto without_gathering = [](std::vector<Record> records) {
        for (Record& record : records) std::get<4>(record) = false;
        return records;
    };
    for (const std::size_t piece : {text.size(), std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{64},
                                    std::size_t{65}}) {
        EXPECT_EQ(without_gathering(records_of(text, piece)), expected) << piece;
    }
    // A name cut by a piece's end is handed over as a string of its own,
    // which the recorder takes away before the next record.
    EXPECT_TRUE(std::get<4>(records_of(text, 7)[2]));
}

TEST(FileScan, FeedsEveryStageTheWholeFileInOrderAndFinishesEachOnce) {
    testing::ScratchDir dir;
    std::string content;
    while (content.size() < 3 * kReadPieceSize) content += "import os\nx = 1\n";
    const std::string path = dir.write("big.py", content);
    SourceReader reader;
    VerdictMemo memo;
    Recorder recorder;
    LineScan line_scan(kPolicy, kLocal, memo, recorder);
    Copier first, second;
    ASSERT_TRUE(scan_pieces(SourceLocation{path}, OpenMode::regular_only, reader, {&first, &line_scan, &second}));
    EXPECT_EQ(first.text, content);
    EXPECT_EQ(second.text, content);
    EXPECT_GE(first.pieces, 3);
    EXPECT_EQ(first.finished, 1);
    EXPECT_EQ(second.finished, 1);
    EXPECT_EQ(recorder.records.size(), content.size() / 16);

    Copier unfed;
    EXPECT_FALSE(scan_pieces(SourceLocation{dir.str() + "/absent.py"}, OpenMode::any, reader, {&unfed}));
    EXPECT_EQ(unfed.pieces, 0);
    EXPECT_EQ(unfed.finished, 0);
}

}  // namespace
}  // namespace scanner_core
