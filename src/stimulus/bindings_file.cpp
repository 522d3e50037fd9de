#include "stimulus/bindings_file.hpp"

#include <fstream>
#include <stdexcept>

#include "stimulus/text_lines.hpp"

namespace vesk {
namespace {

// The run's sink: the indices, and the first fault thrown as the error.
class IndexList : public BindingsSink {
  public:
    void fault(std::int64_t, const std::string& message) override {
        throw std::runtime_error(message);
    }
    void index(std::int64_t, int index, const std::vector<std::string>&) override {
        indices_.push_back(index);
    }

    std::vector<int> take() { return std::move(indices_); }

  private:
    std::vector<int> indices_;
};

}  // namespace

void read_bindings(std::istream& in, BindingsSink& sink) {
    std::string line;
    std::int64_t line_number = 0;
    for (;;) {
        const LineRead read = read_line(in, line);
        if (read == LineRead::end) break;
        ++line_number;
        if (read == LineRead::too_long) {
            // What is left of the line may be endless (a device such as
            // /dev/zero): reading stops here, whatever the sink does.
            sink.fault(line_number, "Line " + std::to_string(line_number) +
                                        " of the bindings file is longer than " +
                                        std::to_string(max_line_length) + " bytes");
            return;
        }
        if (has_inner_carriage_return(line)) sink.carriage_return_inside(line_number);
        // The first token is the index; a second one only tells vesk-check
        // that the line holds more than the index.
        const std::vector<std::string> tokens = split_tokens(line, 2);
        if (tokens.empty() || tokens[0].front() == '#') continue;
        const LeadingInteger number = read_leading_integer(tokens[0]);
        if (!number.found) {
            sink.skipped(line_number, tokens[0]);
        } else if (!number.in_range) {
            sink.fault(line_number,
                       "Binding index out of range in line: " + escape_control_characters(line));
        } else if (number.value < 0) {
            sink.fault(line_number,
                       "Negative binding index encountered: " + std::to_string(number.value));
        } else {
            sink.index(line_number, number.value, tokens);
        }
    }
}

// A failed read would otherwise pass for the end of the file and drop the
// remaining bindings unnoticed (a directory, for one, opens without error).

std::vector<int> parse_bindings_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("Failed to open bindings file: " + path);
    IndexList list;
    read_bindings(in, list);
    if (in.bad()) throw std::runtime_error("Failed to read bindings file: " + path);
    return list.take();
}

std::vector<int> parse_bindings_stream(std::istream& in) {
    IndexList list;
    read_bindings(in, list);
    if (in.bad()) throw std::runtime_error("Failed to read bindings input");
    return list.take();
}

}  // namespace vesk
