// Fuzz target of the instruction parser: the input bytes are the file.
// A parse ends with a schedule of well-formed windows, or with one
// std::runtime_error / std::invalid_argument whose message names the file
// and holds no control character. vesk-check's reading, which goes on after
// a fault, agrees: its first fault is the run's error, and without one it
// sees the run's windows.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>

#include "fuzz_check.hpp"
#include "stimulus/instruction_file.hpp"

namespace vesk {

// For comparing whole schedules: the same window, value for value.
bool operator==(const ScheduleWindow& x, const ScheduleWindow& y) {
    return x.start_ms == y.start_ms && x.end_ms == y.end_ms && x.value == y.value;
}

}  // namespace vesk

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

// Reads on after every fault, as vesk-check does.
class Collector : public vesk::InstructionSink {
  public:
    void fault(std::int64_t line_number, const std::string& message) override {
        if (!first_fault) first_fault = vesk::line_error_text(kPath, line_number, message);
    }
    void window(std::int64_t, const std::string&, const std::string& target,
                const vesk::ScheduleWindow& w) override {
        if (!first_fault) windows[target].push_back(w);
    }

    std::optional<std::string> first_fault;
    vesk::ScheduleMap windows;
};

void check_message(const std::exception& e) {
    const std::string message = e.what();
    FUZZ_CHECK(message.rfind(kPath + ":", 0) == 0 ||
               message == "Failed to read instruction file: " + kPath);
    FUZZ_CHECK(vesk::fuzz::has_no_control_characters(e.what()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::istringstream in(text);
    std::istringstream again(text);
    Collector collector;
    vesk::read_instructions(again, 0.1, 100.0, collector);
    try {
        const vesk::ScheduleMap schedules = vesk::parse_instruction_stream(in, kPath, 0.1, 100.0);
        check_schedule(schedules);
        FUZZ_CHECK(!collector.first_fault && schedules == collector.windows);
    } catch (const std::runtime_error& e) {
        check_message(e);
        FUZZ_CHECK(collector.first_fault == std::string(e.what()));
    } catch (const std::invalid_argument& e) {
        check_message(e);
    }
    return 0;
}
