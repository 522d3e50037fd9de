#include "stimulus/instruction_file.hpp"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <limits>
#include <optional>
#include <stdexcept>

#include "stimulus/population_names.hpp"
#include "stimulus/text_lines.hpp"

namespace vesk {
namespace {

constexpr std::int64_t kIntMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kIntMax = std::numeric_limits<std::int32_t>::max();

// The line counter is 64-bit so that no file, however long, can overflow it;
// the public int entry points forward here.
[[noreturn]] void throw_at_line(const std::string& path, std::int64_t line_number,
                                const std::string& message) {
    throw std::runtime_error(
        escape_control_characters(path + ":" + std::to_string(line_number) + ": " + message));
}

int parse_int_at_line(const std::string& token, const std::string& path, std::int64_t line_number,
                      const std::string& field) {
    const LeadingInteger number = read_leading_integer(token);
    if (!number.found) {
        throw_at_line(path, line_number, field + " must be an integer, got '" + token + "'");
    }
    if (!number.in_range) {
        throw_at_line(path, line_number, field + " out of integer range: '" + token + "'");
    }
    if (number.length != token.size()) {
        throw_at_line(path, line_number, field + " must be an integer, got '" + token + "'");
    }
    return number.value;
}

// State of one parse; every call of parse_instruction_stream makes its own.
class InstructionParser {
  public:
    InstructionParser(const std::string& path, double time_scale, double window_value)
        : path_(path), time_scale_(time_scale), window_value_(window_value) {}

    ScheduleMap parse(std::istream& in) {
        std::string line;
        for (;;) {
            const LineRead read = read_line(in, line);
            if (read == LineRead::end) break;
            ++line_number_;
            if (read == LineRead::too_long) {
                fail("line is longer than " + std::to_string(max_line_length) + " bytes");
            }
            const std::vector<std::string> tokens = split_tokens(line);
            if (tokens.empty() || tokens[0].front() == '#') continue;
            const std::string& name = tokens[0];
            if (name == "format" || name == "fixed_time" || name == "Num_of_words") {
                handle_directive(tokens);
            } else if (name == "Word") {
                handle_word(tokens);
            } else {
                handle_command(tokens);
            }
        }
        // A failed read would otherwise pass for the end of the file and
        // silently drop the rest of the schedule (a directory opens fine too).
        if (in.bad()) throw std::runtime_error("Failed to read instruction file: " + path_);
        return std::move(schedules_);
    }

  private:
    [[noreturn]] void fail(const std::string& message) const {
        throw_at_line(path_, line_number_, message);
    }

    int int_field(const std::string& token, const std::string& field) const {
        return parse_int_at_line(token, path_, line_number_, field);
    }

    // base + offset in units. The sum is taken in 64 bits, and a result that
    // leaves the 32-bit time range ends the parse instead of wrapping.
    std::int32_t add_units(std::int32_t base, std::int32_t offset, const char* what) const {
        const std::int64_t sum = std::int64_t{base} + std::int64_t{offset};
        if (sum < kIntMin || sum > kIntMax) {
            fail(std::string(what) + " " + std::to_string(base) + "+" + std::to_string(offset) +
                 " overflows the 32-bit time range");
        }
        return static_cast<std::int32_t>(sum);
    }

    void handle_directive(const std::vector<std::string>& tokens) {
        const std::string& name = tokens[0];
        if (command_stored_) fail("directive '" + name + "' must appear before the first command");
        bool& seen = name == "format"       ? format_seen_
                     : name == "fixed_time" ? fixed_time_seen_
                                            : num_words_seen_;
        if (seen) fail("duplicate directive '" + name + "'");
        seen = true;

        if (name == "format") {
            if (tokens.size() != 3 || tokens[1] != "vesk-instructions") {
                fail("format directive must read 'format vesk-instructions 1'");
            }
            const int version = int_field(tokens[2], "format version");
            if (version != 1) {
                fail("unsupported format version " + std::to_string(version) + " (supported: 1)");
            }
        } else if (name == "fixed_time") {
            if (tokens.size() != 2) fail("fixed_time takes exactly one value");
            const int value = int_field(tokens[1], "fixed_time");
            if (value <= 0) fail("fixed_time must be positive");
            fixed_time_ = value;
        } else {
            if (tokens.size() != 2) fail("Num_of_words takes exactly one value");
            const int value = int_field(tokens[1], "Num_of_words");
            if (value < 0) fail("Num_of_words must be non-negative");
            // Only the count is kept: the names are generated on use, so a
            // huge count costs nothing.
            num_words_ = value;
        }
    }

