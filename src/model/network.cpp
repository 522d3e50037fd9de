#include "model/network.hpp"

#include "contract/contract_fast_reader.hpp"
#include "contract/load_sink.hpp"

namespace vesk {

void Network::load_from_json(const std::string& path, const SizeCheck& size_check,
                             ContractReading reading) {
    FastReadOptions fast;
    fast.size_check = size_check;
    if (reading == ContractReading::fast && read_contract_fast(path, *this, fast)) return;
    load_contract(path, *this, size_check);
}

double Network::get_weight(int target, int source) const {
    return weights ? weights->get(target, source) : 0.0;
}

double Network::get_input_weight(int target, int input) const {
    return input_weights ? input_weights->get(target, input) : 0.0;
}

}  // namespace vesk
