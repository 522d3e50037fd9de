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
    throw std::runtime_error(line_error_text(path, line_number, message));
}

// The longest line form, "Word rel_start rel_end word_idx", has 4 tokens; a
// fifth tells that a line has too many.
constexpr std::size_t max_tokens = 5;

// A fault of the line being read: unwinds its handler, whose effects on the
// parse state are then dropped, so that reading can go on after it.
struct LineFault {
    std::string message;
};

[[noreturn]] void fail(const std::string& message) {
    throw LineFault{message};
}

// The whole token as a 32-bit decimal integer with optional sign.
int int_field(const std::string& token, const std::string& field) {
    const LeadingInteger number = read_leading_integer(token);
    if (!number.found) fail(field + " must be an integer, got '" + token + "'");
    if (!number.in_range) fail(field + " out of integer range: '" + token + "'");
    if (number.length != token.size()) fail(field + " must be an integer, got '" + token + "'");
    return number.value;
}

// base + offset in units. The sum is taken in 64 bits, and a result that
// leaves the 32-bit time range is a fault of the line instead of wrapping.
std::int32_t add_units(std::int32_t base, std::int32_t offset, const char* what) {
    const std::int64_t sum = std::int64_t{base} + std::int64_t{offset};
    if (sum < kIntMin || sum > kIntMax) {
        fail(std::string(what) + " " + std::to_string(base) + "+" + std::to_string(offset) +
             " overflows the 32-bit time range");
    }
    return static_cast<std::int32_t>(sum);
}

// One reading of a file, reporting to a sink; every call of
// read_instructions makes its own.
class InstructionParser {
  public:
    InstructionParser(double time_scale, double window_value, InstructionSink& sink)
        : time_scale_(time_scale), window_value_(window_value), sink_(sink) {}

    void parse(std::istream& in) {
        std::string line;
        for (;;) {
            const LineRead read = read_line(in, line);
            if (read == LineRead::end) break;
            ++line_number_;
            if (read == LineRead::too_long) {
                // What is left of the line may be endless (a device such as
                // /dev/zero): reading stops here, whatever the sink does.
                sink_.fault(line_number_,
                            "line is longer than " + std::to_string(max_line_length) + " bytes");
                return;
            }
            if (has_inner_carriage_return(line)) sink_.carriage_return_inside(line_number_);
            const std::vector<std::string> tokens = split_tokens(line, max_tokens);
            if (tokens.empty() || tokens[0].front() == '#') continue;
            const State before = state_;
            try {
                handle_line(tokens);
            } catch (const LineFault& fault) {
                state_ = before;
                sink_.fault(line_number_, fault.message);
            }
        }
    }

  private:
    // What a line can change; a faulty line leaves it as it was.
    struct State {
        std::int32_t anchor = 0;  // absolute start of the latest Word line, in units
        std::optional<std::int32_t> fixed_time;
        int num_words = 0;
        bool format_seen = false;
        bool fixed_time_seen = false;
        bool num_words_seen = false;
        bool command_stored = false;
    };

    void handle_line(const std::vector<std::string>& tokens) {
        const std::string& name = tokens[0];
        if (name == "format" || name == "fixed_time" || name == "Num_of_words") {
            handle_directive(tokens);
        } else if (name == "Word") {
            handle_word(tokens);
        } else {
            handle_command(tokens);
        }
    }

