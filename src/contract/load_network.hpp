// Loading a simulation contract into a Network: the one entry point of
// every program that runs a model.
#pragma once

#include <string>

#include "contract/size_check.hpp"
#include "model/network.hpp"

namespace vesk {

// How load_network reads the contract file. `fast` (the default) takes a
// contract of the usual shape through read_contract_fast
// (contract/contract_fast_reader.hpp) and reads any other file as
// `streamed` does. `streamed` reads the text once through the contract
// walker (contract/load_sink.hpp), whatever its shape, in memory a fraction
// of the file size. Both give the same Network and the same errors.
enum class ContractReading { fast, streamed };

// The Network of the simulation contract at `path`. Throws
// std::runtime_error with the user-facing message, or the JSON library's
// own exception for a missing key, a wrong type or a number overflow.
// `size_check` is asked once the sizes are known (an empty one allows any
// size).
Network load_network(const std::string& path, const SizeCheck& size_check,
                     ContractReading reading = ContractReading::fast);

}  // namespace vesk
