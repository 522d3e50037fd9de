// vesk-check: see app/check_command.hpp.
#include <iostream>

#include "app/check_command.hpp"

int main(int argc, char** argv) {
    return vesk::run_check(argc, argv, std::cout, std::cerr);
}
