// Python's view of Unicode on arbitrary bytes, where no interpreter answers
// (the engine tests hold it to the interpreter on chosen text): it must not
// crash, NFKC must be idempotent, as normalisation forms are, and keep
// valid UTF-8 valid, and the printable form must hold nothing that does not
// print, whatever the bytes, so that a message can never carry a control
// character or an invisible one.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "lexical/python_unicode.hpp"

namespace {

namespace unicode = scanner_core::unicode;

bool is_utf8(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        const unicode::Utf8Char next = unicode::decode_utf8(text, at);
        if (next.code_point == unicode::kNotUtf8) return false;
        at += next.length;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    std::string normal;
    unicode::append_nfkc(input, normal);
    std::string again;
    unicode::append_nfkc(normal, again);
    FUZZ_CHECK(again == normal);
    FUZZ_CHECK(!is_utf8(input) || is_utf8(normal));

    std::string printable = "'";
    unicode::append_printable(input, printable);
    FUZZ_CHECK(printable.front() == '\'');
    for (std::size_t at = 0; at < printable.size();) {
        const unicode::Utf8Char next = unicode::decode_utf8(printable, at);
        FUZZ_CHECK(next.code_point != unicode::kNotUtf8 && unicode::is_printable(next.code_point));
        at += next.length;
    }
    return 0;
}
