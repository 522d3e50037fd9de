// The command line and the frame of a run: option scanning, the usage text,
// the end-time checks, model loading and the one error handler.
#pragma once

#include <iosfwd>
#include <string>

#include "app/cli_options.hpp"

namespace vesk {

enum class ScanResult { proceed, help, version, error };

// Reads argv[1..] into `opts`. For --help writes the usage text and returns
// `help`; for --version returns `version` (the caller prints it); for an
// unrecognized word, an option without its value or a value that is no
// number writes the error (and the usage text where it belongs) to `err` and
// returns `error`.
ScanResult scan_arguments(int argc, char** argv, CliOptions& opts, std::ostream& err);

// Writes the usage text, naming the program `program_name`.
void print_usage(std::ostream& err, const std::string& program_name);

// The whole life of a run: scans argv, checks, loads, runs. Progress goes to
// `out`, the usage text and every error to `err`. Returns the exit status.
int run_main(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace vesk
