// vesk-check: reads a model and its instruction and bindings files with
// the code of vesk-sim, runs nothing, and reports every problem it finds.
#pragma once

#include <iosfwd>

namespace vesk {

// Exit statuses of vesk-check.
enum CheckStatus : int {
    check_clean = 0,     // no problem found
    check_errors = 1,    // at least one error: vesk-sim would stop
    check_warnings = 2,  // warnings only: vesk-sim would run
    check_usage = 3,     // the command line is wrong; nothing was checked
};

// The whole of vesk-check: the report goes to `out`, usage errors to `err`.
int run_check(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace vesk
