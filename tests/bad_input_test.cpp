// Broken and hostile input on every input path of a run. Each case starts
// the real vesk-sim and expects status 1, exactly one error line (no crash,
// no sanitizer report, which would add lines), and every file in the working
// directory as it was, except the partial outputs that a writer opened
// before the failure keeps.
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace vesk {
namespace {

// Two nodes and one input (row index 10), one edge of each kind.
const std::string kModel = R"({"counts": {"n_nodes": 2, "n_inputs": 1},
  "network_parameters": {"sigmoid": {"theta": 0, "beta": 1, "f_max": 1}},
  "nodes": [{"node_id": 0, "tau": 1, "pop_id": "p0", "pop_typ": "E", "con_typ": "c",
             "circ_id": "k", "h_row": "h", "d_row": "d", "mat_id": "m"},
            {"node_id": 1, "tau": 1, "pop_id": "p1", "pop_typ": "E", "con_typ": "c",
             "circ_id": "k", "h_row": "h", "d_row": "d", "mat_id": "m"}],
  "inputs": [{"input_id": 0, "input_name": "EX1_input_W0", "row_index": 10}],
  "edges": [{"source_kind": "node", "source_id": 0, "target_node_id": 1, "weight_final": 0.5},
            {"source_kind": "input", "source_id": 0, "target_node_id": 0, "weight_final": 1.0}]})";
const std::string kInstructions = "fixed_time 20\nNum_of_words 1\nWord 0 0\n";

std::string repeat(const std::string& text, std::size_t times) {
    std::string result;
    for (std::size_t i = 0; i < times; ++i) result += text;
    return result;
}

std::string with_count(const std::string& key, const std::string& value) {
    std::string text = kModel;
    const std::size_t at = text.find(key) + key.size() + 3;  // past `": `
    return text.replace(at, 1, value);
}

// An output that must remain: how it starts and how many lines it has.
struct Partial {
    std::string file;
    std::string start;
    std::size_t lines;
};

// One failing run: `file` (m.json, i.txt or b.txt) holds `content` instead
// of its valid text, or `option` is given `value` on top of a valid run's
// options (a later value replaces an earlier one). `error` is the first line
// of standard error, or its start when it ends in '*'.
struct BadInput {
    std::string file, content, option, value, error;
    std::vector<Partial> partial = {};
};

BadInput text(const std::string& file, const std::string& content, const std::string& error) {
    return {file, content, "", "", error};
}

BadInput option(const std::string& name, const std::string& value, const std::string& error,
                const std::vector<Partial>& partial = {}) {
    return {"", "", name, value, error, partial};
}

std::map<std::string, std::string> snapshot(const std::string& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        files[std::filesystem::relative(entry.path(), dir).string()] =
            test::read_file(entry.path().string());
    }
    return files;
}

void run_case(const BadInput& c) {
    SCOPED_TRACE(c.error);
    test::TempDir dir;
    std::map<std::string, std::string> inputs = {
        {"m.json", kModel}, {"i.txt", kInstructions}, {"b.txt", "1\n"}};
    if (!c.file.empty()) inputs[c.file] = c.content;
    for (const auto& [name, text] : inputs) dir.write(name, text);
    dir.write("o.csv", "results of an earlier run\n");
    std::filesystem::create_directory(dir.file("d"));
    const auto before = snapshot(dir.path());

    // Every option of a run, each with a file in the working directory; o.csv
    // already holds an earlier run's results.
    std::vector<std::string> args = {"--model",          "m.json", "--instructions",  "i.txt",
                                     "--bindings",       "b.txt",  "--t-end",         "1",
                                     "--output",         "o.csv",  "--output-inputs", "in.csv",
                                     "--output-row-map", "map.csv"};
    if (!c.option.empty()) args.insert(args.end(), {c.option, c.value});
    const auto r = test::run_cli(args, dir.path());
    EXPECT_EQ(r.status, 1);
    const std::vector<std::string> lines = test::split_lines(r.err);
    ASSERT_EQ(lines.size(), 1u) << r.err;
    EXPECT_EQ(r.err.back(), '\n');
    const bool prefix = c.error.back() == '*';
    EXPECT_EQ(prefix ? lines[0].substr(0, c.error.size() - 1) : lines[0],
              prefix ? c.error.substr(0, c.error.size() - 1) : c.error);

    auto after = snapshot(dir.path());
    for (const Partial& p : c.partial) {
        SCOPED_TRACE(p.file);
        const auto it = after.find(p.file);
        ASSERT_NE(it, after.end());
        EXPECT_EQ(it->second.substr(0, p.start.size()), p.start);
        EXPECT_EQ(test::split_lines(it->second).size(), p.lines);
        EXPECT_EQ(it->second.back(), '\n');
        after.erase(it);
        if (before.count(p.file)) after[p.file] = before.at(p.file);
    }
    EXPECT_TRUE(after == before) << "an output file was created or changed";
}

