#include "import_message.hpp"

#include <charconv>
#include <cstring>
#include <iterator>

#include "large_pages.hpp"

namespace scanner_core {

std::string import_message(const std::string& path, std::int64_t line, std::string_view text,
                           std::string_view module, std::string* gathered) {
    char digits[24];
    const std::to_chars_result number = std::to_chars(std::begin(digits), std::end(digits), line);
    const std::string_view line_text(digits, static_cast<std::size_t>(number.ptr - digits));
    const std::size_t head = path.size() + 1 + line_text.size() + 2 + text.size();
    const auto put = [](char* at, std::string_view part) {
        if (!part.empty()) std::memcpy(at, part.data(), part.size());
        return at + part.size();
    };
    if (gathered != nullptr && module.size() > kInPlaceThreshold && gathered->capacity() >= module.size() + head + 1) {
        std::string& message = *gathered;
        message.insert(0, head, '\0');
        char* at = message.data();
        for (const std::string_view part : {std::string_view(path), std::string_view(":"), line_text,
                                            std::string_view(": "), text}) {
            at = put(at, part);
        }
        message.push_back('\'');
        return std::move(message);
    }
    // Appended into room made once: no byte is written twice.
    std::string message;
    reserve_large(message, head + module.size() + 1);
    message.append(path).append(":").append(line_text).append(": ").append(text).append(module).push_back('\'');
    return message;
}

}  // namespace scanner_core
