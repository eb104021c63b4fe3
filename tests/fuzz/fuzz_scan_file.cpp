// scan_file on a real file whose bytes come from the input, read through the
// path forms callers use (plain, with odd bytes and dot segments, through a
// link, a FIFO written in small pieces), plus a missing path and a directory.
// Checks the record's invariants (passed exactly when there is no error,
// every message headed by the path and a valid line number) and the exact
// messages that the policy below gives for the statements that the std::regex
// reference finds: an oracle apart from the engine's own extraction.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <ios>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "fuzz_check.hpp"
#include "scan/scan_file.hpp"
#include "line_scan/import_extraction.hpp"
#include "reference_extraction.hpp"
#include "test_support.hpp"

namespace {

using scanner_core::FileResult;
using scanner_core::ImportClassifier;
using scanner_core::RawImport;
using StringSet = std::unordered_set<std::string>;

const StringSet kForbidden{"os", "subprocess", "a"};
const StringSet kAllowedExact{"json", "a.b", "numpy"};
const std::vector<std::string> kAllowedPrefixes{"toolkit.api", "x", "toolkit"};
const StringSet kLocal{"mypkg", "pkg.sub", "local"};
const ImportClassifier kClassifier{kForbidden, kAllowedExact, kAllowedPrefixes};

constexpr std::string_view kForbiddenText = "import interdit \xE2\x80\x94 '";
constexpr std::string_view kUnlistedText = "import non whitelist\xC3\xA9 \xE2\x80\x94 '";
constexpr std::string_view kOpenFailure = ": impossible d'ouvrir le fichier";

// A scratch directory for the whole run, with the fixed names the path
// forms need, removed when the fuzzer exits.
class Scratch {
public:
    Scratch() {
        std::string pattern = (std::filesystem::temp_directory_path() / "scanner-core-fuzz-XXXXXX").string();
        FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
        dir = pattern;
        std::filesystem::create_directory(dir + "/sub");
        std::filesystem::create_symlink("plain.py", dir + "/link.py");
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    std::string dir;
};

void write_file(const std::string& path, std::string_view content) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    FUZZ_CHECK(fd >= 0);
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t wrote = ::write(fd, content.data() + done, content.size() - done);
        FUZZ_CHECK(wrote > 0);
        done += static_cast<std::size_t>(wrote);
    }
    FUZZ_CHECK(::close(fd) == 0);
}

// std::regex recurses once per byte of a line: lines longer than this get
// the reference on a thread whose stack holds the longest the fuzzer makes.
constexpr std::size_t kShortLine = 1024;
constexpr std::size_t kReferenceStack = 256 * 1024 * 1024;

std::vector<RawImport> reference_imports(std::string_view content) {
    std::size_t longest = 0;
    for (std::size_t pos = 0; pos <= content.size();) {
        const std::size_t end = std::min(content.find('\n', pos), content.size());
        longest = std::max(longest, end - pos);
        pos = end + 1;
    }
    if (longest <= kShortLine) return scanner_core::testing::reference_extract_imports(content);
    std::vector<RawImport> imports;
    scanner_core::testing::run_with_stack(kReferenceStack,
                                          [&] { imports = scanner_core::testing::reference_extract_imports(content); });
    return imports;
}

std::int64_t line_count(std::string_view content) {
    std::int64_t lines = 0;
    for (char c : content) lines += c == '\n';
    return lines + (!content.empty() && content.back() != '\n');
}

// The policy applied the plain way, independently of the engine's own code.
bool allowed(const std::string& module, const std::string& root) {
    if (kAllowedExact.count(module) != 0 || kAllowedExact.count(root) != 0) return true;
    for (const std::string& prefix : kAllowedPrefixes) {
        if (module == prefix || module.rfind(prefix + ".", 0) == 0) return true;
    }
    return false;
}

FileResult expected_result(const std::string& path, std::string_view content) {
    FileResult expected;
    expected.filepath = path;
    for (const RawImport& import : reference_imports(content)) {
        if (import.is_relative || import.module.empty()) continue;
        const std::string root = import.module.substr(0, import.module.find('.'));
        if (kLocal.count(root) != 0 || kLocal.count(import.module) != 0) continue;
        const std::string head = path + ":" + std::to_string(import.line) + ": ";
        if (kForbidden.count(root) != 0) {
            expected.errors.push_back(head + std::string(kForbiddenText) + import.module + "'");
            expected.passed = false;
        } else if (!allowed(import.module, root)) {
            expected.warnings.push_back(head + std::string(kUnlistedText) + import.module + "'");
        }
    }
    return expected;
}

