// Fuzz target of the instruction parser: the input bytes are the file.
// A parse ends with a schedule of well-formed windows, or with one
// std::runtime_error / std::invalid_argument whose message names the file
// and holds no control character.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "fuzz_check.hpp"
#include "stimulus/instruction_file.hpp"

namespace {

const std::string kPath = "fuzz.txt";

void check_schedule(const vesk::ScheduleMap& schedules) {
    for (const auto& [target, windows] : schedules) {
        FUZZ_CHECK(!target.empty());
        FUZZ_CHECK(!windows.empty());
        for (const vesk::ScheduleWindow& w : windows) {
            FUZZ_CHECK(w.start_ms >= 0.0);
            FUZZ_CHECK(w.end_ms > w.start_ms);
            FUZZ_CHECK(w.value == 100.0);
        }
        // Every window is on at its own start, whichever window matches.
        if (windows.size() <= 64) {
            const vesk::ActivationFunction f = vesk::make_piecewise_activation(windows);
            for (const vesk::ScheduleWindow& w : windows) FUZZ_CHECK(f(w.start_ms) == 100.0);
        }
    }
}

void check_message(const std::exception& e) {
    const std::string message = e.what();
    FUZZ_CHECK(message.rfind(kPath + ":", 0) == 0 ||
               message == "Failed to read instruction file: " + kPath);
    FUZZ_CHECK(vesk::fuzz::has_no_control_characters(e.what()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    try {
        check_schedule(vesk::parse_instruction_stream(in, kPath, 0.1, 100.0));
    } catch (const std::runtime_error& e) {
        check_message(e);
    } catch (const std::invalid_argument& e) {
        check_message(e);
    }
    return 0;
}
