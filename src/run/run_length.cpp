#include "run/run_length.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace vesk {

std::optional<LeadingNumber<double>> read_t_end(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(begin, &end);
    if (end == begin || (errno == ERANGE && std::isinf(v))) return std::nullopt;
    return LeadingNumber<double>{v, std::string(end)};
}

std::optional<LeadingNumber<std::int32_t>> read_n_steps(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(begin, &end, 10);
    if (end == begin || errno == ERANGE || v < std::numeric_limits<std::int32_t>::min() ||
        v > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return LeadingNumber<std::int32_t>{static_cast<std::int32_t>(v), std::string(end)};
}

std::string t_end_not_a_number(const std::string& text) {
    return "--t-end needs a number of milliseconds within the range of a double, got '" + text +
           "'";
}

std::string n_steps_not_a_number(const std::string& text) {
    return "--n-steps needs a whole number between -2147483648 and 2147483647, got '" + text + "'";
}

RunLength RunLength::from_text(const std::string* t_end_text, const std::string* n_steps_text) {
    RunLength length;
    if (t_end_text) {
        const auto t_end = read_t_end(*t_end_text);
        if (!t_end) throw std::runtime_error(t_end_not_a_number(*t_end_text));
        length.t_end = t_end->value;
    }
    if (n_steps_text) {
        const auto n_steps = read_n_steps(*n_steps_text);
        if (!n_steps) throw std::runtime_error(n_steps_not_a_number(*n_steps_text));
        length.n_steps = n_steps->value;
    }
    return length;
}

double RunLength::requested_t_end() const {
    if (t_end > 0 && n_steps > 0) {
        throw RunLengthUsageError("--t-end and --n-steps are mutually exclusive");
    }
    return n_steps > 0 ? static_cast<double>(n_steps) * grid_step_ms : t_end;
}

SampleGrid RunLength::grid() const {
    return command_line_grid(t_end, n_steps);
}

}  // namespace vesk
