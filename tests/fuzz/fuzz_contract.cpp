// Fuzz target of the contract loader: the input bytes are the model file.
// A load ends either with a Network that keeps the loader's invariants, or
// with std::runtime_error / the JSON library's exceptions. The streamed and
// the fast reading must agree exactly with the whole-document reading: the
// same Network, or the same exception with the same message. A loaded network
// must also run: a few samples are simulated on it.
// vesk-check's scan of the same bytes must agree with the loader: no error
// for a model that loads, and the loader's own message among its errors for
// one that does not (unless a key is given twice: the scan then also checks
// the value that is dropped).
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include "fuzz_check.hpp"
#include "model/contract_fast_reader.hpp"
#include "model/contract_scan.hpp"
#include "model/network.hpp"
#include "sim/simulator.hpp"

namespace {

using nlohmann::json;

// The loader sizes its per-node and per-input arrays from the counts before
// it reads any entry, as it must. Counts the 32-bit check lets through but
// that describe far more than the input itself would only measure the
// allocator; they are skipped. Counts beyond 32 bits are kept, since the
// loader refuses them before allocating.
constexpr double kMaxFuzzCount = 65536.0;

bool has_costly_counts(const std::uint8_t* data, std::size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    json doc;
    try {
        in >> doc;
    } catch (const json::exception&) {
        return false;
    }
    if (!doc.is_object()) return false;
    const auto counts = doc.find("counts");
    if (counts == doc.end() || !counts->is_object()) return false;
    for (const char* key : {"n_nodes", "n_inputs"}) {
        const auto v = counts->find(key);
        if (v == counts->end() || !v->is_number()) continue;
        const double d = v->get<double>();
        if (d > kMaxFuzzCount && d < 2147483648.0) return true;
    }
    return false;
}

// An in-memory file, reached by the loader through its /proc path, so that
// fuzzing writes nothing to disk.
struct ModelFile {
    int fd = memfd_create("fuzz-contract", 0);
    std::string path = "/proc/self/fd/" + std::to_string(fd);

    void replace(const std::uint8_t* data, std::size_t size) const {
        FUZZ_CHECK(fd >= 0);
        FUZZ_CHECK(ftruncate(fd, 0) == 0);
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
            FUZZ_CHECK(n > 0);
            done += static_cast<std::size_t>(n);
        }
    }
};

void check_matrix(const vesk::SparseMatrix& m, std::int32_t rows, std::int32_t cols) {
    FUZZ_CHECK(m.rows == rows && m.cols == cols);
    FUZZ_CHECK(m.row_ptr.size() == static_cast<std::size_t>(rows) + 1);
    FUZZ_CHECK(m.row_ptr.front() == 0);
    FUZZ_CHECK(m.col_idx.size() == m.values.size());
    FUZZ_CHECK(static_cast<std::size_t>(m.row_ptr.back()) == m.col_idx.size());
    for (std::size_t i = 0; i + 1 < m.row_ptr.size(); ++i) {
        FUZZ_CHECK(m.row_ptr[i] <= m.row_ptr[i + 1]);
        for (auto k = m.row_ptr[i]; k < m.row_ptr[i + 1]; ++k) {
            const auto col = m.col_idx[static_cast<std::size_t>(k)];
            FUZZ_CHECK(col >= 0 && col < cols);
            if (k > m.row_ptr[i]) FUZZ_CHECK(m.col_idx[static_cast<std::size_t>(k) - 1] <= col);
        }
    }
}

void check_network(const vesk::Network& net) {
    FUZZ_CHECK(net.n_nodes >= 0 && net.n_inputs >= 0);
    const auto n = static_cast<std::size_t>(net.n_nodes);
    const auto m = static_cast<std::size_t>(net.n_inputs);
    FUZZ_CHECK(net.tau.size() == n);
    FUZZ_CHECK(net.is_excitatory.size() == n);
    FUZZ_CHECK(net.node_metadata.size() == n);
    FUZZ_CHECK(net.input_names.size() == m);
    FUZZ_CHECK(net.input_row_index.size() == m);
    for (const auto& md : net.node_metadata)
        FUZZ_CHECK(md.node_id >= 0 && md.node_id < net.n_nodes);
    for (const auto& md : net.input_metadata) FUZZ_CHECK(md.node_id == -1);
    FUZZ_CHECK(net.weights.has_value() && net.input_weights.has_value());
    check_matrix(*net.weights, net.n_nodes, net.n_nodes);
    check_matrix(*net.input_weights, net.n_nodes, net.n_inputs);
}

// Three samples, whatever the constants (NaN and infinities included).
void run_briefly(const vesk::Network& net) {
    vesk::Simulator sim(&net, 0.1);
    std::size_t samples = 0;
    sim.simulate_stream(0.0, 0.2, std::vector<double>(static_cast<std::size_t>(net.n_nodes), 0.0),
                        [&](double, const std::vector<double>& row) {
                            FUZZ_CHECK(row.size() == static_cast<std::size_t>(net.n_nodes));
                            ++samples;
                        });
    FUZZ_CHECK(samples == 3);
}