    void handle_word(const std::vector<std::string>& tokens) {
        if (!num_words_seen_) fail("'Word' encountered before Num_of_words");
        std::int32_t end = 0;
        int word_index = 0;
        if (tokens.size() == 4) {
            const int rel_start = int_field(tokens[1], "rel_start");
            const int rel_end = int_field(tokens[2], "rel_end");
            word_index = int_field(tokens[3], "word index");
            anchor_ = add_units(anchor_, rel_start, "window start");
            end = add_units(anchor_, rel_end, "window end");
        } else if (tokens.size() == 3) {
            if (!fixed_time_) {
                fail(
                    "2-argument 'Word' requires a fixed_time directive; use 'Word <rel_start> "
                    "<rel_end> <word_idx>' for an explicit end");
            }
            const int rel_start = int_field(tokens[1], "rel_start");
            word_index = int_field(tokens[2], "word index");
            anchor_ = add_units(anchor_, rel_start, "window start");
            end = add_units(anchor_, *fixed_time_, "window end");
        } else {
            fail(
                "'Word' takes 2 arguments (rel_start word_idx, with fixed_time) or 3 (rel_start "
                "rel_end word_idx)");
        }
        if (word_index < 0 || word_index >= num_words_) {
            fail("word index " + std::to_string(word_index) +
                 " out of range (Num_of_words = " + std::to_string(num_words_) + ")");
        }
        store(word_input_prefix + std::to_string(word_index), anchor_, end);
    }

    void handle_command(const std::vector<std::string>& tokens) {
        const std::string& name = tokens[0];
        const auto target = command_targets.find(name);
        if (target == command_targets.end()) fail("unknown command '" + name + "'");
        std::int32_t start = 0;
        std::int32_t end = 0;
        if (tokens.size() == 3) {
            const int rel_start = int_field(tokens[1], "rel_start");
            const int rel_end = int_field(tokens[2], "rel_end");
            start = add_units(anchor_, rel_start, "window start");
            end = add_units(anchor_, rel_end, "window end");
        } else if (tokens.size() == 2) {
            if (!fixed_time_) {
                fail("1-argument '" + name + "' requires a fixed_time directive; use '" + name +
                     " <rel_start> <rel_end>' for an explicit end");
            }
            const int rel_start = int_field(tokens[1], "rel_start");
            start = add_units(anchor_, rel_start, "window start");
            end = add_units(start, *fixed_time_, "window end");
        } else {
            fail("'" + name + "' takes 1 argument (rel_start, with fixed_time) or 2 (rel_start " +
                 "rel_end)");
        }
        store(target->second, start, end);
    }

    void store(const std::string& target, std::int32_t start, std::int32_t end) {
        if (start < 0) fail("window start " + std::to_string(start) + " is negative");
        if (end <= start) {
            fail("window end " + std::to_string(end) + " does not lie after start " +
                 std::to_string(start));
        }
        schedules_[target].push_back({time_scale_ * static_cast<double>(start),
                                      time_scale_ * static_cast<double>(end), window_value_});
        command_stored_ = true;
    }

    const std::string& path_;
    const double time_scale_;
    const double window_value_;

    std::int64_t line_number_ = 0;
    std::int32_t anchor_ = 0;  // absolute start of the latest Word line, in units
    std::optional<std::int32_t> fixed_time_;
    int num_words_ = 0;
    bool format_seen_ = false;
    bool fixed_time_seen_ = false;
    bool num_words_seen_ = false;
    bool command_stored_ = false;
    ScheduleMap schedules_;
};

}  // namespace

int parse_int_field(const std::string& token, const std::string& path, int line_number,
                    const std::string& field) {
    return parse_int_at_line(token, path, line_number, field);
}

void throw_line_error(const std::string& path, int line_number, const std::string& message) {
    throw_at_line(path, line_number, message);
}

ScheduleMap parse_instruction_file(const std::string& path, double time_scale,
                                   double window_value) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("Failed to open instruction file: " + path);
    return parse_instruction_stream(in, path, time_scale, window_value);
}

ScheduleMap parse_instruction_stream(std::istream& in, const std::string& path, double time_scale,
                                     double window_value) {
    return InstructionParser(path, time_scale, window_value).parse(in);
}

}  // namespace vesk
