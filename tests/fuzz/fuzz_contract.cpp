// Fuzz target of the contract loader: the input bytes are the model file.
// A load ends either with a Network, or with std::runtime_error / the JSON
// library's exceptions. The walker's (streamed) and the fast reading must
// agree exactly: the same Network, or the same exception with the same
// message. A loaded network must also run: a few samples are simulated on
// it, which (under the sanitizers) also checks that its sizes and indices fit
// together. vesk-check's check of the same bytes must agree with the loader: no error for a
// model that loads, and for one that does not the loader's own message as the error vesk-sim stops
// with.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "../network_text.hpp"
#include "contract/check_sink.hpp"
#include "contract/contract_fast_reader.hpp"
#include "contract/load_network.hpp"
#include "fuzz_check.hpp"
#include "model/network.hpp"
#include "run/memory_budget.hpp"
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

bool loaded(const std::string& outcome) {
    return outcome.rfind("throws ", 0) != 0;
}

void check_scan(const std::string& path, const std::string& load) {
    vesk::FindingLog log;
    const vesk::ContractCheck check = vesk::check_contract(path, log);
    const std::string message = loaded(load) ? "" : load.substr(load.find(": ") + 2);
    const bool agrees = loaded(load) ? !check.stop : check.stop == message;
    if (!agrees) {
        std::fprintf(stderr, "loader: %s\ncheck stops with: %s\n",
                     loaded(load) ? "loaded" : message.c_str(),
                     check.stop ? check.stop->c_str() : "(nothing)");
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
    vesk::Network net;
    const std::string whole =
        vesk::test::load_outcome(file.path, vesk::ContractReading::streamed, &net);
    const std::string fast = vesk::test::load_outcome(file.path, vesk::ContractReading::fast);
    if (fast != whole) {
        std::fprintf(stderr, "fast: %s\nstreamed: %s\n", fast.c_str(), whole.c_str());
    }
    FUZZ_CHECK(fast == whole);
    // The fast reader alone, with small pieces: whatever it takes must be
    // the same Network.
    vesk::Network pieces;
    if (vesk::read_contract_fast(file.path, pieces, [] {
            vesk::FastReadOptions options;
            options.piece_bytes = 64;
            options.size_check = vesk::check_fits_in_memory;
            return options;
        }())) {
        FUZZ_CHECK(vesk::test::describe(pieces) == whole);
    }
    check_scan(file.path, whole);
    if (loaded(whole)) run_briefly(net);
    return 0;
}
