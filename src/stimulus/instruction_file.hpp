// Parser of the instruction file, the unified VESK instruction format
// ("format vesk-instructions 1"): the stimulus schedule of a run.
#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <string>
#include <vector>

#include "stimulus/activation.hpp"

namespace vesk {

// Target population name -> its windows in ms, in file order.
using ScheduleMap = std::map<std::string, std::vector<ScheduleWindow>>;

// The whole token as a 32-bit decimal integer with optional sign; throws
// the line error of throw_line_error for anything else.
int parse_int_field(const std::string& token, const std::string& path, int line_number,
                    const std::string& field);

// Throws std::runtime_error "<path>:<line_number>: <message>".
[[noreturn]] void throw_line_error(const std::string& path, int line_number,
                                   const std::string& message);

// "<path>:<line_number>: <message>", control characters written as escapes:
// the text of every error tied to a line of an instruction file.
std::string line_error_text(const std::string& path, std::int64_t line_number,
                            const std::string& message);

// Receives what one reading of an instruction file finds, line by line in
// file order. The run builds its schedule from it; vesk-check collects
// every finding.
class InstructionSink {
  public:
    virtual ~InstructionSink() = default;
    // The fault that makes line `line_number` invalid, without the
    // "<path>:<line>: " prefix. Throw to stop the reading; return to go on
    // with the next line, the faulty one then counting as blank. A line too
    // long to hold ends the reading either way.
    virtual void fault(std::int64_t line_number, const std::string& message) = 0;
    // The window that the command line `line_number`, whose command is
    // `command` ("Word", "Noun", ...), stores for population `target`.
    virtual void window(std::int64_t line_number, const std::string& command,
                        const std::string& target, const ScheduleWindow& window) = 0;
    // Line `line_number` goes on after a '\r' (has_inner_carriage_return).
    virtual void carriage_return_inside(std::int64_t /*line_number*/) {}
};

// Reads `in` to its end (or to its first read failure, which leaves the
// stream's badbit for the caller) and reports to `sink`; times are converted
// as in parse_instruction_file.
void read_instructions(std::istream& in, double time_scale, double window_value,
                       InstructionSink& sink);

// Reads the whole file; times are converted as time_scale * units, and every
// window gets `window_value`. Throws std::runtime_error with the user-facing
// message at the first fault of the file; nothing is returned then.
ScheduleMap parse_instruction_file(const std::string& path, double time_scale, double window_value);

// The same for text that is already open; `path` only names it in messages.
ScheduleMap parse_instruction_stream(std::istream& in, const std::string& path, double time_scale,
                                     double window_value);

}  // namespace vesk
