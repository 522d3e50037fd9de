// Quoting input text in messages.
#pragma once

#include <string>
#include <string_view>

namespace vesk {

// `text` with every control character written as an escape (\n, \r, \t,
// \xNN), for quoting input text in an error message: the message then stays
// on one line, cannot drive a terminal, and no NUL cuts it short.
std::string escape_control_characters(std::string_view text);

}  // namespace vesk
