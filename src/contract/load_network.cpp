#include "contract/load_network.hpp"

#include "contract/contract_fast_reader.hpp"
#include "contract/load_sink.hpp"

namespace vesk {

Network load_network(const std::string& path, const SizeCheck& size_check,
                     ContractReading reading) {
    Network net;
    FastReadOptions fast;
    fast.size_check = size_check;
    if (reading == ContractReading::fast && read_contract_fast(path, net, fast)) return net;
    load_contract(path, net, size_check);
    return net;
}

}  // namespace vesk
