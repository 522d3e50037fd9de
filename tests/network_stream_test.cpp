// The streamed and the fast contract readers against the whole-document
// one: every contract here must give the same Network, or the same exception
// with the same text, every way. The fast reader on its own may decline a
// file, but whatever it reads must be that same Network.

#include <sys/stat.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>
#include <typeinfo>

#include "model/contract_fast_reader.hpp"
#include "network_text.hpp"
#include "test_support.hpp"

namespace vesk {
namespace {

// The Network, or the exception's type and text.
std::string outcome(const std::string& path, ContractReading reading) {
    Network net;
    try {
        net.load_from_json(path, reading);
    } catch (const std::exception& e) {
        return std::string("throws ") + typeid(e).name() + ": " + e.what();
    }
    return test::describe(net);
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
        const std::string whole = outcome(path, ContractReading::whole_document);
        EXPECT_EQ(outcome(path, ContractReading::streamed), whole) << "contract: " << text;
        EXPECT_EQ(outcome(path, ContractReading::fast), whole) << "contract: " << text;
        for (const std::size_t piece : {std::size_t{64}, std::size_t{150}, std::size_t{1} << 20}) {
            Network net;
            const bool taken = read_contract_fast(path, net, {piece});
            if (taken) {
                EXPECT_EQ(test::describe(net), whole) << "piece " << piece << ": " << text;
            }
            if (fast_taken && piece > 150) *fast_taken = taken;
        }
        return whole;
    }
};

const std::string head =
    R"("counts": {"n_nodes": 3, "n_inputs": 2},
       "network_parameters": {"sigmoid": {"theta": 1, "beta": 2, "f_max": 3}},
       "nodes": [
         {"node_id": 0, "tau": 1, "pop_id": "a", "pop_typ": "E", "con_typ": "c", "circ_id": "k",
          "h_row": "h", "d_row": "d", "mat_id": "m"},
         {"node_id": 2, "tau": 2, "is_excitatory": false, "pop_id": "b", "pop_typ": "I",
          "con_typ": "c", "circ_id": "k", "h_row": "h", "d_row": "d", "mat_id": "m"}],
       "inputs": [{"input_id": 1, "input_name": "stim"}])";

std::string with_edges(const std::string& edges) {
    return "{" + head + ",\n\"edges\": " + edges + "}";
}

// The fuzzer's contract seeds, the tricky cases among them named for what
// they must do: loads_* load, fails_* fail, and parse_* fail with a syntax
// error, which wins over any bounds or kind error earlier in the text.
TEST_F(StreamedLoad, FuzzSeedsLoadTheSameEveryWay) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(std::string(VESK_SOURCE_DIR) +
                                                                 "/tests/fuzz/corpus/contract")) {
        files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    EXPECT_GE(files.size(), 60u);  // some 30 plain seeds and 32 tricky cases
    for (const auto& file : files) {
        const std::string name = file.filename().string();
        const std::string result = same_both_ways(test::read_file(file.string()));
        const bool loaded = result.rfind("throws", 0) != 0;
        const std::string kind = name.substr(0, name.find('_'));
        if (kind == "loads" || kind == "fails" || kind == "parse") {
            EXPECT_EQ(loaded, kind == "loads") << name << "\n" << result;
        }
        if (kind == "parse") {
            EXPECT_EQ(result.find("bounds"), std::string::npos) << name << "\n" << result;
            EXPECT_EQ(result.find("Unknown"), std::string::npos) << name << "\n" << result;
        }
    }
}

// A pipe reads like a file.
TEST_F(StreamedLoad, ReadsFromAPipe) {
    const std::string edge =
        R"({"source_kind": "node", "source_id": 0, "target_node_id": 1, "weight_final": 1})";
    for (const std::string& text :
         {with_edges("[" + edge + "]"), with_edges("[" + edge + ", {}]"), with_edges("[")}) {
        // The same path both times, since error messages name it.
        const std::string fifo = dir.write("pipe.json", text);
        const std::string reference = outcome(fifo, ContractReading::whole_document);
        std::remove(fifo.c_str());
        for (ContractReading reading : {ContractReading::streamed, ContractReading::fast}) {
            ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
            std::thread writer([&] { std::ofstream(fifo) << text; });
            EXPECT_EQ(outcome(fifo, reading), reference);
            writer.join();
            std::remove(fifo.c_str());
        }
    }
}

