// Fuzz target of the command-line scanner: the input bytes are split into
// argv words at every NUL and newline. Only the scanner runs, never a whole
// run, which would read and write files named by the input.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli.hpp"
#include "fuzz_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> words{"vesk-sim"};
    std::string word;
    for (std::size_t i = 0; i < size; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c == '\0' || c == '\n') {
            words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (size > 0) words.push_back(word);

    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    vesk::CliOptions opts;
    std::ostringstream err;
    try {
        const vesk::ScanResult result =
            vesk::scan_arguments(static_cast<int>(words.size()), argv.data(), opts, err);
        const std::string text = err.str();
        switch (result) {
            case vesk::ScanResult::proceed:
            case vesk::ScanResult::version:  // printed by the caller, on stdout
                FUZZ_CHECK(text.empty());
                break;
            case vesk::ScanResult::help:
                FUZZ_CHECK(text.rfind("Usage:\n", 0) == 0);
                break;
            case vesk::ScanResult::error:
                FUZZ_CHECK(text.rfind("Error: ", 0) == 0);
                break;
        }
    } catch (const std::runtime_error&) {
    } catch (const std::invalid_argument&) {
    }
    return 0;
}
