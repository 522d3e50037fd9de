// Shared by the fuzz targets: a property check that turns a broken
// invariant into a crash libFuzzer records, and the test for the exceptions
// that count as an orderly rejection of the input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#define FUZZ_CHECK(cond)                                                                      \
    do {                                                                                      \
        if (!(cond)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)

namespace vesk::fuzz {

// Text quoted from the input is escaped in error messages: a message holds
// no control character, so it stays on its one line after "Error: " and
// cannot drive a terminal.
inline bool has_no_control_characters(const char* message) {
    for (const char* p = message; *p; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        if (byte < 0x20 || byte == 0x7f) return false;
    }
    return true;
}

}  // namespace vesk::fuzz