// fast path: a contract that silently falls back loads several times slower.
TEST_F(StreamedLoad, FastReaderTakesWellFormedContracts) {
    const std::string edge =
        R"({"source_kind": "node", "source_id": 0, "target_node_id": 1, "weight_final": 1})";
    const std::string input_edge =
        R"({"source_kind": "input", "source_id": 1, "target_node_id": 2, "weight_final": -2.5})";
    const std::string many = [&] {
        std::string list;
        for (int i = 0; i < 40; ++i) list += (i ? ",\n  " : "") + (i % 3 ? edge : input_edge);
        return list;
    }();
    const std::vector<std::string> contracts = {
        with_edges("[]"),
        with_edges(" [ ] "),
        with_edges("[" + many + "]"),
        "\r\n\t {" + head + ",\r\n\"edges\"\t:\n[\n" + many + "\n]\n}\n",
        // Unread keys anywhere, nested arrays of objects among them (a cut
        // after one of their '}' must be rejected), strings with brackets.
        "{\"x\": {\"edges\": [" + edge + "]}, \"y\": [\"edges\", \"edges\"], " + head +
            ", \"edges\": [" + many + "," +
            R"({"n": [{"a": "}, ]"}, {"b": [{}]}], "source_kind": "node", "source_id": 2,
                "target_node_id": 0, "weight_final": 3, "m": {"k": "},"}},)" +
            many + "]}",
        // Numbers as the full reader converts them; ids in any key order.
        with_edges(
            R"([{"weight_final": -0, "target_node_id": 1, "source_id": 2, "source_kind": "node"},
            {"source_kind": "node", "source_id": 2, "target_node_id": 1, "weight_final": -0.0},
            {"source_kind": "node", "source_id": 2, "target_node_id": 1, "weight_final": 1e-400},
            {"source_kind": "node", "source_id": 0, "target_node_id": 1,
             "weight_final": 18446744073709551615},
            {"source_kind": "node", "source_id": 0, "target_node_id": 1,
             "weight_final": -9223372036854775808}])"),
        // Nodes named twice or not at all, inputs in any order.
        "{\"counts\": {\"n_nodes\": 4, \"n_inputs\": 3}," +
            head.substr(head.find("\"network_parameters\"")) + ", \"edges\": [" + edge + "]}",
        // A byte order mark; anything after the first value.
        "\xEF\xBB\xBF{" + head + ", \"edges\": [" + edge + "]}",
        "{" + head + ", \"edges\": [" + edge + "]} {\"edges\": [" + edge + "]} } ]",
    };
    for (const std::string& text : contracts) {
        bool taken = false;
        const std::string result = same_both_ways(text, &taken);
        EXPECT_TRUE(taken) << text;
        EXPECT_NE(result.rfind("throws", 0), 0u) << result;
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
        do {
            const std::uint64_t bits = rng();
            std::memcpy(&d, &bits, sizeof d);
        } while (!std::isfinite(d));
        return d;
    };
    const auto format = [](const char* pattern, auto v) {
        char text[128];
        std::snprintf(text, sizeof text, pattern, v);
        return std::string(text);
    };
    std::vector<std::string> numbers = {"0",
                                        "-0",
                                        "-0.0",
                                        "0e5",
                                        "1E+2",
                                        "1e-400",
                                        "5e-324",
                                        "2.4703282292062327e-324",
                                        "2.4703282292062328e-324",
                                        "1.7976931348623157e308",
                                        "9223372036854775807",
                                        "-9223372036854775808",
                                        "9223372036854775808",
                                        "18446744073709551615"};
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
        const std::uint64_t sub_bits = rng() >> 12;
        double sub;
        std::memcpy(&sub, &sub_bits, sizeof sub);
        numbers.push_back(format("%.17g", sub));
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

// The example model and a generated network: the fast reader takes them,
// with any piece size, and builds the full reader's Network.
TEST_F(StreamedLoad, FastReaderTakesExportedContracts) {
    const std::string generated = dir.file("generated.json");
    const test::CliResult made = test::run_program(
        VESK_MAKE_CONTRACT_PATH,
        {"--nodes", "300", "--degree", "7", "--inputs", "3", "--seed", "5", "--out", generated});
    ASSERT_EQ(made.status, 0) << made.err;
    for (const std::string& path :
         {generated, std::string(VESK_SOURCE_DIR) + "/data/kaldo_contract.json"}) {
        const std::string whole = outcome(path, ContractReading::whole_document);
        for (const std::size_t piece : {std::size_t{64}, std::size_t{4096}, std::size_t{1} << 20}) {
            Network net;
            ASSERT_TRUE(read_contract_fast(path, net, {piece})) << path << ", piece " << piece;
            EXPECT_EQ(test::describe(net), whole) << path << ", piece " << piece;
        }
    }
}

}  // namespace
}  // namespace vesk
