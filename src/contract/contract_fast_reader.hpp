// A fast reader for simulation contracts as the model-building tools write
// them, which leaves every other file to the full reader.
#pragma once

#include <cstddef>
#include <string>

#include "contract/size_check.hpp"
#include "model/network.hpp"

namespace vesk {

struct FastReadOptions {
    // The "edges" array is parsed in pieces of about this many bytes, so that
    // memory stays bounded whatever the size of the file; a piece grows when
    // one element does not fit.
    std::size_t piece_bytes = std::size_t{1} << 18;
    // Asked once the sizes are known, before anything is allocated for them
    // (an empty one allows any size).
    SizeCheck size_check;
};

// Fills `net` from the contract at `path`, through the load sink that the
// walker feeds too (contract/load_sink.hpp), and returns true when the path
// names a regular file holding a well-formed contract of the usual shape: a
// top-level object whose last key is "edges", holding an array of edge
// objects; "nodes" and "inputs" arrays of objects; no string escapes; every
// value read of the type it must have and within range; no key read twice.
// Returns false, leaving `net` as it was, for anything else (a pipe, a parse
// error, an unusual shape, any value that load_network would reject), and
// the caller then reads the file with the full reader, which gives the exact
// message. Where it returns true, the Network is the one the full reader
// builds, bit for bit.
bool read_contract_fast(const std::string& path, Network& net, const FastReadOptions& options = {});

}  // namespace vesk
