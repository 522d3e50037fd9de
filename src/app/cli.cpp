#include "app/cli.hpp"

#include <ostream>

namespace vesk {

void print_usage(std::ostream& err, const std::string& program_name) {
    err << "Usage:\n  " << program_name << " --model FILE --output FILE --t-end MS [options]\n";
}

int run_main(int argc, char** argv, std::ostream&, std::ostream& err) {
    print_usage(err, argc > 0 ? argv[0] : "vesk-sim");
    return 1;
}

}  // namespace vesk
