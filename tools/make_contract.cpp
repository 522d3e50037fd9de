// make_contract: writes simulation contracts for vesk-sim.
//
// Two kinds of output:
//  - random networks of any size (--nodes/--degree/--inputs/--seed), for
//    tests and benchmarks; the edges are streamed one by one, so millions of
//    them need neither a JSON document in memory nor an edge list;
//  - the structured example model (--example) shipped as
//    data/kaldo_contract.json: word assemblies, word-class gates, structure
//    assemblies with their gates, and a word-by-structure binding memory,
//    with one input channel per population of the command table and one per
//    word.
//
// The output depends only on the options: the random stream is
// std::mt19937_64 (its sequence is fixed by the C++ standard) mapped to
// ranges by our own code, weights are whole multiples of a fixed quantum, and
// every number is printed as the shortest text that reads back to it.

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "contract/contract_writer.hpp"
#include "stimulus/population_names.hpp"

namespace {

constexpr const char* usage_text =
    "Usage: make_contract [--nodes N] [--degree D] [--inputs M] [--seed S] --out FILE\n"
    "       make_contract --example [--seed S] --out FILE\n"
    "\n"
    "Writes a simulation contract (JSON) for vesk-sim.\n"
    "\n"
    "  --nodes N    number of nodes, at least 1 (default 1000)\n"
    "  --degree D   incoming node-to-node edges of every node, from D distinct other\n"
    "               nodes; at most N - 1 (default 10)\n"
    "  --inputs M   number of input channels \"in_0\" ... ; each drives min(N, 10)\n"
    "               nodes (default 4)\n"
    "  --seed S     seed of the generator, 0 ... 2^64 - 1 (default 1); the same\n"
    "               options give the same bytes on every machine\n"
    "  --out FILE   file to write (required)\n"
    "  --example    write the structured example model instead; --nodes, --degree\n"
    "               and --inputs are then ignored, --seed jitters its weights\n"
    "  --help       show this text\n";

class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------------------
// Random numbers with a machine-independent mapping.

class Rng {
  public:
    explicit Rng(std::uint64_t seed) : engine_(seed) {}

    // Uniform in [0, n), n > 0, without modulo bias.
    std::uint64_t below(std::uint64_t n) {
        const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
        const std::uint64_t limit = max - max % n;  // [0, limit) holds whole copies of [0, n)
        std::uint64_t r = engine_();
        while (r >= limit) r = engine_();
        return r % n;
    }

    // Uniform in [lo, hi], lo <= hi.
    std::int64_t between(std::int64_t lo, std::int64_t hi) {
        return lo + static_cast<std::int64_t>(below(static_cast<std::uint64_t>(hi - lo) + 1));
    }

    // Uniform in [0, 1) on the 2^-53 grid.
    double unit() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }

  private:
    std::mt19937_64 engine_;
};

// ---------------------------------------------------------------------------
// Options.

struct Options {
    std::uint64_t nodes = 1000;
    std::uint64_t degree = 10;
    std::uint64_t inputs = 4;
    std::uint64_t seed = 1;
    std::string out;
    bool example = false;
    bool help = false;
};

std::uint64_t parse_count(const std::string& option, const std::string& text, std::uint64_t max) {
    std::uint64_t value = 0;
    const char* first = text.data();
    const char* last = first + text.size();
    const auto [ptr, ec] = std::from_chars(first, last, value);
    if (text.empty() || ec == std::errc::invalid_argument || ptr != last) {
        throw UsageError(option + " expects a non-negative whole number, got '" + text + "'");
    }
    if (ec == std::errc::result_out_of_range || value > max) {
        throw UsageError(option + " value '" + text + "' is too large (at most " +
                         std::to_string(max) + ")");
    }
    return value;
}