struct Outcome {
    bool loaded = false;
    std::string error;  // exception type and message when not loaded
    vesk::Network net;
};

Outcome load(const std::string& path, vesk::ContractReading reading) {
    Outcome outcome;
    try {
        outcome.net.load_from_json(path, reading);
        outcome.loaded = true;
    } catch (const json::exception& e) {
        outcome.error = std::string(typeid(e).name()) + ": " + e.what();
    } catch (const std::runtime_error& e) {
        outcome.error = std::string(typeid(e).name()) + ": " + e.what();
    } catch (const std::invalid_argument& e) {
        outcome.error = std::string(typeid(e).name()) + ": " + e.what();
    }
    return outcome;
}

bool same_bits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

bool same_doubles(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!same_bits(a[i], b[i])) return false;
    }
    return true;
}

bool same_records(const std::vector<vesk::PopulationMetadata>& a,
                  const std::vector<vesk::PopulationMetadata>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto& x = a[i];
        const auto& y = b[i];
        if (x.node_id != y.node_id || x.row_index != y.row_index || x.pop_id != y.pop_id ||
            x.pop_typ != y.pop_typ || x.con_typ != y.con_typ || x.circ_id != y.circ_id ||
            x.h_row != y.h_row || x.d_row != y.d_row || x.mat_id != y.mat_id) {
            return false;
        }
    }
    return true;
}

bool same_matrix(const vesk::SparseMatrix& a, const vesk::SparseMatrix& b) {
    return a.rows == b.rows && a.cols == b.cols && a.row_ptr == b.row_ptr &&
           a.col_idx == b.col_idx && same_doubles(a.values, b.values);
}

void check_same(const vesk::Network& a, const vesk::Network& b) {
    FUZZ_CHECK(a.n_nodes == b.n_nodes && a.n_inputs == b.n_inputs);
    FUZZ_CHECK(same_doubles(a.tau, b.tau));
    FUZZ_CHECK(a.is_excitatory == b.is_excitatory);
    FUZZ_CHECK(same_records(a.node_metadata, b.node_metadata));
    FUZZ_CHECK(same_records(a.input_metadata, b.input_metadata));
    FUZZ_CHECK(a.input_names == b.input_names);
    FUZZ_CHECK(a.input_row_index == b.input_row_index);
    for (auto member : {&vesk::Network::alfa, &vesk::Network::epsilon, &vesk::Network::gamma,
                        &vesk::Network::delta, &vesk::Network::tau_E, &vesk::Network::tau_I,
                        &vesk::Network::theta, &vesk::Network::beta, &vesk::Network::f_max}) {
        FUZZ_CHECK(same_bits(a.*member, b.*member));
    }
    FUZZ_CHECK(same_matrix(*a.weights, *b.weights));
    FUZZ_CHECK(same_matrix(*a.input_weights, *b.input_weights));
}

void check_scan(const std::string& path, const Outcome& load) {
    vesk::FindingLog log;
    vesk::check_contract(path, log);
    bool repeated_key = false;
    for (const auto& f : log.kept()) repeated_key = repeated_key || f.kind == "repeated key";
    if (repeated_key) return;
    const std::string message = load.loaded ? "" : load.error.substr(load.error.find(": ") + 2);
    const bool agrees = load.loaded ? log.errors() == 0 : log.has_error(message);
    if (!agrees) {
        std::fprintf(stderr, "loader: %s\nscan:\n", load.loaded ? "loaded" : message.c_str());
        for (const auto& f : log.kept()) {
            std::fprintf(stderr, "  %s: %s\n", f.place.c_str(), f.message.c_str());
        }
    }
    FUZZ_CHECK(agrees);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const ModelFile file;
    if (has_costly_counts(data, size)) return 0;
    file.replace(data, size);
    const Outcome whole = load(file.path, vesk::ContractReading::whole_document);
    for (const auto& [name, reading] : {std::pair{"streamed", vesk::ContractReading::streamed},
                                        std::pair{"fast", vesk::ContractReading::fast}}) {
        const Outcome other = load(file.path, reading);
        if (other.loaded != whole.loaded || other.error != whole.error) {
            std::fprintf(stderr, "%s: %s\nwhole document: %s\n", name,
                         other.loaded ? "loaded" : other.error.c_str(),
                         whole.loaded ? "loaded" : whole.error.c_str());
        }
        FUZZ_CHECK(other.loaded == whole.loaded);
        FUZZ_CHECK(other.error == whole.error);
        if (other.loaded) check_same(other.net, whole.net);
    }
    // The fast reader alone, with small pieces: whatever it takes must be
    // the same Network.
    vesk::Network pieces;
    if (vesk::read_contract_fast(file.path, pieces, {64})) {
        FUZZ_CHECK(whole.loaded);
        check_same(pieces, whole.net);
    }
    check_scan(file.path, whole);
    if (!whole.loaded) return 0;
    check_network(whole.net);
    run_briefly(whole.net);
    return 0;
}
