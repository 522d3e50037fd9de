// Parser of the instruction file, the unified VESK instruction format
// ("format vesk-instructions 1"): the stimulus schedule of a run.
#pragma once

#include <cstddef>
#include <istream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "stimulus/activation.hpp"

namespace vesk {

// Target population name -> its windows in ms, in file order.
using ScheduleMap = std::map<std::string, std::vector<ScheduleWindow>>;

// The longest line the text parsers read. Far beyond any real instruction
// or bindings line, it bounds the memory that an endless line (a device such
// as /dev/zero given as a file) can take.
constexpr std::size_t max_line_length = std::size_t{16} << 20;

enum class LineRead { line, end, too_long };

// Reads the next line, without its '\n', as std::getline does, but gives up
// with `too_long` once the line holds more than `max_length` characters.
// `end` when no character is left, or after a read failure, which sets the
// stream's badbit.
LineRead read_line(std::istream& in, std::string& line, std::size_t max_length = max_line_length);

// The tokens of one line, split at space, \t, \r, \v, \f and \n; empty for a
// blank line. A trailing \r (CRLF files) is thus dropped.
std::vector<std::string> split_tokens(const std::string& line);

// `text` with every control character written as an escape (\n, \r, \t,
// \xNN), for quoting input text in an error message: the message then stays
// on one line, cannot drive a terminal, and no NUL cuts it short.
std::string escape_control_characters(std::string_view text);

// The number at the start of `text`: an optional '+' or '-' followed by at
// least one decimal digit. Digits are consumed to the end of the run however
// many there are; `value` is only meaningful when `in_range`.
struct LeadingInteger {
    bool found = false;      // text starts with [sign] digit
    bool in_range = false;   // the number fits a 32-bit signed int
    int value = 0;           // the number, when in_range
    std::size_t length = 0;  // characters taken by the sign and the digits
};
LeadingInteger read_leading_integer(std::string_view text);

// The whole token as a 32-bit decimal integer with optional sign. Throws
// (via throw_line_error) "<field> must be an integer, got '<token>'" or
// "<field> out of integer range: '<token>'".
int parse_int_field(const std::string& token, const std::string& path, int line_number,
                    const std::string& field);

// Throws std::runtime_error "<path>:<line_number>: <message>".
[[noreturn]] void throw_line_error(const std::string& path, int line_number,
                                   const std::string& message);

// Reads the whole file; times are converted as time_scale * units, and every
// window gets `window_value`. Throws std::runtime_error on the first error
// ("Failed to open instruction file: <path>", "Failed to read instruction
// file: <path>" when a read fails before the end, e.g. for a directory, or a
// "<path>:<line>: " message, control characters escaped, which includes
// "line is longer than <max_line_length> bytes"); nothing is returned then.
ScheduleMap parse_instruction_file(const std::string& path, double time_scale, double window_value);

// The same for text that is already open; `path` only names it in messages.
ScheduleMap parse_instruction_stream(std::istream& in, const std::string& path, double time_scale,
                                     double window_value);

}  // namespace vesk