Options parse_options(int argc, char** argv) {
    constexpr auto int_max = static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
    Options opt;
    std::map<std::string, bool> seen;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            opt.help = true;
            continue;
        }
        if (arg == "--example") {
            opt.example = true;
            continue;
        }
        const bool takes_value = arg == "--nodes" || arg == "--degree" || arg == "--inputs" ||
                                 arg == "--seed" || arg == "--out";
        if (!takes_value) throw UsageError("unknown option '" + arg + "'");
        if (i + 1 >= argc) throw UsageError(arg + " needs a value");
        if (seen[arg]) throw UsageError(arg + " given more than once");
        seen[arg] = true;
        const std::string value = argv[++i];
        if (arg == "--nodes") {
            opt.nodes = parse_count(arg, value, int_max);
        } else if (arg == "--degree") {
            opt.degree = parse_count(arg, value, int_max);
        } else if (arg == "--inputs") {
            opt.inputs = parse_count(arg, value, int_max);
        } else if (arg == "--seed") {
            opt.seed = parse_count(arg, value, std::numeric_limits<std::uint64_t>::max());
        } else {
            if (value.empty()) throw UsageError("--out needs a file name");
            opt.out = value;
        }
    }
    if (opt.help) return opt;
    if (opt.out.empty()) throw UsageError("--out FILE is required");
    if (!opt.example) {
        if (opt.nodes < 1) throw UsageError("--nodes must be at least 1");
        if (opt.degree > opt.nodes - 1) {
            throw UsageError("--degree " + std::to_string(opt.degree) +
                             " exceeds the number of other nodes (" +
                             std::to_string(opt.nodes - 1) + ")");
        }
    }
    return opt;
}

// ---------------------------------------------------------------------------
// Output: the library's contract writer streams the document entry by entry,
// so that size is limited only by the disk.

class ContractFile {
  public:
    ContractFile(const std::string& path, std::uint64_t n_nodes, std::uint64_t n_inputs)
        : path_(path) {
        out_.open(path, std::ios::binary | std::ios::trunc);
        if (!out_) throw std::runtime_error("cannot open output file '" + path + "'");
        writer_.emplace(out_, static_cast<std::int32_t>(n_nodes),
                        static_cast<std::int32_t>(n_inputs), network_parameters());
    }
    vesk::ContractWriter& operator*() { return *writer_; }
    vesk::ContractWriter* operator->() { return &*writer_; }

    void finish() {
        writer_->finish();
        out_.close();
        if (!out_) throw std::runtime_error("failed writing '" + path_ + "'");
    }

  private:
    // Global constants shared by both kinds of contract. Rates live in
    // [0, f_max]; an instruction window sets an input to 100 and a clamp
    // holds a node at 50, so weights of order 0.1 turn a full-rate source
    // into a drive of the order of theta, and a node needs one strong or two
    // moderate inputs to switch on.
    static vesk::NetworkParameters network_parameters() {
        vesk::NetworkParameters p;
        p.theta = 20.0;
        p.beta = 0.4;
        p.f_max = 100.0;
        p.alfa = p.epsilon = p.gamma = p.delta = 0.1;
        p.tau_E = 2.5;
        p.tau_I = 1.25;
        return p;
    }

    std::string path_;
    std::ofstream out_;
    std::optional<vesk::ContractWriter> writer_;
};

// A node of either kind of contract.
void write_node(vesk::ContractWriter& writer, std::uint64_t node_id, std::int64_t row_index,
                bool excitatory, const std::string& pop_id, const std::string& pop_typ,
                const std::string& circ_id, const std::string& h_row, const std::string& d_row,
                const std::string& mat_id) {
    vesk::PopulationMetadata md;
    md.node_id = static_cast<std::int32_t>(node_id);
    md.row_index = static_cast<std::int32_t>(row_index);
    md.pop_id = pop_id;
    md.pop_typ = pop_typ;
    md.con_typ = excitatory ? "excitation" : "inhibition";
    md.circ_id = circ_id;
    md.h_row = h_row;
    md.d_row = d_row;
    md.mat_id = mat_id;
    // Documentary only: the dynamics use the global tau_E / tau_I.
    writer.node(md, excitatory ? 2.5 : 1.25, excitatory);
}

void write_input(vesk::ContractWriter& writer, std::uint64_t input_id, std::int64_t row_index,
                 const std::string& name, const std::string& circ_id) {
    vesk::PopulationMetadata md;
    md.node_id = -1;
    md.input_id = static_cast<std::int32_t>(input_id);
    md.row_index = static_cast<std::int32_t>(row_index);
    md.pop_id = name;
    md.con_typ = "excitation";
    md.circ_id = circ_id;
    md.h_row = md.d_row = md.mat_id = "null";
    writer.input(md, name);
}