    void handle_directive(const std::vector<std::string>& tokens) {
        const std::string& name = tokens[0];
        if (state_.command_stored)
            fail("directive '" + name + "' must appear before the first command");
        bool& seen = name == "format"       ? state_.format_seen
                     : name == "fixed_time" ? state_.fixed_time_seen
                                            : state_.num_words_seen;
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
            state_.fixed_time = value;
        } else {
            if (tokens.size() != 2) fail("Num_of_words takes exactly one value");
            const int value = int_field(tokens[1], "Num_of_words");
            if (value < 0) fail("Num_of_words must be non-negative");
            // Only the count is kept: the names are generated on use, so a
            // huge count costs nothing.
            state_.num_words = value;
        }
    }

    void handle_word(const std::vector<std::string>& tokens) {
        if (!state_.num_words_seen) fail("'Word' encountered before Num_of_words");
        std::int32_t end = 0;
        int word_index = 0;
        if (tokens.size() == 4) {
            const int rel_start = int_field(tokens[1], "rel_start");
            const int rel_end = int_field(tokens[2], "rel_end");
            word_index = int_field(tokens[3], "word index");
            state_.anchor = add_units(state_.anchor, rel_start, "window start");
            end = add_units(state_.anchor, rel_end, "window end");
        } else if (tokens.size() == 3) {
            if (!state_.fixed_time) {
                fail(
                    "2-argument 'Word' requires a fixed_time directive; use 'Word <rel_start> "
                    "<rel_end> <word_idx>' for an explicit end");
            }
            const int rel_start = int_field(tokens[1], "rel_start");
            word_index = int_field(tokens[2], "word index");
            state_.anchor = add_units(state_.anchor, rel_start, "window start");
            end = add_units(state_.anchor, *state_.fixed_time, "window end");
        } else {
            fail(
                "'Word' takes 2 arguments (rel_start word_idx, with fixed_time) or 3 (rel_start "
                "rel_end word_idx)");
        }
        if (word_index < 0 || word_index >= state_.num_words) {
            fail("word index " + std::to_string(word_index) +
                 " out of range (Num_of_words = " + std::to_string(state_.num_words) + ")");
        }
        store(tokens[0], word_input_prefix + std::to_string(word_index), state_.anchor, end);
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
            start = add_units(state_.anchor, rel_start, "window start");
            end = add_units(state_.anchor, rel_end, "window end");
        } else if (tokens.size() == 2) {
            if (!state_.fixed_time) {
                fail("1-argument '" + name + "' requires a fixed_time directive; use '" + name +
                     " <rel_start> <rel_end>' for an explicit end");
            }
            const int rel_start = int_field(tokens[1], "rel_start");
            start = add_units(state_.anchor, rel_start, "window start");
            end = add_units(start, *state_.fixed_time, "window end");
        } else {
            fail("'" + name + "' takes 1 argument (rel_start, with fixed_time) or 2 (rel_start " +
                 "rel_end)");
        }
        store(name, target->second, start, end);
    }

    void store(const std::string& command, const std::string& target, std::int32_t start,
               std::int32_t end) {
        if (start < 0) fail("window start " + std::to_string(start) + " is negative");
        if (end <= start) {
            fail("window end " + std::to_string(end) + " does not lie after start " +
                 std::to_string(start));
        }
        state_.command_stored = true;
        sink_.window(line_number_, command, target,
                     {time_scale_ * static_cast<double>(start),
                      time_scale_ * static_cast<double>(end), window_value_});
    }

    const double time_scale_;
    const double window_value_;
    InstructionSink& sink_;
    std::int64_t line_number_ = 0;
    State state_;
};

// The run's sink: the schedule, and the first fault thrown as the error.
class ScheduleBuilder : public InstructionSink {
  public:
    explicit ScheduleBuilder(const std::string& path) : path_(path) {}

    void fault(std::int64_t line_number, const std::string& message) override {
        throw_at_line(path_, line_number, message);
    }
    void window(std::int64_t, const std::string&, const std::string& target,
                const ScheduleWindow& window) override {
        schedules_[target].push_back(window);
    }

    ScheduleMap take() { return std::move(schedules_); }

  private:
    const std::string& path_;
    ScheduleMap schedules_;
};

}  // namespace

std::string line_error_text(const std::string& path, std::int64_t line_number,
                            const std::string& message) {
    return escape_control_characters(path + ":" + std::to_string(line_number) + ": " + message);
}

int parse_int_field(const std::string& token, const std::string& path, int line_number,
                    const std::string& field) {
    try {
        return int_field(token, field);
    } catch (const LineFault& fault) {
        throw_at_line(path, line_number, fault.message);
    }
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

void read_instructions(std::istream& in, double time_scale, double window_value,
                       InstructionSink& sink) {
    InstructionParser(time_scale, window_value, sink).parse(in);
}

ScheduleMap parse_instruction_stream(std::istream& in, const std::string& path, double time_scale,
                                     double window_value) {
    ScheduleBuilder builder(path);
    read_instructions(in, time_scale, window_value, builder);
    // A failed read would otherwise pass for the end of the file and
    // silently drop the rest of the schedule (a directory opens fine too).
    if (in.bad()) throw std::runtime_error("Failed to read instruction file: " + path);
    return builder.take();
}

}  // namespace vesk
