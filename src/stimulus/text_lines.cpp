#include "stimulus/text_lines.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace vesk {
namespace {

constexpr std::int64_t kIntMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kIntMax = std::numeric_limits<std::int32_t>::max();

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f' || c == '\n';
}

}  // namespace

LineRead read_line(std::istream& in, std::string& line, std::size_t max_length) {
    line.clear();
    if (!in.good()) {
        in.setstate(std::ios::failbit);
        return LineRead::end;
    }
    // istream::getline reads a chunk at a time, stopping at '\n' (extracted
    // and counted, not stored), at the end of the input, or when the chunk is
    // full (failbit without eofbit). NUL bytes are stored like any other.
    char chunk[4096];
    bool extracted = false;
    for (;;) {
        in.getline(chunk, sizeof chunk);
        const auto count = static_cast<std::size_t>(in.gcount());
        if (in.bad()) return LineRead::end;  // a read error (EISDIR, EIO)
        extracted = extracted || count > 0;
        const bool chunk_full = in.fail() && !in.eof() && count == sizeof chunk - 1;
        if (in.fail() && !chunk_full) return extracted ? LineRead::line : LineRead::end;
        const std::size_t stored = chunk_full || in.eof() ? count : count - 1;
        if (line.size() + stored > max_length) return LineRead::too_long;
        line.append(chunk, stored);
        if (!chunk_full) return LineRead::line;
        in.clear(in.rdstate() & ~std::ios::failbit);
    }
}

std::vector<std::string> split_tokens(const std::string& line, std::size_t max_tokens) {
    std::vector<std::string> tokens;
    std::size_t i = 0;
    const std::size_t n = line.size();
    while (i < n && tokens.size() < max_tokens) {
        while (i < n && is_space(line[i])) ++i;
        if (i == n) break;
        const std::size_t begin = i;
        while (i < n && !is_space(line[i])) ++i;
        tokens.emplace_back(line, begin, i - begin);
    }
    return tokens;
}

bool has_inner_carriage_return(std::string_view line) {
    const std::size_t cr = line.find('\r');
    return cr != std::string_view::npos &&
           line.find_first_not_of(" \t\r\v\f\n", cr) != std::string_view::npos;
}

std::string carriage_return_warning(std::int64_t line_number) {
    return "line " + std::to_string(line_number) +
           " goes on after a carriage return (\\r): vesk-sim ends lines only at \\n, so the "
           "lines of a file with \\r line ends (old Mac files) are read as one";
}

LeadingInteger read_leading_integer(std::string_view text) {
    LeadingInteger result;
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const std::size_t digits_begin = i;
    // Saturates just beyond the 32-bit range, so any number of digits is safe.
    constexpr std::int64_t kCap = kIntMax + 2;
    std::int64_t magnitude = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        magnitude = std::min(magnitude * 10 + (text[i] - '0'), kCap);
        ++i;
    }
    if (i == digits_begin) return result;
    result.found = true;
    result.length = i;
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value >= kIntMin && value <= kIntMax) {
        result.in_range = true;
        result.value = static_cast<int>(value);
    }
    return result;
}

}  // namespace vesk
