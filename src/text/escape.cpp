#include "text/escape.hpp"

namespace vesk {

std::string escape_control_characters(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            result += c;
        } else if (c == '\n') {
            result += "\\n";
        } else if (c == '\r') {
            result += "\\r";
        } else if (c == '\t') {
            result += "\\t";
        } else {
            constexpr char hex[] = "0123456789abcdef";
            result += "\\x";
            result += hex[byte >> 4];
            result += hex[byte & 0xf];
        }
    }
    return result;
}

}  // namespace vesk