// "<path>:<line>: <text>...'" with a line number of the file, written
// without leading zeros.
void check_message(const std::string& message, const std::string& path, std::string_view text, std::int64_t lines) {
    FUZZ_CHECK(message.compare(0, path.size() + 1, path + ":") == 0);
    std::size_t pos = path.size() + 1;
    const std::size_t digits = message.find_first_not_of("0123456789", pos);
    FUZZ_CHECK(digits != std::string::npos && digits > pos && message[pos] != '0');
    const std::int64_t line = std::stoll(message.substr(pos, digits - pos));
    FUZZ_CHECK(line >= 1 && line <= lines);
    FUZZ_CHECK(message.compare(digits, 2 + text.size(), ": " + std::string(text)) == 0);
    FUZZ_CHECK(message.back() == '\'');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Scratch scratch;
    if (size == 0) return -1;  // the first byte picks the path form
    const unsigned char form = data[0];
    const std::string_view content(reinterpret_cast<const char*>(data) + 1, size - 1);

    if (form == 0xFE || form == 0xFF) {
        // A path that cannot be opened is a record; one that opens but
        // cannot be read is an exception that names it.
        const std::string path = scratch.dir + (form == 0xFE ? "/missing.py" : "/sub");
        try {
            const FileResult result = scan_file(kClassifier, path, kLocal);
            FUZZ_CHECK(form == 0xFE);
            FUZZ_CHECK(result.filepath == path && !result.passed && result.warnings.empty());
            FUZZ_CHECK(result.errors == std::vector<std::string>{path + std::string(kOpenFailure)});
        } catch (const std::ios_base::failure& failure) {
            FUZZ_CHECK(form == 0xFF);
            FUZZ_CHECK(std::string_view(failure.what()).find(path) != std::string_view::npos);
        }
        return 0;
    }

    std::string path;
    if (form >= 0xF0) {
        // A FIFO fed in writes of one to sixteen bytes, so the scan's reads
        // deliver the content cut at places its bytes pick.
        path = scanner_core::testing::make_fifo(scratch.dir + "/pipe.py");
        scanner_core::testing::CallOnThread<FileResult> scan([&] { return scan_file(kClassifier, path, kLocal); });
        // The fuzzer's timeout bounds the wait for the scan's open.
        scanner_core::testing::FifoWriter writer = scanner_core::testing::FifoWriter::waiting_for_reader(path);
        for (std::size_t done = 0; done < content.size();) {
            const std::size_t piece = 1 + static_cast<unsigned char>(content[done]) % 16;
            const std::size_t step = std::min<std::size_t>(content.size() - done, piece);
            writer.write_all(content.substr(done, step));
            done += step;
        }
        writer.close();
        const FileResult result = scan.get();
        FUZZ_CHECK(::unlink(path.c_str()) == 0);
        const FileResult expected = expected_result(path, content);
        FUZZ_CHECK(result.errors == expected.errors && result.warnings == expected.warnings);
        FUZZ_CHECK(result.passed == expected.passed);
        return 0;
    }
    switch (form % 3) {
        case 0:
            path = scratch.dir + "/plain.py";
            write_file(path, content);
            break;
        case 1:
            write_file(scratch.dir + "/caf\xC3\xA9 \xFF.py", content);
            path = scratch.dir + "/./sub/../caf\xC3\xA9 \xFF.py";
            break;
        default:
            write_file(scratch.dir + "/plain.py", content);
            path = scratch.dir + "/link.py";
            break;
    }

    const FileResult result = scan_file(kClassifier, path, kLocal);
    FUZZ_CHECK(result.filepath == path);
    FUZZ_CHECK(result.passed == result.errors.empty());
    const std::int64_t lines = line_count(content);
    for (const std::string& error : result.errors) check_message(error, path, kForbiddenText, lines);
    for (const std::string& warning : result.warnings) check_message(warning, path, kUnlistedText, lines);

    const FileResult expected = expected_result(path, content);
    FUZZ_CHECK(result.errors == expected.errors);
    FUZZ_CHECK(result.warnings == expected.warnings);
    FUZZ_CHECK(result.passed == expected.passed);
    return 0;
}
