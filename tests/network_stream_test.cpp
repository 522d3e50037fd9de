// The streamed contract reader against the whole-document one: every
// contract here must give the same Network, or the same exception with the
// same text, both ways.

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>
#include <typeinfo>

#include "model/network.hpp"
#include "test_support.hpp"

namespace vesk {
namespace {

void put_double(std::ostringstream& out, double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    out << std::hex << bits << std::dec << ' ';
}

void put_metadata(std::ostringstream& out, const PopulationMetadata& m) {
    out << m.node_id << '|' << m.row_index << '|' << m.pop_id << '|' << m.pop_typ << '|'
        << m.con_typ << '|' << m.circ_id << '|' << m.h_row << '|' << m.d_row << '|' << m.mat_id
        << '\n';
}

void put_matrix(std::ostringstream& out, const std::optional<SparseMatrix>& m) {
    if (!m) {
        out << "absent\n";
        return;
    }
    out << m->rows << 'x' << m->cols << " rows:";
    for (auto p : m->row_ptr) out << ' ' << p;
    out << " cols:";
    for (auto c : m->col_idx) out << ' ' << c;
    out << " values: ";
    for (double v : m->values) put_double(out, v);
    out << '\n';
}

// Everything a load fills in, as text (doubles by their bits).
std::string describe(const Network& net) {
    std::ostringstream out;
    out << net.n_nodes << ' ' << net.n_inputs << '\n';
    for (double v : {net.alfa, net.epsilon, net.gamma, net.delta, net.tau_E, net.tau_I, net.theta,
                     net.beta, net.f_max}) {
        put_double(out, v);
    }
    out << "\ntau: ";
    for (double v : net.tau) put_double(out, v);
    out << "\nexcitatory:";
    for (bool e : net.is_excitatory) out << ' ' << e;
    out << '\n';
    for (const auto& m : net.node_metadata) put_metadata(out, m);
    for (const auto& m : net.input_metadata) put_metadata(out, m);
    for (std::size_t i = 0; i < net.input_names.size(); ++i) {
        out << net.input_names[i] << '@' << net.input_row_index[i] << '\n';
    }
    put_matrix(out, net.weights);
    put_matrix(out, net.input_weights);
    return out.str();
}

// The Network, or the exception's type and text.
std::string outcome(const std::string& path, ContractReading reading) {
    Network net;
    try {
        net.load_from_json(path, reading);
    } catch (const std::exception& e) {
        return std::string("throws ") + typeid(e).name() + ": " + e.what();
    }
    return describe(net);
}

class StreamedLoad : public ::testing::Test {
protected:
    test::TempDir dir;

