#include <csignal>
#include <iostream>

#include "app/cli.hpp"

int main(int argc, char** argv) {
    // Past a file-size limit (ulimit -f) a write then fails and is reported
    // like any other write error, instead of the signal killing the run
    // silently with a cut output file.
    std::signal(SIGXFSZ, SIG_IGN);
    return vesk::run_main(argc, argv, std::cout, std::cerr);
}