// Draws `count` distinct values of [0, range) into `out` (sorted), using
// `mark` (size >= range, entries never equal to `stamp` beforehand) as the
// membership table; Floyd's method needs exactly `count` draws.
void sample_distinct(Rng& rng, std::uint64_t range, std::uint64_t count,
                     std::vector<std::uint64_t>& mark, std::uint64_t stamp,
                     std::vector<std::uint64_t>& out) {
    out.clear();
    for (std::uint64_t j = range - count; j < range; ++j) {
        std::uint64_t t = rng.below(j + 1);
        if (mark[t] == stamp) t = j;
        mark[t] = stamp;
        out.push_back(t);
    }
    std::sort(out.begin(), out.end());
}

// ---------------------------------------------------------------------------
// Random contracts.

struct Summary {
    std::uint64_t nodes = 0;
    std::uint64_t inputs = 0;
    std::uint64_t edges = 0;
};

constexpr std::uint64_t input_fanout_max = 10;
// Weights are whole numbers of micro-units; dividing (not multiplying by
// 1e-6) gives the double nearest to the decimal, which prints short.
constexpr double micro_units = 1e6;

Summary write_random(const Options& opt) {
    Rng rng(opt.seed);
    const std::uint64_t n = opt.nodes;
    const std::uint64_t d = opt.degree;
    const std::uint64_t m = opt.inputs;

    // About one node in five is inhibitory; a network of two or more nodes
    // always has both kinds.
    std::vector<bool> excitatory(n);
    std::uint64_t n_exc = 0;
    for (std::uint64_t i = 0; i < n; ++i) {
        excitatory[i] = rng.below(5) != 0;
        n_exc += excitatory[i] ? 1 : 0;
    }
    if (n >= 2 && n_exc == n) excitatory[n - 1] = false;
    if (n >= 2 && n_exc == 0) excitatory[0] = true;

    ContractFile writer(opt.out, n, m);
    for (std::uint64_t i = 0; i < n; ++i) {
        const std::string id = std::to_string(i);
        write_node(*writer, i, static_cast<std::int64_t>(i), excitatory[i], "P" + id,
                   excitatory[i] ? "E" : "I", "C" + std::to_string(i / 100), "null", "null",
                   "null");
    }
    for (std::uint64_t k = 0; k < m; ++k) {
        write_input(*writer, k, static_cast<std::int64_t>(k), "in_" + std::to_string(k), "null");
    }

    // Weights in units of 1e-6, scaled by 1/degree so that a node's summed
    // drive stays of the same order whatever the degree; inhibitory sources
    // weigh twice as much to balance their smaller number.
    const std::int64_t exc_base = std::max<std::int64_t>(
        2, 250000 / static_cast<std::int64_t>(std::max<std::uint64_t>(d, 1)));
    std::vector<std::uint64_t> mark(n, std::numeric_limits<std::uint64_t>::max());
    std::vector<std::uint64_t> picked;
    picked.reserve(std::max(d, input_fanout_max));

    std::uint64_t edges = 0;
    const auto edge = [&](bool from_input, std::uint64_t source, std::uint64_t target, double w) {
        writer->edge(from_input, static_cast<std::int32_t>(source),
                     static_cast<std::int32_t>(target), w);
        ++edges;
    };
    for (std::uint64_t target = 0; target < n; ++target) {
        // Sources are drawn from the n - 1 other nodes: value v stands for v
        // below the target and v + 1 from the target on.
        sample_distinct(rng, n - 1, d, mark, target, picked);
        for (const std::uint64_t v : picked) {
            const std::uint64_t source = v < target ? v : v + 1;
            const std::int64_t base = excitatory[source] ? exc_base : 2 * exc_base;
            const double magnitude =
                static_cast<double>(rng.between(base / 2, base + base / 2)) / micro_units;
            edge(false, source, target, excitatory[source] ? magnitude : -magnitude);
        }
    }
    const std::uint64_t fanout = std::min(n, input_fanout_max);
    for (std::uint64_t k = 0; k < m; ++k) {
        sample_distinct(rng, n, fanout, mark, n + k, picked);
        for (const std::uint64_t target : picked) {
            edge(true, k, target, static_cast<double>(rng.between(200000, 600000)) / micro_units);
        }
    }
    writer.finish();
    return {n, m, edges};
}