    // Loads `text` both ways, expects the same outcome and returns it.
    std::string same_both_ways(const std::string& text) {
        const std::string path = dir.write("contract.json", text);
        const std::string whole = outcome(path, ContractReading::whole_document);
        const std::string streamed = outcome(path, ContractReading::streamed);
        EXPECT_EQ(streamed, whole) << "contract: " << text;
        return streamed;
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

TEST_F(StreamedLoad, WellFormedEdgesInAnyForm) {
    const std::vector<std::string> edge_lists = {
        "[]",
        R"([{"source_kind": "node", "source_id": 0, "target_node_id": 2, "weight_final": 0.5}])",
        // Key order, integer and negative weights, duplicates of one pair in
        // an order the matrix must keep.
        R"([{"weight_final": -1, "target_node_id": 1, "source_id": 2, "source_kind": "node"},
            {"source_kind": "input", "source_id": 1, "target_node_id": 0, "weight_final": 7},
            {"source_kind": "node", "source_id": 2, "target_node_id": 1, "weight_final": -0.0},
            {"source_kind": "node", "source_id": 2, "target_node_id": 1, "weight_final": 1e-400},
            {"source_kind": "node", "source_id": -0, "target_node_id": 1,
             "weight_final": 18446744073709551615},
            {"source_kind": "node", "source_id": 0, "target_node_id": 1,
             "weight_final": -9223372036854775808}])",
        // Keys the loader does not read, scalar or nested, even when they
        // hold edge-like keys themselves.
        R"([{"note": {"source_kind": "bogus", "x": [1, [2, {"a": null}]]}, "source_kind": "node",
             "source_id": 1, "extra": [], "target_node_id": 0, "weight_final": 2.5, "z": "q"},
            {"source_kind": "input", "source_id": 1, "target_node_id": 2, "weight_final": 3,
             "more": {}}])",
        // Escapes that spell the same keys and kinds.
        R"([{"source\u005fkind": "no\u0064e", "source_id": 1, "target_node_id": 0,
            "weight_final": 1}])",
        // Duplicate keys: the later value wins, good or bad before it.
        R"([{"source_kind": "input", "source_kind": "node", "source_id": 1, "source_id": 2,
             "target_node_id": 0, "weight_final": true, "weight_final": 4}])",
        R"([{"source_kind": "bogus", "source_kind": "node", "source_id": 1.5, "source_id": 2,
             "target_node_id": 0, "weight_final": 4}])",
        // Elements that take the slow road mixed with plain ones; the node
        // matrix must keep the order of the (0, 1) duplicates.
        R"([{"source_kind": "node", "source_id": 1, "target_node_id": 0, "weight_final": 1},
            {"source_kind": "node", "source_id": 1.9, "target_node_id": 0, "weight_final": 2},
            {"source_kind": "input", "source_id": true, "target_node_id": 2, "weight_final": 3},
            {"source_kind": "node", "source_id": 1, "target_node_id": 0.2, "weight_final": 4},
            {"source_kind": "node", "source_id": 1, "target_node_id": 0, "weight_final": 5}])",
        // An object's members are its edges, in key order.
        R"({"b": {"source_kind": "node", "source_id": 1, "target_node_id": 0, "weight_final": 1},
            "a": {"source_kind": "node", "source_id": 1, "target_node_id": 0, "weight_final": 2}})",
        "null",
    };
    for (const auto& edges : edge_lists) {
        const std::string result = same_both_ways(with_edges(edges));
        EXPECT_EQ(result.rfind("throws", 0), std::string::npos) << result;
    }
    EXPECT_EQ(same_both_ways("{" + head + "}").rfind("throws", 0), std::string::npos);
}

