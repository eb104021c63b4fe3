#include "line_scan/import_message.hpp"

#include <charconv>
#include <cstring>
#include <iterator>

#include "memory/large_pages.hpp"

namespace scanner_core {
namespace {

// The decimal digits of `line`, in `digits`.
std::string_view line_digits(std::int64_t line, char (&digits)[24]) noexcept {
    const std::to_chars_result number = std::to_chars(std::begin(digits), std::end(digits), line);
    return std::string_view(digits, static_cast<std::size_t>(number.ptr - digits));
}

}  // namespace

std::size_t import_message_head(const std::string& path, std::int64_t line, std::string_view text) noexcept {
    char digits[24];
    return path.size() + 1 + line_digits(line, digits).size() + 2 + text.size();
}

std::string import_message(const std::string& path, std::int64_t line, std::string_view text,
                           std::string_view module, std::string* gathered, std::size_t room) {
    char digits[24];
    const std::string_view line_text = line_digits(line, digits);
    const std::size_t head = path.size() + 1 + line_text.size() + 2 + text.size();
    const auto put = [](char* at, std::string_view part) {
        if (!part.empty()) std::memcpy(at, part.data(), part.size());
        return at + part.size();
    };
    const bool room_fits = gathered != nullptr && room == head && room > 0;
    if (room_fits || (gathered != nullptr && module.size() > kInPlaceThreshold &&
                      gathered->capacity() >= head + module.size() + 1)) {
        std::string& message = *gathered;
        if (!room_fits) message.replace(0, room, head, '\0');  // the name moves once
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
