// Reading the lines of the text input formats, splitting them into tokens
// and reading integers from tokens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

#include "text/escape.hpp"

namespace vesk {

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
// blank line. A trailing \r (CRLF files) is thus dropped. Only the first
// `max_tokens` are taken: a parser that needs no more than that many can
// still tell a line with too many from one that fits, and a long line of
// short tokens does not cost many times its size.
std::vector<std::string> split_tokens(const std::string& line,
                                      std::size_t max_tokens = std::size_t(-1));

// Whether text other than whitespace follows a '\r' in the line: the mark of
// a file whose lines end in '\r' alone (old Mac files), which the parsers,
// ending lines only at '\n', read as one line. A '\r' before the '\n' of a
// CRLF file is harmless and does not count.
bool has_inner_carriage_return(std::string_view line);

// vesk-check's warning about such a line, the first one of a file.
std::string carriage_return_warning(std::int64_t line_number);

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

}  // namespace vesk