TEST_F(StreamedLoad, BadEdgesFailAsInTheDocument) {
    const std::string good =
        R"({"source_kind": "node", "source_id": 0, "target_node_id": 1, "weight_final": 1})";
    const std::vector<std::string> bad_edges = {
        // Missing keys, each one.
        R"({"source_id": 0, "target_node_id": 1, "weight_final": 1})",
        R"({"source_kind": "node", "target_node_id": 1, "weight_final": 1})",
        R"({"source_kind": "node", "source_id": 0, "weight_final": 1})",
        R"({"source_kind": "bogus", "source_id": 0, "target_node_id": 1})",
        "{}",
        // Wrong types.
        R"({"source_kind": 1, "source_id": 0, "target_node_id": 1, "weight_final": 1})",
        R"({"source_kind": null, "source_id": 0, "target_node_id": 1, "weight_final": 1})",
        R"({"source_kind": ["node"], "source_id": 0, "target_node_id": 1, "weight_final": 1})",
        R"({"source_kind": {"k": "node"}, "source_id": 0, "target_node_id": 1, "weight_final": 1})",
        R"({"source_kind": "node", "source_id": "0", "target_node_id": 1, "weight_final": 1})",
        R"({"source_kind": "node", "source_id": null, "target_node_id": 1, "weight_final": 1})",
        R"({"source_kind": "node", "source_id": 0, "target_node_id": [1], "weight_final": 1})",
        R"({"source_kind": "node", "source_id": 0, "target_node_id": 1, "weight_final": false})",
        R"({"source_kind": "node", "source_id": 0, "target_node_id": 1, "weight_final": "1"})",
        R"({"source_kind": "node", "source_id": 0, "target_node_id": 1, "weight_final": null})",
        R"({"source_kind": "node", "source_id": 0, "target_node_id": 1, "weight_final": {}})",
        // Numbers that do not fit 32 bits.
        R"({"source_kind": "node", "source_id": 2147483648, "target_node_id": 1,
            "weight_final": 1})",
        R"({"source_kind": "node", "source_id": 0, "target_node_id": -2147483649,
            "weight_final": 1})",
        R"({"source_kind": "node", "source_id": 1e10, "target_node_id": 1, "weight_final": 1})",
        R"({"source_kind": "node", "source_id": 2147483648.0, "target_node_id": 1,
            "weight_final": 1})",
        R"({"source_kind": "node", "source_id": 0, "target_node_id": -2147483649.0,
            "weight_final": 1})",
        // Fractions just inside the range: truncated, then out of bounds.
        R"({"source_kind": "node", "source_id": 2147483647.5, "target_node_id": 1,
            "weight_final": 1})",
        R"({"source_kind": "node", "source_id": 0, "target_node_id": -2147483648.5,
            "weight_final": 1})",
        R"({"source_kind": "node", "source_id": 0, "target_node_id": 4294967298,
            "weight_final": 1})",
        // Out of range, in the order target, then source.
        R"({"source_kind": "bogus", "source_id": 0, "target_node_id": 3, "weight_final": 1})",
        R"({"source_kind": "node", "source_id": 9, "target_node_id": -1, "weight_final": 1})",
        R"({"source_kind": "node", "source_id": 3, "target_node_id": 0, "weight_final": 1})",
        R"({"source_kind": "node", "source_id": -2147483648, "target_node_id": 0,
            "weight_final": 1})",
        R"({"source_kind": "input", "source_id": 2, "target_node_id": 0, "weight_final": 1})",
        R"({"source_kind": "input", "source_id": -1, "target_node_id": 0, "weight_final": 1})",
        // Unknown kinds.
        R"({"source_kind": "Node", "source_id": 0, "target_node_id": 1, "weight_final": 1})",
        R"({"source_kind": " node", "source_id": 0, "target_node_id": 1, "weight_final": 1})",
        R"({"source_kind": "", "source_id": 0, "target_node_id": 1, "weight_final": 1})",
        // Elements that are no objects.
        "null",
        "5",
        "\"edge\"",
        "true",
        "[]",
        "[1, [2, 3]]",
        R"([{"source_kind": "node", "source_id": 0, "target_node_id": 1, "weight_final": 1}])",
    };
    for (const auto& bad : bad_edges) {
        const std::string alone = same_both_ways(with_edges("[" + bad + "]"));
        EXPECT_EQ(alone.rfind("throws", 0), 0u) << bad;
        same_both_ways(with_edges("[" + good + ", " + bad + ", " + good + "]"));
        // The first bad element is the one reported.
        same_both_ways(with_edges(
            "[" + bad + ", " + good +
            R"(, {"source_kind": "x", "source_id": 0, "target_node_id": 1, "weight_final": 1}])"));
    }
    // Edges as a scalar count as one element.
    for (const char* scalar : {"5", "\"x\"", "true", "{\"a\": 1}"}) {
        EXPECT_EQ(same_both_ways(with_edges(scalar)).rfind("throws", 0), 0u) << scalar;
    }
}

TEST_F(StreamedLoad, WhereAndHowOftenEdgesAppear) {
    const std::string edge =
        R"({"source_kind": "node", "source_id": 0, "target_node_id": 1, "weight_final": 1})";
    const std::string bad =
        R"({"source_kind": "node", "source_id": 0, "target_node_id": 5, "weight_final": 1})";
    const std::vector<std::string> docs = {
        // Edges before the sizes they are checked against.
        "{\"edges\": [" + edge + "], " + head + "}",
        "{\"edges\": [" + bad + "], " + head + "}",
        // Twice: the later value wins, whatever the two are.
        "{\"edges\": [" + bad + "], " + head + ", \"edges\": [" + edge + "]}",
        "{\"edges\": [" + edge + "], " + head + ", \"edges\": [" + bad + "]}",
        "{\"edges\": [" + bad + "], " + head + ", \"edges\": null}",
        "{\"edges\": null, " + head + ", \"edges\": [" + bad + "]}",
        "{\"edges\": [" + edge + "], " + head + ", \"edges\": {\"a\": " + bad + "}}",
        "{\"edges\": {\"a\": " + bad + "}, " + head + ", \"edges\": [" + edge + "]}",
        "{\"edges\": [" + edge + "], " + head + ", \"edges\": 7}",
        "{\"edges\": [], \"edges\": [" + bad + "], " + head + ", \"edges\": []}",
        "{\"\\u0065dges\": [" + bad + "], " + head + "}",
        // "edges" below the top level is no edge list.
        "{" + head + ", \"x\": {\"edges\": [" + bad + "]}, \"edges\": [" + edge + "]}",
        "{\"counts\": {\"edges\": [" + bad + "], \"n_nodes\": 3, \"n_inputs\": 2}," +
            head.substr(head.find("\"network_parameters\"")) + "}",
        "[{\"edges\": [" + edge + "]}]",
        "[" + edge + "]",
        "{\"edges\": [" + edge + "]}",
        // Errors before the edges are reported first.
        "{\"edges\": [" + bad + "], " + head + ", \"nodes\": [{\"node_id\": 7}]}",
        "{\"edges\": [" + bad + "], " + head + ", \"counts\": {\"n_nodes\": -1, \"n_inputs\": 0}}",
        // Only the first value counts; what follows is not read.
        "{" + head + ", \"edges\": [" + edge + "]} {\"edges\": [" + bad + "]} // x",
        "{" + head + ", \"edges\": [" + edge + "]}]]]",
        "\xEF\xBB\xBF{" + head + ", \"edges\": [" + edge + "]}",
    };
    for (const auto& doc : docs) same_both_ways(doc);
}

