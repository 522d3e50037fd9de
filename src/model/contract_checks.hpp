// The loader's checks of contract values: 32-bit ids and counts, ids within
// the model's sizes, and edges. Both ways of reading a contract use them, so
// that they fail with the same messages in the same order.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string_view>

#include "model/sparse_matrix.hpp"

namespace vesk {

// Whether the library's conversion of `v` to int keeps its value: integers
// within 32 bits, and floats that truncate toward zero into that range.
// Values that are no numbers pass; their conversion fails on its own.
bool fits_int32(const nlohmann::json& v);

// obj.at(key) converted to int; throws std::runtime_error when the number
// does not fit 32 bits.
int read_int(const nlohmann::json& obj, const char* key);

// Lookup-with-default: a missing key gives `fallback`, a present one (null
// included) is converted and checked as read_int does. A non-object fails as
// the library's value() does.
int read_int_or(const nlohmann::json& obj, const char* key, int fallback);

// Each throws std::runtime_error when its value lies outside the model.
void check_sizes(std::int32_t n_nodes, std::int32_t n_inputs);
void check_node_id(int node_id, std::int32_t n_nodes);
void check_input_id(int input_id, std::int32_t n_inputs);

// Checks an edge of kind `source_kind` with row target_node_id and column
// source_id: the target first, then the kind, then the source. Returns true
// for a node-to-node edge, false for an input edge; throws
// std::runtime_error for anything else.
bool check_edge(std::string_view source_kind, const Triplet& edge, std::int32_t n_nodes,
                std::int32_t n_inputs);

}  // namespace vesk