// ---------------------------------------------------------------------------
// The structured example model.

// Short codes of the word classes, as the population names use them
// (Adjective, Adverb, Clause, Coordinator, Determiner, Noun, Preposition,
// Pronoun, Verb).
const std::vector<std::string> word_classes = {"Adj", "Adv", "C", "Co", "Det", "N", "P", "Pr", "V"};

// Structure group and the word classes that may fill it.
struct StructureGroup {
    std::string name;
    std::vector<std::string> classes;
};

const std::vector<StructureGroup> structure_groups = {
    {"SG1Verb", {"V"}},           {"SG2Subject", {"N", "Pr"}},
    {"SG3Object", {"N", "Pr"}},   {"SG4Det", {"Det"}},
    {"SG5Compl", {"C"}},          {"SG6Mod", {"Adj", "Adv"}},
    {"SG7Adjunct", {"P", "Adv"}}, {"SG8PC", {"P"}},
    {"SG9Ex_Mod", {"Adj"}},       {"SG10Coord", {"Co"}},
    {"SG11GAP", {"Pr"}},
};

// Pairs of structure groups joined through the connection matrix (both ways).
const std::vector<std::pair<std::string, std::string>> connection_pairs = {
    {"SG1Verb", "SG2Subject"}, {"SG1Verb", "SG3Object"},    {"SG1Verb", "SG5Compl"},
    {"SG1Verb", "SG7Adjunct"}, {"SG2Subject", "SG4Det"},    {"SG3Object", "SG4Det"},
    {"SG2Subject", "SG6Mod"},  {"SG3Object", "SG6Mod"},     {"SG7Adjunct", "SG8PC"},
    {"SG6Mod", "SG9Ex_Mod"},   {"SG2Subject", "SG10Coord"}, {"SG3Object", "SG10Coord"},
    {"SG5Compl", "SG11GAP"},
};

constexpr int n_words = 16;
constexpr int n_instances = 2;  // assemblies per structure group and side
const std::vector<std::string> sides = {"H", "D"};

// Weight scales before the seeded jitter, for theta 20, beta 0.4 and f_max
// 100. A "weak" input at full rate (drive about 13) leaves a node near rest,
// two of them together (about 26) switch it on; a "strong" input (50) drives
// it to f_max on its own.
constexpr double w_strong = 0.5;
constexpr double w_weak = 0.13;
constexpr double w_inhib = -0.5;
// Sixteen class cells feed one class gate, so their resting leak must stay
// small and a single active cell must not open the gate on its own.
constexpr double w_class_cell = 0.12;
constexpr double w_class_gate = 0.1;
// With self-weight 0.5 a memory cell is bistable: an external drive above
// about 10 (or a clamp at 50) switches it on, and it then holds itself. The
// word and the binding gate each stay below that, so only the two together
// store a binding.
constexpr double w_memory_self = 0.5;
constexpr double w_memory_word = 0.08;
constexpr double w_memory_gate = 0.08;

class ExampleBuilder {
  public:
    explicit ExampleBuilder(std::uint64_t seed) : rng_(seed) {}

    Summary write(const std::string& path) {
        define_inputs();
        build();
        const auto n_inputs = static_cast<std::int64_t>(inputs_.size());

        ContractFile writer(path, nodes_.size(), inputs_.size());

        // Row indices follow the model builder's population table: input
        // channels first (rows 1 ... n_inputs), then the nodes.
        for (std::size_t i = 0; i < nodes_.size(); ++i) {
            const Node& nd = nodes_[i];
            write_node(*writer, i, n_inputs + 1 + static_cast<std::int64_t>(i), nd.excitatory,
                       nd.pop_id, nd.pop_typ, nd.circ_id, nd.h_row, nd.d_row, nd.mat_id);
        }
        for (std::size_t k = 0; k < inputs_.size(); ++k) {
            write_input(*writer, k, static_cast<std::int64_t>(k) + 1, inputs_[k].name,
                        inputs_[k].circ_id);
        }
        for (const Edge& e : edges_) {
            writer->edge(e.from_input, static_cast<std::int32_t>(e.source),
                         static_cast<std::int32_t>(e.target), e.weight);
        }
        writer.finish();
        return {nodes_.size(), inputs_.size(), edges_.size()};
    }