TEST_F(StreamedLoad, ParseErrorsWinOverEverythingElse) {
    const std::string bad =
        R"({"source_kind": "x", "source_id": 0, "target_node_id": 5, "weight_final": 1})";
    const std::vector<std::string> docs = {
        "",
        "   \n ",
        "{" + head + ", \"edges\": [" + bad + "]",
        "{" + head + ", \"edges\": [" + bad + ", ]}",
        "{\"edges\": [" + bad + "], " + head + ", }",
        "{\"edges\": [" + bad + "] " + head + "}",
        "{" + head + ", \"edges\": [" + bad + ", /* note */ " + bad + "]}",
        "{" + head + ", \"edges\": [" + bad + ", {\"source_kind\": tru}]}",
        "{" + head + ", \"edges\": [" + bad + ", {\"weight_final\": 1e400}]}",
        "{" + head + ", \"edges\": [{\"weight_final\": -1e400}], \"counts\": null}",
        "{\"edges\": [" + bad + "], " + head + ", \"x\": 1e999}",
        "{" + head + ", \"edges\": [{\"source_kind\": \"node\\x\"}]}",
        "{" + head + ", \"edges\": [{\"source_kind\": \"node\", \"source_id\": 01}]}",
        "{" + head + ", \"edges\": [[[[[[]]]]]}",
    };
    for (const auto& doc : docs) {
        const std::string result = same_both_ways(doc);
        EXPECT_EQ(result.rfind("throws", 0), 0u) << doc;
        EXPECT_EQ(result.find("bounds"), std::string::npos) << result;
        EXPECT_EQ(result.find("Unknown"), std::string::npos) << result;
    }
}

