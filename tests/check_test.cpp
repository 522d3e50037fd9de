// vesk-check end to end: one table of files, arguments and the exact status
// and report. Every row also runs vesk-sim on the same files: the checker's
// verdict must match the run's (status 0 or 2 exactly when the run
// succeeds), and the error it says the run stops with must be the one the
// run prints.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <ostream>
#include <thread>
#include <tuple>
#include <utility>

#include "app/version.hpp"
#include "stimulus/text_lines.hpp"
#include "test_support.hpp"

namespace vesk {
namespace {

std::string node(long long id, const std::string& extra = "") {
    return R"({"node_id": )" + std::to_string(id) + extra +
           R"(, "tau": 1, "pop_id": "p", "pop_typ": "E", "con_typ": "c", "circ_id": "c",)"
           R"( "h_row": "h", "d_row": "d", "mat_id": "m"})";
}
const std::string kTwoNodes = node(0) + ", " + node(1);
const std::string kSizes = R"("counts": {"n_nodes": 2, "n_inputs": 2})";
const std::string kParams =
    R"("network_parameters": {"sigmoid": {"theta": 0, "beta": 1, "f_max": 1}})";
const std::string kInputs =
    R"("inputs": [{"input_id": 0, "input_name": "EX2_Bgate_W_N"},
                  {"input_id": 1, "input_name": "EX1_input_W0"}])";

// Two nodes, inputs for Noun and word 0, one edge of each kind.
std::string model(const std::string& nodes = kTwoNodes, const std::string& sizes = kSizes,
                  const std::string& params = kParams, const std::string& inputs = kInputs) {
    return "{" + sizes + ", " + params + R"(, "nodes": [)" + nodes + "], " + inputs + R"(,
 "edges": [{"source_kind": "node", "source_id": 0, "target_node_id": 1, "weight_final": 1},
           {"source_kind": "input", "source_id": 1, "target_node_id": 0, "weight_final": 1}]})";
}

std::string summary(int errors, int warnings, const std::string& stop = "") {
    return "vesk-check: " + std::to_string(errors) + (errors == 1 ? " error, " : " errors, ") +
           std::to_string(warnings) + (warnings == 1 ? " warning\n" : " warnings\n") +
           (stop.empty() ? "" : "vesk-sim would stop with: Error: " + stop + "\n");
}

#define NO_VERB "Instruction target 'EX2_Bgate_W_V' is not an external input in the loaded model"
#define NO_NODE "names no node: no node of the model has this row_index\n"
#define BOUNDS "out of bounds while parsing edges array\n"
const std::string kStopGrid =
    "--t-end must align with h=0.1 ms from t_start=0.0 ms. Received t_end=0.15 (1.5 steps).";

// Files of a table row named "fifo:NAME" or "pipe:NAME" reach the programs
// as NAME, read from a named pipe that is fed once per run, or from a pipe
// holding the text given as /dev/fd/N (as a shell's <(...) gives). A program
// that opens such an input twice finds it empty or waits forever: the
// programs therefore run with a timeout.
constexpr unsigned kRunTimeout = 60;  // seconds

