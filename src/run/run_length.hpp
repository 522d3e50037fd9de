// The run-length options of the command line, --t-end MS and --n-steps N,
// read from text as every front end reads them: like strtod and strtol, the
// longest leading number counts and whatever follows it is ignored (so
// "1_0" is 1 and "5e3" steps are 5). Stored scripts rely on this reading.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "run/sample_grid.hpp"

namespace vesk {

// A number read from the front of an option's value, and what was ignored
// after it.
template <class T>
struct LeadingNumber {
    T value{};
    std::string ignored;
};

// --t-end's value: leading blanks skipped, the longest leading decimal or
// hexadecimal number (inf and nan included). Nothing when there is no
// number or it overflows a double.
std::optional<LeadingNumber<double>> read_t_end(const std::string& text);
// --n-steps's value: a base-10 integer. Nothing when there is none or it does
// not fit 32 bits.
std::optional<LeadingNumber<std::int32_t>> read_n_steps(const std::string& text);

// Thrown for option values that cannot make any run; the command line shows
// its usage text after the message.
struct RunLengthUsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// What the two options ask for, as read; -1 stands for "not given".
struct RunLength {
    double t_end = -1.0;  // ms
    std::int32_t n_steps = -1;

    // Reads the options' values as vesk-sim does (an absent option as
    // nullptr). Throws std::runtime_error with vesk-sim's message for a
    // value that is no number.
    static RunLength from_text(const std::string* t_end_text, const std::string* n_steps_text);

    // The end time asked for, ms: n_steps * 0.1 when n_steps > 0, else
    // t_end (<= 0 when neither is > 0). Throws RunLengthUsageError "--t-end
    // and --n-steps are mutually exclusive" when both are > 0.
    double requested_t_end() const;

    // The run's samples (command_line_grid). Throws std::runtime_error with
    // the command line's message when they cannot make a run.
    SampleGrid grid() const;
};

// vesk-sim's messages for a value of the option that is no number.
std::string t_end_not_a_number(const std::string& text);
std::string n_steps_not_a_number(const std::string& text);

}  // namespace vesk