// Texts of every JSON form placed where they change the result (a node's
// metadata, an edge's weight) or not (an unknown key).
TEST_F(StreamedLoad, EveryFormOfJsonText) {
    const std::vector<std::string> strings = {
        "\"plain\"",
        "\"\"",
        "\"h\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xEF\xBF\xBF \xF4\x8F\xBF\xBF\"",
        "\"\xC0\x80\"",
        "\"\xED\xA0\x80\"",
        "\"\xF4\x90\x80\x80\"",
        "\"\x80\"",
        "\"\xC3\"",
        "\"\xE2\x82\"",
        "\"\xF5\x80\x80\x80\"",
        "\"\xFF\"",
        "\"a\\\"b\"",
        "\"a\\\\b\"",
        "\"\\u00e9\"",
        "\"\\ud83d\\ude00\"",
        "\"\\ud83d\"",
        "\"\\/\\b\\f\\n\\r\\t\"",
        "\"\\x\"",
        "\"tab\there\"",
        "\"nl\nhere\"",
        "\"del\x7F\"",
        "\"unterminated",
    };
    const std::vector<std::string> numbers = {
        "0",
        "-0",
        "7",
        "-7",
        "1.0",
        "-0.0",
        "1e5",
        "1E+5",
        "1e-5",
        "-1.5e-3",
        "0.1e1",
        "4.9e-324",
        "2.2250738585072011e-308",
        "1e-400",
        "1.7976931348623157e308",
        "1.8e308",
        "-1e999",
        "18446744073709551615",
        "18446744073709551616",
        "-9223372036854775808",
        "-9223372036854775809",
        "123456789012345678901234567890",
        "01",
        "-01",
        "-",
        "1.",
        ".5",
        "+1",
        "1e",
        "1e+",
        "--1",
        "0x10",
        "NaN",
        "Infinity",
        "1.5.2",
        "2abc",
    };
    const std::vector<std::string> others = {
        "true",
        "false",
        "null",
        "tru",
        "nul",
        "True",
        "nulll",
        "[]",
        "{}",
        "[1, 2]",
        "[1, 2,]",
        "[,]",
        "{,}",
        "{\"a\" 1}",
        "{\"a\":: 1}",
        "{\"a\": 1,}",
        "{1: 2}",
        "[[[[[[[[[[]]]]]]]]]]",
        "[\"\xC3\xA9\", {\"\xE2\x82\xAC\": [null]}]",
        "'x'",
        "",
    };
    const std::string node1 =
        R"({"node_id": 1, "tau": 1, "pop_typ": "E", "con_typ": "c", "circ_id": "k",
            "h_row": "h", "d_row": "d", "mat_id": "m", "pop_id": )";
    const auto contract = [&](const std::string& pop_id, const std::string& weight,
                              const std::string& unknown) {
        return "{\"counts\": {\"n_nodes\": 2, \"n_inputs\": 0},\n"
               "\"network_parameters\": {\"sigmoid\": {\"theta\": 1, \"beta\": 2, \"f_max\": 3}},\n"
               "\"unknown\": " +
               unknown +
               ",\n"
               "\"nodes\": [" +
               node1 + pop_id +
               "}], \"inputs\": [],\n"
               "\"edges\": [{\"source_kind\": \"node\", \"source_id\": 0, \"target_node_id\": 1, "
               "\"weight_final\": " +
               weight + ", \"note\": " + unknown + "}]}";
    };
    for (const auto& text : strings) {
        same_both_ways(contract(text, "1", "0"));
        same_both_ways(contract("\"p\"", text, "0"));
        same_both_ways(contract("\"p\"", "1", text));
    }
    for (const auto& text : numbers) {
        same_both_ways(contract(text, "1", "0"));
        same_both_ways(contract("\"p\"", text, "0"));
        same_both_ways(contract("\"p\"", "1", text));
    }
    for (const auto& text : others) {
        same_both_ways(contract("\"p\"", text, "0"));
        same_both_ways(contract("\"p\"", "1", text));
    }
    // Whitespace of every kind, and characters that are none.
    const std::string plain = contract("\"p\"", "1", "0");
    for (const char* space : {" \t\r\n ", "\f", "\v", "\xC2\xA0"}) {
        std::string spaced;
        for (char c : plain) {
            spaced += c;
            if (c == ',' || c == ':' || c == '[' || c == '{') spaced += space;
        }
        same_both_ways(spaced);
        same_both_ways(space + plain);
    }
}

// Bytes of a valid contract replaced, inserted or removed at random: most
// variants are malformed somewhere, and the first error must be the
// library's own, wherever it lies.
TEST_F(StreamedLoad, DamagedTextFailsAsInTheDocument) {
    const std::string valid = with_edges(
        "[{\"source_kind\": \"node\", \"source_id\": 0, \"target_node_id\": 2, \"weight_final\": "
        "-0.5,\n"
        "  \"x\": [true, null, \"\xC3\xA9\xE2\x82\xAC\"]},\n"
        " {\"source_kind\": \"input\", \"source_id\": 1, \"target_node_id\": 1, \"weight_final\": "
        "2e3}]");
    const std::string alphabet = "{}[]:,\"\\ 0123456789.eE+-tfnlu\n\t/*\xC3\xA9\x80";
    std::mt19937 rng(77);
    std::uniform_int_distribution<std::size_t> where(0, valid.size() - 1);
    std::uniform_int_distribution<std::size_t> what(0, alphabet.size() - 1);
    for (int i = 0; i < 1000 && !HasFailure(); ++i) {
        std::string text = valid;
        const int changes = 1 + static_cast<int>(rng() % 3);
        for (int k = 0; k < changes; ++k) {
            const std::size_t at = where(rng) % text.size();
            switch (rng() % 3) {
                case 0:
                    text[at] = alphabet[what(rng)];
                    break;
                case 1:
                    text.insert(at, 1, alphabet[what(rng)]);
                    break;
                default:
                    text.erase(at, 1);
                    break;
            }
        }
        same_both_ways(text);
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
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        std::thread writer([&] { std::ofstream(fifo) << text; });
        EXPECT_EQ(outcome(fifo, ContractReading::streamed), reference);
        writer.join();
        std::remove(fifo.c_str());
    }
}