  private:
    struct Node {
        bool excitatory;
        std::string pop_id, pop_typ, circ_id, h_row, d_row, mat_id;
    };
    struct Input {
        std::string name;
        std::string circ_id;
    };
    struct Edge {
        bool from_input;
        std::uint64_t source;
        std::uint64_t target;
        double weight;
    };

    int add_node(bool excitatory, std::string pop_id, std::string pop_typ, std::string circ_id,
                 std::string h_row = "null", std::string d_row = "null",
                 std::string mat_id = "null") {
        nodes_.push_back({excitatory, std::move(pop_id), std::move(pop_typ), std::move(circ_id),
                          std::move(h_row), std::move(d_row), std::move(mat_id)});
        return static_cast<int>(nodes_.size()) - 1;
    }

    // Weights get a seeded +-5 % jitter and are rounded to 1e-4, which keeps
    // the file short and its numbers exact to read.
    double jitter(double w) {
        const double factor = 1.0 + 0.1 * (rng_.unit() - 0.5);
        const double q =
            static_cast<double>(static_cast<std::int64_t>(w * factor * 1e4 + (w < 0 ? -0.5 : 0.5)));
        return q / 1e4;
    }

    void connect(int source, int target, double w) {
        edges_.push_back({false, static_cast<std::uint64_t>(source),
                          static_cast<std::uint64_t>(target), jitter(w)});
    }
    void drive(const std::string& input, int target, double w) {
        const auto it = input_ids_.find(input);
        if (it == input_ids_.end()) {
            throw std::logic_error("example model wires unknown input '" + input + "'");
        }
        edges_.push_back({true, it->second, static_cast<std::uint64_t>(target), jitter(w)});
    }

    // Word inputs first, then every population of the command table in
    // sorted order (the table itself is unordered).
    void define_inputs() {
        for (int k = 0; k < n_words; ++k) {
            add_input("EX1_input_W" + std::to_string(k), "WORD_W" + std::to_string(k));
        }
        std::vector<std::string> names;
        names.reserve(vesk::command_targets.size());
        for (const auto& entry : vesk::command_targets) names.push_back(entry.second);
        std::sort(names.begin(), names.end());
        for (const auto& name : names) add_input(name, circuit_of_input(name));
    }

    void add_input(const std::string& name, const std::string& circ_id) {
        input_ids_.emplace(name, inputs_.size());
        inputs_.push_back({name, circ_id});
    }

    // The circuit an input population feeds, read off its name.
    static std::string circuit_of_input(const std::string& name) {
        for (const auto& g : structure_groups) {
            if (name.find("_" + g.name + "_") != std::string::npos) return "SG_" + g.name;
        }
        for (const auto& code : word_classes) {
            const std::string tail = "_" + code;
            if (name.size() > tail.size() &&
                (name.compare(name.size() - tail.size(), tail.size(), tail) == 0 ||
                 name.find(tail + "_") != std::string::npos)) {
                return "WCLASS_" + code;
            }
        }
        return "WORD";
    }

    void build() {
        build_words();
        build_word_classes();
        build_structures();
        build_memory();
    }

    // Word assemblies: an excitatory word population driven by its word
    // input, and its inhibitory partner that shortens the response and takes
    // the global word inhibition.
    void build_words() {
        for (int k = 0; k < n_words; ++k) {
            const std::string w = "W" + std::to_string(k);
            word_e_[k] = add_node(true, w, "word", "WORD_" + w, w);
            word_i_[k] = add_node(false, w + "_inhib", "word_inhib", "WORD_" + w, w);
            drive("EX1_input_" + w, word_e_[k], w_strong);
            connect(word_e_[k], word_i_[k], 0.25);
            connect(word_i_[k], word_e_[k], -0.15);
            drive("EX0a_inhib_W_all", word_i_[k], w_strong);
        }
    }