TEST(BadInput, EveryInputPathFailsCleanly) {
    const std::string parse_error = "Error: JSON parse error in m.json: *";
    const std::string too_large = "Error: Model too large for this machine: n_nodes=";
    const std::string long_line = " longer than 16777216 bytes";  // the 16 MiB line limit
    std::string binary = "\x89PNG\r\n\x1a\n";  // a PNG header and 4 KiB of scrambled bytes
    for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 7919 + 13) % 256);
    // The row map is complete before the node traces are opened, and the
    // node traces before the input traces; a writer opened before the
    // failure keeps what it wrote.
    const Partial row_map{"map.csv",
                          "row_index,pop_id,pop_typ,con_typ,circ_id,h_row,d_row,mat_id\n0,p0,E,c,"
                          "k,h,d,m\n1,p1,E,c,k,h,d,m\n10,EX1_input_W0,external,excitation,null,"
                          "null,null,null\n",
                          4};
    const std::vector<BadInput> cases = {
        // Model text that is no JSON document, or one nested far deeper than
        // any call stack would hold if parsed recursively.
        text("m.json", "", parse_error),
        text("m.json", kModel.substr(0, kModel.size() / 2), parse_error),
        text("m.json", binary, parse_error),
        text("m.json", kModel.substr(0, 20) + '\0' + kModel.substr(20), parse_error),
        text("m.json", repeat("[", 100000) + repeat("]", 100000),
             "Error: JSON nesting deeper than 64 levels in m.json: no contract nests that deep"),
        // Counts within 32 bits that promise more than any machine holds.
        text("m.json", with_count("n_nodes", "2000000000"), too_large + "2000000000 and *"),
        text("m.json", with_count("n_inputs", "2000000000"), too_large + "2 and n_inputs=2000*"),
        // Inputs that are no regular files: a directory and /proc/self/mem
        // open without error and fail at the first read, for root too;
        // /dev/zero is one endless line.
        option("--model", "d", "Error: Failed to read model file: d"),
        option("--model", "/proc/self/mem", "Error: Failed to read model file: /proc/self/mem"),
        option("--instructions", "d", "Error: Failed to read instruction file: d"),
        option("--instructions", "/dev/zero", "Error: /dev/zero:1: line is" + long_line),
        option("--bindings", "d", "Error: Failed to read bindings file: d"),
        option("--bindings", "/dev/zero", "Error: Line 1 of the bindings file is" + long_line),
        // Outputs that cannot be written (those that would destroy an input:
        // cli_test.cpp).
        option("--output", "nodir/o.csv",
               "Error: write_csv: failed to open output file: nodir/o.csv", {row_map}),
        option("--output-inputs", "nodir/in.csv",
               "Error: write_csv: failed to open output file: nodir/in.csv",
               {row_map, {"o.csv", "time_ms,0,1\n", 1}}),
        option("--output-row-map", "nodir/map.csv",
               "Error: write_row_map_csv: failed to open output file: nodir/map.csv"),
        option("--output-row-map", "/dev/full",
               "Error: write_row_map_csv: failed to write output file: /dev/full"),
        // The input traces hold their header and all ten samples of 1 ms.
        option("--output", "/dev/full", "Error: write_csv: failed to write output file: /dev/full",
               {row_map, {"in.csv", "time_ms,10\n0,100\n", 11}}),
        // Instruction and bindings text: errors after a million lines or a
        // 4 MiB line are still found and counted right; the largest word
        // count gives the last word a name without overflow. (Long lines, NUL
        // and control bytes of the text formats: see their parsers' tests.)
        text("i.txt", repeat("Noun 0 5\n", 1000000) + "Noun 5 5\n",
             "Error: i.txt:1000001: window end 5 does not lie after start 5"),
        text("i.txt", "Num_of_words 2147483647\nWord 0 5 2147483646\n",
             "Error: Instruction target 'EX1_input_W2147483646' is not an external input in the "
             "loaded model"),
        text("b.txt", "#" + std::string(4 << 20, 'x') + "\n-3\n",
             "Error: Negative binding index encountered: -3"),
    };
    for (const auto& c : cases) run_case(c);
}

}  // namespace
}  // namespace vesk
