#include "stimulus/bindings_file.hpp"

#include <cstddef>
#include <fstream>
#include <stdexcept>
#include <string>

#include "stimulus/text_lines.hpp"

namespace vesk {
namespace {

// Reads to the end of the stream or the first read failure; the callers tell
// the two apart by the stream's state.
std::vector<int> parse_lines(std::istream& in) {
    std::vector<int> indices;
    std::string line;
    std::size_t line_number = 0;
    for (;;) {
        const LineRead read = read_line(in, line);
        if (read == LineRead::end) break;
        ++line_number;
        if (read == LineRead::too_long) {
            throw std::runtime_error("Line " + std::to_string(line_number) +
                                     " of the bindings file is longer than " +
                                     std::to_string(max_line_length) + " bytes");
        }
        const std::vector<std::string> tokens = split_tokens(line);
        if (tokens.empty() || tokens[0].front() == '#') continue;
        const LeadingInteger number = read_leading_integer(tokens[0]);
        if (!number.found) continue;
        if (!number.in_range) {
            throw std::runtime_error("Binding index out of range in line: " +
                                     escape_control_characters(line));
        }
        if (number.value < 0) {
            throw std::runtime_error("Negative binding index encountered: " +
                                     std::to_string(number.value));
        }
        indices.push_back(number.value);
    }
    return indices;
}

}  // namespace

// A failed read would otherwise pass for the end of the file and drop the
// remaining bindings unnoticed (a directory, for one, opens without error).

std::vector<int> parse_bindings_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("Failed to open bindings file: " + path);
    std::vector<int> indices = parse_lines(in);
    if (in.bad()) throw std::runtime_error("Failed to read bindings file: " + path);
    return indices;
}

std::vector<int> parse_bindings_stream(std::istream& in) {
    std::vector<int> indices = parse_lines(in);
    if (in.bad()) throw std::runtime_error("Failed to read bindings input");
    return indices;
}

}  // namespace vesk