    // Word-class circuit: a cell per (class, word) that fires when the word
    // is active and its class gate is open; per class the head and dependent
    // gates towards the structures, the outputs back to the words, and the
    // class inhibition.
    void build_word_classes() {
        for (const auto& s : word_classes) {
            const std::string circ = "WCLASS_" + s;
            const int inhib = add_node(false, "inhib_" + s, "class_inhib", circ, "null", s);
            drive("EX0_inhib_" + s, inhib, w_strong);
            std::vector<int> cells;
            for (int k = 0; k < n_words; ++k) {
                const std::string w = "W" + std::to_string(k);
                const int cell =
                    add_node(true, "WC_" + s + "_" + w, "class_cell", circ, w, s, "WCLASS");
                connect(word_e_[k], cell, w_class_cell);
                drive("EX2_Bgate_W_" + s, cell, w_class_cell);
                connect(inhib, cell, w_inhib);
                cells.push_back(cell);
            }
            for (const auto& x : sides) {
                const int gate =
                    add_node(true, "Gate_" + s + "_" + x, "class_gate", circ, "null", s + "_" + x);
                drive("EX3" + x + "_Gate_" + s + "_" + x, gate, w_weak);
                for (const int cell : cells) connect(cell, gate, w_class_gate);
                connect(inhib, gate, w_inhib);
                class_gate_[{s, x}] = gate;

                const int out = add_node(true, "LMA_out_" + s + "_" + x, "class_out", circ, "null",
                                         s + "_" + x);
                drive("EX8" + x + "_LMA_out_" + s + "_" + x, out, w_weak);
                class_out_[{s, x}] = out;
                // An open output lifts all words a little; a word also read
                // out from the memory crosses threshold.
                for (int k = 0; k < n_words; ++k) connect(out, word_e_[k], 0.1);
            }
        }
    }

    // Structure assemblies: per group, side and instance a main population
    // with a binding gate (towards the memory), a connection-matrix gate
    // (towards linked groups), a word gate (memory read-out) and a
    // competition inhibitor shared by the group's instances.
    void build_structures() {
        for (const auto& g : structure_groups) {
            for (const auto& x : sides) {
                std::vector<int> mains;
                std::vector<int> comps;
                for (int a = 0; a < n_instances; ++a) {
                    const std::string inst = g.name + "_" + std::to_string(a) + "_" + x;
                    const std::string circ = "SG_" + g.name;
                    const std::string col = g.name + "_" + std::to_string(a);
                    Structure st;
                    st.main = add_node(true, inst, "structure", circ, "null", col + "_" + x);
                    st.bind_gate =
                        add_node(true, inst + "_bgate", "bind_gate", circ, "null", col + "_" + x);
                    st.cm_gate = add_node(true, inst + "_cmgate", "cm_gate", circ, "null",
                                          col + "_" + x, "CM_" + x);
                    st.w_gate =
                        add_node(true, inst + "_wgate", "word_gate", circ, "null", col + "_" + x);
                    st.comp =
                        add_node(false, inst + "_comp", "comp_inhib", circ, "null", col + "_" + x);
                    // Instance 0 is the preferred free assembly.
                    const double pref = a == 0 ? 1.0 : 0.8;
                    for (const auto& s : g.classes) {
                        connect(class_gate_.at({s, x}), st.main, 0.3 * pref);
                    }
                    connect(st.main, st.main, 0.05);
                    drive("EX4" + x + "_Bgate_LMA_" + g.name + "_" + x, st.bind_gate, w_weak);
                    connect(st.main, st.bind_gate, w_weak);
                    drive("EX6" + x + "_Gate_" + g.name + "_CM_" + x, st.cm_gate, w_weak);
                    connect(st.main, st.cm_gate, w_weak);
                    drive("EX5" + x + "_Gate_" + g.name + "_W_" + x, st.w_gate, w_weak);
                    connect(st.main, st.w_gate, w_weak);
                    for (const auto& s : g.classes) {
                        connect(st.w_gate, class_out_.at({s, x}), w_weak);
                    }
                    drive("EX7" + x + "_SG_comp_inhib_" + g.name + "_" + x, st.comp, w_strong);
                    connect(st.comp, st.main, w_inhib);
                    structures_[{g.name, x, a}] = st;
                    mains.push_back(st.main);
                    comps.push_back(st.comp);
                }
                // Instances of one group compete: each main excites the
                // other instances' inhibitors.
                for (int a = 0; a < n_instances; ++a) {
                    for (int b = 0; b < n_instances; ++b) {
                        if (a != b) connect(mains[a], comps[b], 0.3);
                    }
                }
            }
        }
        // Connection matrix: an open cm gate passes activity to the same
        // instance of every linked group on the same side.
        for (const auto& [p, q] : connection_pairs) {
            for (const auto& x : sides) {
                for (int a = 0; a < n_instances; ++a) {
                    const Structure& sp = structures_.at({p, x, a});
                    const Structure& sq = structures_.at({q, x, a});
                    connect(sp.cm_gate, sq.main, 0.35);
                    connect(sq.cm_gate, sp.main, 0.35);
                }
            }
        }
    }

