// Reading the contract file into memory: the whole JSON document, or the
// document with the elements of its top-level "edges" array taken apart as
// they are parsed, so that millions of edges never exist as JSON values.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "model/network.hpp"
#include "model/sparse_matrix.hpp"

namespace vesk {

// The top-level "edges" array as read element by element: a well-formed
// edge (an object whose "source_kind" is "node" or "input", whose ids are
// numbers that convert to 32-bit integers and whose weight is a number) is
// kept as a triplet (row target_node_id, column source_id) and its kind; any
// other element is kept whole, so that reading it later fails exactly as in
// a parsed document.
enum class EdgeKind : std::uint8_t { node, input, whole };

struct StreamedEdges {
    std::vector<EdgeKind> kinds;        // one per element, in order
    std::vector<Triplet> triplets;      // one per element; unused for whole ones
    std::vector<nlohmann::json> whole;  // the elements of kind whole, in order
};

struct ContractDocument {
    nlohmann::json doc;
    // Set when the top-level "edges" was an array read element by element;
    // its place in `doc` then holds null.
    std::optional<StreamedEdges> edges;
};

// Parses the first JSON value of the file at `path`; whatever follows it is
// not read. Throws std::runtime_error for a file that cannot be opened or
// read and for malformed JSON; the library's number overflow passes through.
ContractDocument read_contract(const std::string& path, ContractReading reading);

}  // namespace vesk
