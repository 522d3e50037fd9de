// The fast contract reader against the streamed one: every contract here
// must give the same Network, or the same exception with the same text,
// both ways. The fast reader on its own may decline a file, but whatever it
// reads must be that same Network. (Pipes, which only the streamed reader
// takes: the read_once rows of check_test.cpp.)

#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <random>
#include <sstream>

#include "contract/contract_fast_reader.hpp"
#include "contract/load_network.hpp"
#include "network_text.hpp"
#include "run/memory_budget.hpp"
#include "test_support.hpp"

namespace vesk {
namespace {

FastReadOptions pieces_of(std::size_t bytes) {
    FastReadOptions options;
    options.piece_bytes = bytes;
    options.size_check = check_fits_in_memory;
    return options;
}

const std::string corpus = std::string(VESK_SOURCE_DIR) + "/tests/fuzz/corpus/contract/";

// A seed with two nodes and an input, with `edges` as its edge list.
std::string with_edges(const std::string& edges) {
    const std::string text = test::read_file(corpus + "loads_no_edges.json");
    return text.substr(0, text.rfind('}')) + ",\n\"edges\": " + edges + "}";
}

class StreamedLoad : public ::testing::Test {
  protected:
    test::TempDir dir;

    // Loads `text` every way, expects the same outcome and returns it. The
    // fast reader also runs alone with small pieces, which puts cuts
    // between most elements; it returns whether that reader took the file
    // with its usual piece size.
    std::string same_both_ways(const std::string& text, bool* fast_taken = nullptr) {
        const std::string path = dir.write("contract.json", text);
        const std::string whole = test::load_outcome(path, ContractReading::streamed);
        EXPECT_EQ(test::load_outcome(path, ContractReading::fast), whole) << "contract: " << text;
        for (const std::size_t piece : {std::size_t{64}, std::size_t{150}, std::size_t{1} << 20}) {
            Network net;
            const bool taken = read_contract_fast(path, net, pieces_of(piece));
            if (taken) {
                EXPECT_EQ(test::describe(net), whole) << "piece " << piece << ": " << text;
            }
            if (fast_taken && piece > 150) *fast_taken = taken;
        }
        return whole;
    }
};

// The fuzzer's contract seeds and the example model, the tricky seeds named
// for what they must do: loads_* load, takes_* load through the fast reader
// (a contract that silently falls back loads several times slower), fails_*
// fail, and parse_* fail with a syntax error, which wins over any bounds or
// kind error earlier in the text.
TEST_F(StreamedLoad, FuzzSeedsLoadTheSameEveryWay) {
    std::vector<std::filesystem::path> files = {std::string(VESK_SOURCE_DIR) +
                                                "/data/kaldo_contract.json"};
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    EXPECT_GE(files.size(), 70u);  // some 30 plain seeds and 40 tricky cases
    for (const auto& file : files) {
        const std::string name = file.filename().string();
        bool taken = false;
        const std::string result = same_both_ways(test::read_file(file.string()), &taken);
        const bool loaded = result.rfind("throws", 0) != 0;
        const std::string kind =
            name == "kaldo_contract.json" ? "takes" : name.substr(0, name.find('_'));
        if (kind == "loads" || kind == "takes" || kind == "fails" || kind == "parse") {
            EXPECT_EQ(loaded, kind == "loads" || kind == "takes") << name << "\n" << result;
            EXPECT_TRUE(taken || kind != "takes") << name;
        }
        if (kind == "parse") {
            EXPECT_EQ(result.find("bounds"), std::string::npos) << name << "\n" << result;
            EXPECT_EQ(result.find("Unknown"), std::string::npos) << name << "\n" << result;
        }
    }
}

// The fast reader's numbers against the full reader's, bit for bit: random
// doubles at full precision, exact midpoints between neighbouring doubles
// and numbers just beside them, long mantissas, subnormals, and integers at
// the limits of 64 bits.
TEST_F(StreamedLoad, FastReaderReadsNumbersAsTheFullReader) {
    std::mt19937_64 rng(12);
    const auto random_double = [&rng] {
        double d;
        do d = std::bit_cast<double>(rng());
        while (!std::isfinite(d));
        return d;
    };
    const auto format = [](const char* pattern, auto v) {
        char text[128];
        std::snprintf(text, sizeof text, pattern, v);
        return std::string(text);
    };
    std::istringstream curated(
        "0 -0 -0.0 0e5 1E+2 1e-400 5e-324 2.4703282292062327e-324 2.4703282292062328e-324 "
        "1.7976931348623157e308 9223372036854775807 -9223372036854775808 9223372036854775808 "
        "18446744073709551615");
    std::vector<std::string> numbers{std::istream_iterator<std::string>(curated), {}};
    for (int i = 0; i < 600; ++i) {
        const double d = random_double();
        numbers.push_back(format("%.17g", d));
        numbers.push_back(format("%.6g", d));
        // The midpoint towards the next double up, exactly and one unit
        // in its last printed digit either side.
        const double up = std::nextafter(d, INFINITY);
        if (!std::isfinite(up)) continue;
        const long double mid = (static_cast<long double>(d) + up) / 2;
        std::string exact = format("%.60Le", mid);
        numbers.push_back(exact);
        const std::size_t e = exact.find('e');
        for (const char last : {'1', '9'}) {
            std::string beside = exact;
            beside[e - 1] = last;
            numbers.push_back(beside);
        }
        numbers.push_back(format("%" PRId64, static_cast<std::int64_t>(rng())));
        // Subnormals, and long mantissas with a random exponent.
        numbers.push_back(format("%.17g", std::bit_cast<double>(rng() >> 12)));
        std::string digits = std::to_string(rng()) + std::to_string(rng());
        numbers.push_back(digits.substr(0, 1) + "." + digits.substr(1) + "e" +
                          std::to_string(static_cast<int>(rng() % 600) - 320));
    }
    std::string edges = "[";
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        edges += (i ? ",\n" : "") +
                 std::string(R"({"source_kind": "node", "source_id": 0, "target_node_id": 1, )") +
                 "\"weight_final\": " + numbers[i] + "}";
    }
    bool taken = false;
    const std::string result = same_both_ways(with_edges(edges + "]"), &taken);
    EXPECT_TRUE(taken);
    EXPECT_NE(result.rfind("throws", 0), 0u) << result.substr(0, 300);
}

}  // namespace
}  // namespace vesk