    // Binding memory: one matrix per side, rows = words, columns = structure
    // instances. A memory cell switches on when its word and its column's
    // binding gate are active together and then holds itself. Two read-out
    // cells per memory cell: word -> structure (the word finds its
    // structures) and structure -> word (an open word gate finds the bound
    // word).
    void build_memory() {
        for (const auto& x : sides) {
            const std::string mat = "WM_" + x;
            for (const auto& g : structure_groups) {
                for (int a = 0; a < n_instances; ++a) {
                    const Structure& st = structures_.at({g.name, x, a});
                    const std::string col = g.name + "_" + std::to_string(a);
                    for (int k = 0; k < n_words; ++k) {
                        const std::string w = "W" + std::to_string(k);
                        const std::string cell_id = "WM_" + x + "_" + w + "_" + col;
                        const int mem =
                            add_node(true, cell_id, "memory", "WM_" + x + "_" + col, w, col, mat);
                        connect(word_e_[k], mem, w_memory_word);
                        connect(st.bind_gate, mem, w_memory_gate);
                        connect(mem, mem, w_memory_self);

                        const int up = add_node(true, cell_id + "_ws", "read_ws",
                                                "WM_" + x + "_" + col, w, col, mat);
                        connect(mem, up, w_weak);
                        connect(word_e_[k], up, w_weak);
                        connect(up, st.main, 0.3);

                        const int down = add_node(true, cell_id + "_sw", "read_sw",
                                                  "WM_" + x + "_" + col, w, col, mat);
                        connect(mem, down, w_weak);
                        connect(st.w_gate, down, w_weak);
                        connect(down, word_e_[k], 0.2);
                    }
                }
            }
        }
    }

    struct Structure {
        int main = 0, bind_gate = 0, cm_gate = 0, w_gate = 0, comp = 0;
    };

    Rng rng_;
    std::vector<Node> nodes_;
    std::vector<Input> inputs_;
    std::map<std::string, std::uint64_t> input_ids_;
    std::vector<Edge> edges_;
    int word_e_[n_words] = {};
    int word_i_[n_words] = {};
    std::map<std::pair<std::string, std::string>, int> class_gate_;
    std::map<std::pair<std::string, std::string>, int> class_out_;
    std::map<std::tuple<std::string, std::string, int>, Structure> structures_;
};

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    try {
        opt = parse_options(argc, argv);
    } catch (const UsageError& e) {
        std::cerr << "make_contract: " << e.what() << "\n\n" << usage_text;
        return 1;
    }
    if (opt.help) {
        std::cout << usage_text;
        return 0;
    }
    try {
        const Summary s = opt.example ? ExampleBuilder(opt.seed).write(opt.out) : write_random(opt);
        std::cout << "Wrote " << opt.out << ": " << s.nodes << " nodes, " << s.inputs << " inputs, "
                  << s.edges << " edges\n";
    } catch (const std::exception& e) {
        std::cerr << "make_contract: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
