#include <iostream>

#include "app/cli.hpp"

int main(int argc, char** argv) {
    return vesk::run_main(argc, argv, std::cout, std::cerr);
}
