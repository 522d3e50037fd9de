#include "stimulus/bindings_check.hpp"

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "stimulus/bindings_file.hpp"
#include "stimulus/text_lines.hpp"

namespace vesk {

std::optional<std::string> check_bindings_file(const std::string& path, FindingLog& log,
                                               const HasRow& has_row) {
    std::optional<std::string> first;
    try {
        parse_bindings_file(path);
    } catch (const std::runtime_error& e) {
        first = e.what();
    }
    // Open and read failures concern the file as a whole.
    if (first && first->rfind("Failed to", 0) == 0) {
        log.add(Severity::error, path, *first, "unreadable file");
        return first;
    }

    std::ifstream in(path, std::ios::binary);
    std::string line;
    int line_number = 0;
    for (LineRead read; (read = read_line(in, line)) != LineRead::end;) {
        const std::string place = path + ":" + std::to_string(++line_number);
        if (read == LineRead::too_long) {
            log.add(Severity::error, place, *first, "bindings error");
            break;
        }
        const std::vector<std::string> tokens = split_tokens(line);
        if (tokens.empty() || tokens[0].front() == '#') continue;
        std::vector<int> indices;
        try {
            std::istringstream one(line);
            indices = parse_bindings_stream(one);
        } catch (const std::runtime_error& e) {
            log.add(Severity::error, place, e.what(), "bindings error");
            continue;
        }
        const std::string token = escape_control_characters(tokens[0]);
        if (indices.empty()) {
            log.add(Severity::warning, place,
                    "line skipped: '" + token + "' does not begin with a number",
                    "skipped binding line");
            continue;
        }
        const int index = indices[0];
        const LeadingInteger number = read_leading_integer(tokens[0]);
        if (number.length < tokens[0].size()) {
            log.add(Severity::warning, place,
                    "'" + token + "' is read as " + std::to_string(index) + "; the rest, '" +
                        escape_control_characters(tokens[0].substr(number.length)) +
                        "', is ignored: write one whole index a line",
                    "binding read in part");
        } else if (tokens.size() > 1 && read_leading_integer(tokens[1]).found) {
            log.add(Severity::warning, place,
                    "only the first index, " + std::to_string(index) +
                        ", is read; the rest of the line is ignored: write one index a line",
                    "binding read in part");
        }
        if (has_row && !has_row(index)) {
            log.add(Severity::warning, place,
                    "binding index " + std::to_string(index) +
                        " names no node: no node of the model has this row_index",
                    "binding not in model");
        }
    }
    return first;
}

}  // namespace vesk
