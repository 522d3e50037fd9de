// The fixed table that maps instruction-file command names to the names of
// the input populations they drive.
#pragma once

#include <string>
#include <unordered_map>

namespace vesk {

// 143 entries, built during static initialisation and never changed; keys and
// values are both unique. Look-up is by exact, case-sensitive name. "Word" is
// not in the table: the instruction parser names word populations itself.
extern const std::unordered_map<std::string, std::string> command_targets;

// Word populations are named by index: this prefix, then the index in
// decimal ("EX1_input_W0", ...).
inline constexpr const char* word_input_prefix = "EX1_input_W";

}  // namespace vesk