class StreamedInputs {
  public:
    StreamedInputs(const test::TempDir& dir, const std::map<std::string, std::string>& files) {
        for (const auto& [name, text] : files) {
            const std::size_t colon = name.find(':');
            if (colon == std::string::npos) continue;
            const std::string path = dir.file(name.substr(colon + 1));
            if (name.compare(0, colon, "fifo") == 0) {
                feeders_.emplace_back(path, std::thread(feed, path, text));
                continue;
            }
            int ends[2];
            if (pipe(ends) != 0 ||
                write(ends[1], text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
                ADD_FAILURE() << "cannot fill a pipe for " << path;
            }
            close(ends[1]);
            read_ends_.push_back(ends[0]);
            std::remove(path.c_str());
            EXPECT_EQ(symlink(("/dev/fd/" + std::to_string(ends[0])).c_str(), path.c_str()), 0);
        }
    }
    ~StreamedInputs() {
        // A reader of our own lets a feeder end whose pipe the program never opened.
        for (auto& [path, feeder] : feeders_) {
            const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
            feeder.join();
            close(fd);
        }
        for (const int fd : read_ends_) close(fd);
    }

  private:
    // Writes `text` to the first reader of the named pipe, then closes it.
    static void feed(const std::string& path, const std::string& text) {
        sigset_t pipe_signal;  // a reader that leaves early gives EPIPE instead
        sigemptyset(&pipe_signal);
        sigaddset(&pipe_signal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
        std::ofstream(path) << text;
    }

    std::vector<std::pair<std::string, std::thread>> feeders_;
    std::vector<int> read_ends_;
};

// One row: the files of the working directory (the model is m.json), the
// arguments after --model m.json, and vesk-check's status, stdout and stderr.
struct CheckCase {
    std::string name;
    std::map<std::string, std::string> files;
    std::vector<std::string> args;
    int status;
    std::string out, err = {};
};

CheckCase row(std::string name, std::map<std::string, std::string> files,
              std::vector<std::string> args, int status, std::string out, std::string err = {}) {
    return {std::move(name), std::move(files), std::move(args),
            status,          std::move(out),   std::move(err)};
}

void PrintTo(const CheckCase& c, std::ostream* os) {
    *os << c.name;
}

// 25 nodes with an unknown key each, shortened to 20 unless --all is given.
CheckCase repeated_findings(bool all) {
    std::string nodes, lines;
    for (int id = 0; id < 25; ++id) {
        nodes += (id ? ", " : "") + node(id, R"(, "x": 0)");
        if (all || id < 20) {
            lines += "m.json: nodes[" + std::to_string(id) +
                     "].x: warning: unknown key 'x' is "
                     "ignored\n";
        }
    }
    if (!all) {
        lines += "vesk-check: 5 more of the sort 'unknown key' not shown (--all shows every one)\n";
    }
    return row(all ? "all_findings" : "repeats_shortened",
               {{"m.json", model(nodes, R"("counts": {"n_nodes": 25, "n_inputs": 2})")}},
               all ? std::vector<std::string>{"--all"} : std::vector<std::string>{}, 2,
               lines + summary(0, 25));
}

std::vector<CheckCase> check_cases() {
    const std::string bad_sizes = "Invalid model sizes: n_nodes/n_inputs must be non-negative";
    const std::string parse_error =
        "JSON parse error in m.json: [json.exception.parse_error.101] parse error at line 1, "
        "column 26: syntax error while parsing object key - unexpected ','; expected string "
        "literal";
    std::string object_nodes;  // nodes.b lacks every key but node_id
    for (const std::string key :
         {"tau", "pop_id", "pop_typ", "con_typ", "circ_id", "h_row", "d_row", "mat_id"}) {
        object_nodes += "m.json: nodes.b: error: " JSON_403 + key + "' not found\n";
    }
    const std::string constants =
        R"("network_parameters": {"sigmoid": {"theta": 0, "beta": 1, "f_max": -1},
            "wc_coupling": {"tau_E": 0}})";
    const std::string meaningless = "it must be above 0, or every trace of a run is meaningless\n";
    const std::string too_deep =
        "JSON nesting deeper than 64 levels in m.json: no contract nests that deep";
    std::string deep_path = "m.json: x";
    for (int level = 1; level < 64; ++level) deep_path += "[0]";
    const std::string no_first_node =
        "JSON parse error in m.json: [json.exception.parse_error.101] parse error at line 1, "
        "column 12: syntax error while parsing value - unexpected ','; expected '[', '{', or a "
        "literal";
    const std::string after_blank_lines =
        "JSON parse error in m.json: [json.exception.parse_error.101] parse error at line 3, "
        "column 3: syntax error while parsing object key - invalid literal; last read: "
        "'<U+000A><U+0009><U+000A> {@'; expected string literal";
    const std::string too_long = std::string(max_line_length + 1, '1') + "\n";
    const std::string one_line =
        " goes on after a carriage return (\\r): vesk-sim ends lines only at \\n, so the "
        "lines of a file with \\r line ends (old Mac files) are read as one\n";
    const std::string usage = "Try 'vesk-check --help'.\n";
    const std::vector<std::string> both_files = {"--instructions", "i.txt", "--bindings", "b.txt"};

