// Fuzz target of the bindings parser: the input bytes are the file. A parse
// yields non-negative row indices, or ends with one std::runtime_error /
// std::invalid_argument carrying one of the parser's messages. vesk-check's
// reading, which goes on after a fault, agrees: its first fault is the
// run's error, and without one it sees the run's indices.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "stimulus/bindings_file.hpp"

namespace {

bool starts_with(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// Reads on after every fault, as vesk-check does.
class Collector : public vesk::BindingsSink {
  public:
    void fault(std::int64_t, const std::string& message) override {
        if (!first_fault) first_fault = message;
    }
    void index(std::int64_t, int index, const std::vector<std::string>& tokens) override {
        FUZZ_CHECK(!tokens.empty() && tokens.size() <= 2);
        if (!first_fault) indices.push_back(index);
    }

    std::optional<std::string> first_fault;
    std::vector<int> indices;
};

void check_message(const std::exception& e) {
    const std::string message = e.what();
    FUZZ_CHECK(starts_with(message, "Binding index out of range in line: ") ||
               starts_with(message, "Negative binding index encountered: -") ||
               starts_with(message, "Line ") || message == "Failed to read bindings input");
    FUZZ_CHECK(vesk::fuzz::has_no_control_characters(e.what()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::istringstream in(text);
    std::istringstream again(text);
    Collector collector;
    vesk::read_bindings(again, collector);
    try {
        const std::vector<int> indices = vesk::parse_bindings_stream(in);
        for (const int index : indices) FUZZ_CHECK(index >= 0);
        FUZZ_CHECK(!collector.first_fault && indices == collector.indices);
    } catch (const std::runtime_error& e) {
        check_message(e);
        FUZZ_CHECK(collector.first_fault == std::string(e.what()));
    } catch (const std::invalid_argument& e) {
        check_message(e);
    }
    return 0;
}
