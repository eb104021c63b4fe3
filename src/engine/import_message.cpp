#include "import_message.hpp"

#include <algorithm>
#include <charconv>
#include <iterator>

namespace scanner_core {

std::string import_message(const std::string& path, std::int64_t line, std::string_view text, std::string&& module) {
    char digits[24];
    const std::to_chars_result number = std::to_chars(std::begin(digits), std::end(digits), line);
    const std::string_view line_text(digits, static_cast<std::size_t>(number.ptr - digits));
    const std::size_t head = path.size() + 1 + line_text.size() + 2 + text.size();
    if (module.capacity() >= module.size() + head + 1 && module.size() > kInPlaceThreshold) {
        module.insert(0, head, '\0');
        char* at = module.data();
        for (const std::string_view part : {std::string_view(path), std::string_view(":"), line_text,
                                            std::string_view(": "), text}) {
            at = std::copy(part.begin(), part.end(), at);
        }
        module.push_back('\'');
        return std::move(module);
    }
    std::string message;
    message.reserve(head + module.size() + 1);
    message.append(path).append(":").append(line_text).append(": ").append(text).append(module).append("'");
    return message;
}

}  // namespace scanner_core