    std::vector<CheckCase> cases = {
        row("clean",
            {{"m.json", model()},
             {"i.txt", "fixed_time 20\nNum_of_words 1\nWord 0 0\nNoun 5\n"},
             {"b.txt", "# comment\n0\n1 clamped\n"}},
            {"--instructions", "i.txt", "--bindings", "b.txt", "--t-end", "10"}, 0, summary(0, 0)),
        // Every type error is named by its path; a key given twice counts
        // once, with its last value; the run stops on the loader's first error.
        row("type_errors",
            {{"m.json", model(node(0, R"(, "tau": "1")") + R"(, {"node_id": 1, "tau": 1,
            "is_excitatory": 1, "pop_id": "p", "pop_typ": "E", "con_typ": "c", "circ_id": null,
            "h_row": "h", "d_row": "d"})")}},
            {}, 1,
            "m.json: nodes[0].tau: warning: key 'tau' appears twice in this object; the last value "
            "counts\nm.json: nodes[1].is_excitatory: error: " JSON_302
            "boolean, but is number\nm.json: nodes[1].circ_id: error: " JSON_302
            "string, but is null\nm.json: nodes[1]: error: " JSON_403 "mat_id' not found\n" +
                summary(3, 1, JSON_302 "boolean, but is number")),
        // Mistakes that run: misspelt and misplaced keys, phantom nodes and
        // inputs, repeated ids, row indices and names, unreachable inputs.
        row("mistakes_that_run",
            {{"m.json",
              model(node(0) + ", " + node(1, R"(, "row_index": 3)") + ", " +
                        node(1, R"(, "row_index": 3, "labl": 1)"),
                    R"("counts": {"n_nodes": 4, "n_inputs": 13})",
                    R"("network_parameters": {"sigmoid": {"theta": 0, "beta": 1, "f_max": 1},
                     "wc_coupling": {"alpha": 1}, "tau_I": 1})",
                    R"("inputs": [{"input_id": 0, "input_name": "EX2_Bgate_W_N"},
                     {"input_id": 1, "input_name": "EX2_Bgate_W_N", "row_index": 0},
                     {"input_id": 2, "input_name": "EX1_input_W01", "pop_typ": "x"}])")}},
            {}, 2,
            "m.json: network_parameters.wc_coupling.alpha: warning: unknown key 'alpha' is ignored "
            "(did you mean 'alfa'?)\nm.json: network_parameters.tau_I: warning: 'tau_I' is ignored "
            "here: the time constants are read only from network_parameters.wc_coupling\nm.json: "
            "nodes[2].labl: warning: unknown key 'labl' is ignored\nm.json: inputs[2].pop_typ: "
            "warning: 'pop_typ' of an input is not read: every input is 'external' in the row "
            "map\nm.json: nodes[2].node_id: warning: node_id 1 already has an entry, nodes[1]; "
            "this later entry replaces it\nm.json: counts.n_nodes: warning: n_nodes is 4 but 2 "
            "node_ids have no entry in nodes (2, 3): each still gets an output column, named by "
            "its node_id, and no metadata\nm.json: counts.n_nodes: warning: row_index 3 of node_id "
            "3 is also the row_index of node_id 1: two output columns are named 3, and a binding "
            "of 3 clamps only node_id 3\n"
            // Ten ids are listed whole; more would be shortened.
            "m.json: counts.n_inputs: warning: n_inputs is 13 but 10 input_ids have no entry in "
            "inputs (3, 4, 5, 6, 7, 8, 9, 10, 11, 12): they have no name, so no instruction can "
            "drive them\nm.json: inputs[1].input_name: warning: input_name 'EX2_Bgate_W_N' is also "
            "the name of input_id 0: instructions drive only input_id 1\nm.json: "
            "inputs[1].row_index: warning: row_index 0 of input_id 1 is also the row_index of "
            "input_id 0: two input-trace columns are named 0\nm.json: inputs[2].input_name: "
            "warning: no instruction command drives the input "
            "'EX1_input_W01'\n" +
                summary(0, 11)),
        // Edges before the sizes are checked once the sizes are known.
        row("edges_before_sizes",
            {{"m.json", R"({"edges": [
            {"source_kind": "node", "source_id": 2, "target_node_id": -1, "weight_final": 1},
            {"source_kind": "input", "source_id": 2, "target_node_id": 0, "weight_final": 1},
            {"source_kind": "Node", "source_id": 0, "target_node_id": 9, "weight_final": 1},
            {"source_kind": "node", "target_node_id": 0, "weight_final": true}, [1]],
            "nodes": [)" + node(0) +
                            ", " + node(3000000000) + "], " + kSizes + ", " + kInputs + ", " +
                            kParams + "}"}},
            {}, 1,
            "m.json: edges[2].source_kind: error: Unknown source_kind in edges array: Node\n"
            "m.json: edges[3]: error: " JSON_403 "source_id' not found\n"
            "m.json: edges[3].weight_final: error: " JSON_302 "number, but is boolean\n"
            "m.json: edges[4]: error: " JSON_304 "array\n"
            "m.json: nodes[1].node_id: error: Value of 'node_id' does not fit a 32-bit integer: "
            "3000000000\n"
            "m.json: edges[0].target_node_id: error: target_node_id " BOUNDS
            "m.json: edges[0].source_id: error: node source_id " BOUNDS
            "m.json: edges[1].source_id: error: input source_id " BOUNDS
            "m.json: edges[2].target_node_id: error: target_node_id " BOUNDS
            "m.json: counts.n_nodes: warning: n_nodes is 2 but 1 node_ids have no entry in nodes "
            "(1): each still gets an output column, named by its node_id, and no metadata\n" +
                summary(9, 1, "Value of 'node_id' does not fit a 32-bit integer: 3000000000")),
        // Values of the wrong kind where objects and lists belong; a list
        // given as an object names its elements by key, and a boolean id
        // counts as 0 or 1, both read as vesk-sim reads them, with a warning.
        row("wrong_kinds",
            {{"m.json", R"({"counts": {"n_nodes": -1, "n_inputs": 0}, "network_parameters":
            {"sigmoid": 3, "wc_coupling": null}, "nodes": {"b": {"node_id": false}, "a": 7},
            "inputs": 5})"}},
            {}, 1,
            "m.json: counts.n_nodes: error: " + bad_sizes +
                "\nm.json: network_parameters.sigmoid: error: " JSON_304
                "number\nm.json: network_parameters.wc_coupling: error: " JSON_306
                "null\nm.json: nodes: warning: 'nodes' is an object, read as the list of its "
                "member values in the byte order of their keys\nm.json: nodes.b.node_id: warning: "
                "'node_id' is a boolean, read as the integer 0\n" +
                object_nodes +
                "m.json: nodes.a: error: " JSON_304 "number\nm.json: inputs: error: " JSON_304
                "number\n" +
                summary(13, 2, bad_sizes)),
        // The negative size is the one named, also beside a size of zero.
        row("negative_beside_zero",
            {{"m.json", R"({"counts": {"n_nodes": 0, "n_inputs": -1}, "network_parameters":
            {"sigmoid": {"theta": 1, "beta": 1, "f_max": 1}, "wc_coupling": {}},
            "nodes": [], "inputs": [], "edges": []})"}},
            {}, 1,
            "m.json: counts.n_inputs: error: " + bad_sizes + "\n" + summary(1, 0, bad_sizes)),
        // Constants the run divides by, or that bound every rate, must be
        // above 0.
        row("constants_above_zero", {{"m.json", model(kTwoNodes, kSizes, constants)}}, {}, 2,
            "m.json: network_parameters.sigmoid.f_max: warning: 'f_max' is -1.0: " + meaningless +
                "m.json: network_parameters.wc_coupling.tau_E: warning: 'tau_E' is 0.0: " +
                meaningless + summary(0, 2)),
        // Nesting far beyond a contract's is refused before it takes memory.
        row("too_deep", {{"m.json", R"({"x": )" + std::string(100000, '[')}}, {}, 1,
            "m.json: x: warning: unknown key 'x' is ignored\n" + deep_path +
                ": error: " + too_deep + "\n" + summary(1, 1, too_deep)),
        row("top_level_array", {{"m.json", "[1]"}}, {}, 1,
            "m.json: (top level): error: " JSON_304 "array\n" + summary(1, 0, JSON_304 "array")),
        // Parse errors are placed at the key or element being read.
        row("parse_error_in_object", {{"m.json", R"({"counts": {"n_nodes": 1,,)"}}, {}, 1,
            "m.json: counts.n_nodes: error: " + parse_error + "\n" + summary(1, 0, parse_error)),
        row("parse_error_in_list", {{"m.json", R"({"nodes": [{"node_id": 0,,)"}}, {}, 1,
            "m.json: nodes[0].node_id: error: " + parse_error + "\n" + summary(1, 0, parse_error)),
        row("parse_error_before_first_element", {{"m.json", R"({"nodes": [,)"}}, {}, 1,
            "m.json: nodes[0]: error: " + no_first_node + "\n" + summary(1, 0, no_first_node)),
        // Blank lines before the contract count in the parser's message.
        row("parse_error_after_blank_lines", {{"m.json", "\n\t\n {@"}}, {}, 1,
            "m.json: (top level): error: " + after_blank_lines + "\n" +
                summary(1, 0, after_blank_lines)),
        row("no_model", {}, {}, 1,
            "m.json: error: Failed to open model file: m.json\n" +
                summary(1, 0, "Failed to open model file: m.json")),
        // Ids beyond the sizes are found once the sizes are known, each
        // entry's in file order with the warnings about its list.
        row("ids_beyond_sizes",
            {{"m.json", model(node(0) + ", " + node(5), kSizes, kParams,
                              R"("inputs": [{"input_id": 7, "input_name": "x"}])")}},
            {}, 1,
            "m.json: nodes[1].node_id: error: node_id out of bounds while parsing nodes "
            "array\nm.json: counts.n_nodes: warning: n_nodes is 2 but 1 node_ids have no entry in "
            "nodes (1): each still gets an output column, named by its node_id, and no "
            "metadata\nm.json: inputs[0].input_id: error: input_id out of bounds while parsing "
            "inputs array\nm.json: counts.n_inputs: warning: n_inputs is 2 but 2 input_ids have no "
            "entry in inputs (0, 1): they have no name, so no "
            "instruction can drive them\n" +
                summary(2, 2, "node_id out of bounds while parsing nodes array")),
        // The first node's own row index names it in a bindings file.
        row("row_index_binding",
            {{"m.json", model(node(0, R"(, "row_index": 7)") + ", " + node(1))}, {"b.txt", "7\n"}},
            {"--bindings", "b.txt"}, 0, summary(0, 0)),
        // Every faulty instruction line, windows lost to t_end, targets the
        // model lacks; every faulty bindings line and index.
        row("faulty_lines",
            {{"m.json", model()},
             {"i.txt",
              "fixed_time 20\nNum_of_words 1\nfixed_time 5\nWord 0 0\nNoun 5\nNoun 95\nNoun 110\n"
              "Verb 1\nNounn 1\nWord 0 3\nNoun 10 5\n"},
             {"b.txt", "1\nW2\n14,15\n-3\n0 1\n99999999999 x\n0 note\n"}},
            {"--instructions", "i.txt", "--bindings", "b.txt", "--t-end", "10"}, 1,
            "i.txt:3: error: duplicate directive 'fixed_time'\ni.txt:6: warning: the window of "
            "Noun (EX2_Bgate_W_N) ends at 11.5 ms, after the run ends (10 ms): it is cut "
            "short\ni.txt:7: warning: the window of Noun (EX2_Bgate_W_N) starts at 11 ms, after "
            "the run ends (10 ms): it never acts\n"
            "i.txt:8: error: " NO_VERB "\ni.txt:9: error: unknown command 'Nounn'\n"
            "i.txt:10: error: word index 3 out of range (Num_of_words = 1)\ni.txt:11: error: "
            "window end 5 does not lie after start 10\nb.txt:2: warning: line skipped: 'W2' does "
            "not begin with a number\nb.txt:3: warning: '14,15' is read as 14; the rest, ',15', is "
            "ignored: write one "
            "whole index a line\nb.txt:3: warning: binding index 14 " NO_NODE
            "b.txt:4: error: Negative binding index encountered: -3\nb.txt:5: warning: only the "
            "first index, 0, is read; the rest of the line is ignored: write one index a line\n"
            "b.txt:6: error: Binding index out of range in line: 99999999999 x\n" +
                summary(7, 6, "i.txt:3: duplicate directive 'fixed_time'")),
        // A faulty line counts as blank: the format directive may come
        // again, and the anchor stays where the last valid Word line put it.
        row("faulty_line_counts_as_blank",
            {{"m.json", model()},
             {"i.txt",
              "format vesk-instructions 2\nformat vesk-instructions 1\nNum_of_words 1\n"
              "Word 50 0 3\nNoun -10 5\n"}},
            {"--instructions", "i.txt"}, 1,
            "i.txt:1: error: unsupported format version 2 (supported: 1)\ni.txt:4: error: word "
            "index 3 out of range (Num_of_words = 1)\n"
            "i.txt:5: error: window start -10 is negative\n" +
                summary(3, 0, "i.txt:1: unsupported format version 2 (supported: 1)")),
        // A line too long to hold ends the reading of its file.
        row("line_too_long",
            {{"m.json", model()},
             {"i.txt", "Noun 1 2\n" + too_long + "Nounn 0\n"},
             {"b.txt", "0\n" + too_long + "-3\n"}},
            both_files, 1,
            "i.txt:2: error: line is longer than 16777216 bytes\n"
            "b.txt:2: error: Line 2 of the bindings file is longer than 16777216 bytes\n" +
                summary(2, 0, "i.txt:2: line is longer than 16777216 bytes")),
        // Lines ended by \r alone are one line for vesk-sim: here a comment,
        // and an index with further numbers.
        row("carriage_returns",
            {{"m.json", model()},
             {"i.txt", "# schedule\rfixed_time 20\rNoun 0\r"},
             {"b.txt", "\n0\r1\r"}},
            both_files, 2,
            "i.txt: warning: line 1" + one_line + "b.txt: warning: line 2" + one_line +
                "b.txt:2: warning: only the first index, 0, is read; the rest of the line is "
                "ignored: write one index a line\n" +
                summary(0, 3)),
        // Without parse errors, a run stops on the first missing target by
        // name.
        row("missing_targets",
            {{"m.json", model()}, {"i.txt", "Verb 1 2\nAdjective 1 2\n"}, {"b.txt", "5\n"}},
            both_files, 1,
            "i.txt:1: error: " NO_VERB
            "\ni.txt:2: error: Instruction target 'EX2_Bgate_W_Adj' is not an external input in "
            "the loaded model\nb.txt:1: warning: binding index 5 " NO_NODE +
                summary(2, 1,
                        "Instruction target 'EX2_Bgate_W_Adj' is not an external input in the "
                        "loaded model")),
        row("t_end_off_grid", {{"m.json", model()}}, {"--t-end", "0.15"}, 1,
            "command line: error: " + kStopGrid + "\n" + summary(1, 0, kStopGrid)),
        // vesk-sim reads 1 ms and ignores the rest.
        row("t_end_trailing_text", {{"m.json", model()}}, {"--t-end", "1_0"}, 2,
            "command line: warning: --t-end '1_0': vesk-sim ignores '_0' after the number\n" +
                summary(0, 1)),
        // Text after the contract is not read by the loader, and named.
        row("text_after_contract", {{"m.json", model() + "\n {} trailing"}}, {"--n-steps", "10"}, 2,
            "m.json: warning: the contract ends before byte offset " +
                std::to_string(model().size() + 2) + ": what follows from there is not read\n" +
                summary(0, 1)),
        row("no_sigmoid", {{"m.json", model(kTwoNodes, kSizes, R"("network_parameters": {})")}}, {},
            1,
            "m.json: network_parameters: error: " JSON_403 "sigmoid' not found\n" +
                summary(1, 0, JSON_403 "sigmoid' not found")),
        row("version", {{"m.json", model()}}, {"--version"}, 0,
            std::string("vesk-check ") + version + "\n"),
        row("usage_no_length", {}, {"--n-steps", "0", "--t-end", "0"}, 3, "",
            "vesk-check: --t-end and --n-steps must be greater than 0\n" + usage),
        row("usage_bad_number", {}, {"--t-end", "x"}, 3, "",
            "vesk-check: --t-end needs a number of milliseconds, got 'x'\n" + usage),
        row("usage_incomplete", {}, {"--bindings"}, 3, "",
            "vesk-check: unrecognized or incomplete argument '--bindings'\n" + usage),
        repeated_findings(false),
        repeated_findings(true),
    };
    // Inputs read once: through a pipe (<(...)) and a named pipe as from a
    // file, the model too.
    for (const std::string kind : {"pipe", "fifo"}) {
        cases.push_back(
            row("read_once_" + kind,
                {{kind + ":m.json", model(node(0) + ", " + node(1, R"(, "row_index": true)"))},
                 {kind + ":i.txt", "fixed_time 20\nNounn 0\n"},
                 {kind + ":b.txt", "W2\n"}},
                both_files, 1,
                "m.json: nodes[1].row_index: warning: 'row_index' is a boolean, read as the "
                "integer 1\ni.txt:2: error: unknown command 'Nounn'\n"
                "b.txt:1: warning: line skipped: 'W2' does not begin with a number\n" +
                    summary(1, 2, "i.txt:2: unknown command 'Nounn'")));
    }
    return cases;
}

