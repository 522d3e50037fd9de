// Everything a contract load fills in, as text (doubles by their bits), so
// that two loads compare with one string comparison.
#pragma once

#include <bit>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <typeinfo>

#include "contract/contract_schema.hpp"
#include "contract/load_network.hpp"
#include "model/network.hpp"
#include "run/memory_budget.hpp"

namespace vesk::test {

inline void put_bits(std::ostringstream& out, double v) {
    out << std::hex << std::bit_cast<std::uint64_t>(v) << std::dec << ' ';
}

inline void put_matrix(std::ostringstream& out, const std::optional<SparseMatrix>& m) {
    if (!m) {
        out << "absent\n";
        return;
    }
    out << m->rows() << 'x' << m->cols() << " rows:";
    for (auto p : m->row_ptr()) out << ' ' << p;
    out << " cols:";
    for (auto c : m->col_idx()) out << ' ' << c;
    out << " values: ";
    for (double v : m->values()) put_bits(out, v);
    out << '\n';
}

inline std::string describe(const Network& net) {
    std::ostringstream out;
    out << net.n_nodes << ' ' << net.n_inputs << '\n';
    for (const ParameterRow& row : parameter_rows) put_bits(out, net.parameters.*row.member);
    out << "\ntau: ";
    for (double v : net.tau) put_bits(out, v);
    out << "\nexcitatory:";
    for (bool e : net.is_excitatory) out << ' ' << e;
    out << '\n';
    for (const auto* records : {&net.node_metadata, &net.input_metadata}) {
        for (const auto& m : *records) {
            out << m.node_id << '|' << m.input_id << '|' << m.row_index << '|' << m.pop_id << '|'
                << m.pop_typ << '|' << m.con_typ << '|' << m.circ_id << '|' << m.h_row << '|'
                << m.d_row << '|' << m.mat_id << '\n';
        }
        out << "--\n";
    }
    for (std::size_t i = 0; i < net.input_names.size(); ++i) {
        out << net.input_names[i] << '@' << net.input_row_index[i] << '\n';
    }
    put_matrix(out, net.weights);
    put_matrix(out, net.input_weights);
    return out.str();
}

// A load of `path` as describe() gives it, or "throws TYPE: MESSAGE" for the
// exceptions with which a load rejects a file; any other exception escapes.
// The Network loaded goes to `loaded` when given.
inline std::string load_outcome(const std::string& path, ContractReading reading,
                                Network* loaded = nullptr) {
    const auto rejected = [](const std::exception& e) {
        return std::string("throws ") + typeid(e).name() + ": " + e.what();
    };
    Network net;
    try {
        net = load_network(path, check_fits_in_memory, reading);
    } catch (const nlohmann::json::exception& e) {
        return rejected(e);
    } catch (const std::runtime_error& e) {
        return rejected(e);
    } catch (const std::invalid_argument& e) {
        return rejected(e);
    }
    std::string text = describe(net);
    if (loaded) *loaded = std::move(net);
    return text;
}

}  // namespace vesk::test