// Random contracts assembled from good and bad pieces, in random order and
// with random repetitions: a broad net for differences the cases above miss.
TEST_F(StreamedLoad, RandomContractsLoadTheSameBothWays) {
    std::mt19937 rng(2024);
    const auto pick = [&rng](const std::vector<std::string>& options) {
        return options[std::uniform_int_distribution<std::size_t>(0, options.size() - 1)(rng)];
    };
    const std::vector<std::string> kinds = {"\"node\"",  "\"node\"", "\"node\"", "\"input\"",
                                            "\"input\"", "\"Node\"", "null",     "3"};
    const std::vector<std::string> ids = {"0", "1",   "2",    "1",     "0",          "2",  "-1",
                                          "3", "2.7", "true", "\"1\"", "2147483648", "-0", "1e2"};
    const std::vector<std::string> weights = {
        "0.25", "-1.5", "3", "-4", "1e-3", "0", "false", "null", "[1]", "123456789012345678901"};
    const std::vector<std::string> extras = {"",
                                             "\"x\": 1, ",
                                             "\"x\": {\"source_id\": 9}, ",
                                             "\"y\": [[], {}], ",
                                             "\"source_id\": 1, ",
                                             "\"weight_final\": true, "};
    const std::vector<std::string> others = {"5",     "null", "[]", "[{\"source_kind\": \"node\"}]",
                                             "\"e\"", "{}"};
    for (int doc_index = 0; doc_index < 400; ++doc_index) {
        const auto edges = [&] {
            std::string list = "[";
            const int n = std::uniform_int_distribution<int>(0, 12)(rng);
            for (int i = 0; i < n; ++i) {
                if (i) list += ", ";
                if (rng() % 25 == 0) {
                    list += pick(others);
                    continue;
                }
                // Mostly valid fields; each key present with high odds.
                std::vector<std::string> fields;
                const auto field = [&](const char* key, const std::string& value) {
                    if (rng() % 30 != 0) fields.push_back(std::string("\"") + key + "\": " + value);
                };
                field("source_kind",
                      rng() % 6 ? (rng() % 2 ? "\"node\"" : "\"input\"") : pick(kinds));
                field("source_id", rng() % 6 ? std::to_string(rng() % 2) : pick(ids));
                field("target_node_id", rng() % 6 ? std::to_string(rng() % 3) : pick(ids));
                field("weight_final", rng() % 6 ? "0.5" : pick(weights));
                std::shuffle(fields.begin(), fields.end(), rng);
                list.append("{").append(pick(extras));
                for (std::size_t f = 0; f < fields.size(); ++f) {
                    list.append(f ? ", " : "").append(fields[f]);
                }
                list += "}";
            }
            return list + "]";
        };
        std::vector<std::string> members = {"\"counts\": {\"n_nodes\": 3, \"n_inputs\": 2}",
                                            head.substr(head.find("\"network_parameters\"")),
                                            "\"edges\": " + edges()};
        if (rng() % 4 == 0) members.push_back("\"edges\": " + (rng() % 3 ? edges() : pick(others)));
        if (rng() % 10 == 0) members.push_back("\"extra\": {\"edges\": " + edges() + "}");
        std::shuffle(members.begin(), members.end(), rng);
        std::string doc = "{";
        for (std::size_t m = 0; m < members.size(); ++m)
            doc.append(m ? ",\n" : "").append(members[m]);
        doc += "}";
        if (rng() % 20 == 0) doc.resize(doc.size() - 1 - rng() % 10);  // truncated: a parse error
        same_both_ways(doc);
        if (HasFailure()) break;
    }
}

}  // namespace
}  // namespace vesk