class Check : public ::testing::TestWithParam<CheckCase> {};

// vesk-check on the row's files gives its status, out and err exactly;
// vesk-sim on the same files agrees.
TEST_P(Check, ReportsExactly) {
    const CheckCase& c = GetParam();
    test::TempDir dir;
    for (const auto& [name, text] : c.files) {
        if (name.rfind("fifo:", 0) == 0) {
            EXPECT_EQ(mkfifo(dir.file(name.substr(5)).c_str(), 0600), 0);
        } else if (name.find(':') == std::string::npos) {
            dir.write(name, text);
        }
    }
    std::vector<std::string> args = {"--model", "m.json"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto r = [&] {
        const StreamedInputs streamed(dir, c.files);
        return test::run_program(VESK_CHECK_PATH, args, dir.path(), "vesk-check", kRunTimeout);
    }();
    EXPECT_EQ(std::tie(r.status, r.out, r.err), std::tie(c.status, c.out, c.err));
    if (c.status == 3 || c.args == std::vector<std::string>{"--version"}) return;

    // The run on the same files agrees.
    std::erase(args, "--all");
    args.insert(args.end(), {"--output", "o.csv"});
    if (std::find(args.begin(), args.end(), "--t-end") == args.end() &&
        std::find(args.begin(), args.end(), "--n-steps") == args.end()) {
        args.insert(args.end(), {"--t-end", "1"});
    }
    const StreamedInputs streamed(dir, c.files);
    const auto run = test::run_program(VESK_SIM_PATH, args, dir.path(), "vesk-sim", kRunTimeout);
    const std::string marker = "vesk-sim would stop with: ";
    const std::size_t stop = r.out.find(marker);
    if (stop == std::string::npos) {
        EXPECT_EQ(run.status, 0) << run.err;
    } else {
        EXPECT_EQ(run.status, 1);
        // Command-line errors go on with the usage text.
        EXPECT_EQ(run.err.substr(0, run.err.find('\n') + 1), r.out.substr(stop + marker.size()));
    }
}

INSTANTIATE_TEST_SUITE_P(Files, Check, ::testing::ValuesIn(check_cases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace vesk
