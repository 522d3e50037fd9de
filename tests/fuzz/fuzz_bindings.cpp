// Fuzz target of the bindings parser: the input bytes are the file. A parse
// yields non-negative row indices, or ends with one std::runtime_error /
// std::invalid_argument carrying one of the parser's messages.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "fuzz_check.hpp"
#include "stimulus/bindings_file.hpp"

namespace {

bool starts_with(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

void check_message(const std::exception& e) {
    const std::string message = e.what();
    FUZZ_CHECK(starts_with(message, "Binding index out of range in line: ") ||
               starts_with(message, "Negative binding index encountered: -") ||
               starts_with(message, "Line ") || message == "Failed to read bindings input");
    FUZZ_CHECK(vesk::fuzz::has_no_control_characters(e.what()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    try {
        for (const int index : vesk::parse_bindings_stream(in)) FUZZ_CHECK(index >= 0);
    } catch (const std::runtime_error& e) {
        check_message(e);
    } catch (const std::invalid_argument& e) {
        check_message(e);
    }
    return 0;
}
