#include "model/contract_checks.hpp"

#include <limits>
#include <stdexcept>
#include <string>

namespace vesk {

using json = nlohmann::json;

// The library converts numbers to int with a plain cast, which wraps large
// integers and is undefined for large floats; such a value is an error here.
bool fits_int32(const json& v) {
    constexpr auto lo = std::numeric_limits<std::int32_t>::min();
    constexpr auto hi = std::numeric_limits<std::int32_t>::max();
    if (v.is_number_unsigned()) return v.get<std::uint64_t>() <= static_cast<std::uint64_t>(hi);
    if (v.is_number_integer()) {
        const auto i = v.get<std::int64_t>();
        return i >= lo && i <= hi;
    }
    if (v.is_number_float()) {
        // Truncation toward zero must land in range: (lo - 1, hi + 1).
        const double d = v.get<double>();
        return d > static_cast<double>(lo) - 1.0 && d < static_cast<double>(hi) + 1.0;
    }
    return true;
}

namespace {

void check_int_range(const json& v, const char* key) {
    if (!fits_int32(v)) {
        throw std::runtime_error(std::string("Value of '") + key +
                                 "' does not fit a 32-bit integer: " + v.dump());
    }
}

// A NUL from a "\u0000" escape would cut the message short where it is
// printed; the run driver escapes the other control characters.
std::string without_nul(std::string_view text) {
    std::string result;
    for (const char c : text) {
        if (c == '\0') {
            result += "\\x00";
        } else {
            result += c;
        }
    }
    return result;
}

}  // namespace

int read_int(const json& obj, const char* key) {
    const json& v = obj.at(key);
    check_int_range(v, key);
    return v.get<int>();
}

int read_int_or(const json& obj, const char* key, int fallback) {
    if (obj.is_object()) {
        const auto it = obj.find(key);
        if (it == obj.end()) return fallback;
        check_int_range(*it, key);
    }
    return obj.value(key, fallback);
}

void check_sizes(std::int32_t n_nodes, std::int32_t n_inputs) {
    if (n_nodes < 0 || n_inputs < 0) {
        throw std::runtime_error("Invalid model sizes: n_nodes/n_inputs must be non-negative");
    }
}

void check_node_id(int node_id, std::int32_t n_nodes) {
    if (node_id < 0 || node_id >= n_nodes) {
        throw std::runtime_error("node_id out of bounds while parsing nodes array");
    }
}

void check_input_id(int input_id, std::int32_t n_inputs) {
    if (input_id < 0 || input_id >= n_inputs) {
        throw std::runtime_error("input_id out of bounds while parsing inputs array");
    }
}

bool check_edge(std::string_view source_kind, const Triplet& edge, std::int32_t n_nodes,
                std::int32_t n_inputs) {
    if (edge.row < 0 || edge.row >= n_nodes) {
        throw std::runtime_error("target_node_id out of bounds while parsing edges array");
    }
    if (source_kind == "node") {
        if (edge.col < 0 || edge.col >= n_nodes) {
            throw std::runtime_error("node source_id out of bounds while parsing edges array");
        }
        return true;
    }
    if (source_kind == "input") {
        if (edge.col < 0 || edge.col >= n_inputs) {
            throw std::runtime_error("input source_id out of bounds while parsing edges array");
        }
        return false;
    }
    throw std::runtime_error("Unknown source_kind in edges array: " + without_nul(source_kind));
}

}  // namespace vesk
