// Broken and hostile input on every input path of a run. Each case starts
// the real vesk-sim and expects status 1, exactly one error line (no crash,
// no sanitizer report), and every file in the working directory as it was,
// except the partial outputs that a writer opened before the failure keeps.
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "test_support.hpp"

namespace vesk {
namespace {

using json = nlohmann::json;
using namespace std::string_literals;

// Two nodes and one input (row index 10), one edge of each kind.
json good_model() {
    json doc = json::parse(R"({"counts": {"n_nodes": 2, "n_inputs": 1},
      "network_parameters": {"sigmoid": {"theta": 0, "beta": 1, "f_max": 1}},
      "inputs": [{"input_id": 0, "input_name": "EX1_input_W0", "row_index": 10}],
      "edges": [{"source_kind": "node", "source_id": 0, "target_node_id": 1, "weight_final": 0.5},
                {"source_kind": "input", "source_id": 0, "target_node_id": 0, "weight_final": 1.0}]})");
    for (int i = 0; i < 2; ++i) {
        doc["nodes"].push_back({{"node_id", i},
                                {"tau", 1.0},
                                {"pop_id", "p" + std::to_string(i)},
                                {"pop_typ", "E"},
                                {"con_typ", "c"},
                                {"circ_id", "k"},
                                {"h_row", "h"},
                                {"d_row", "d"},
                                {"mat_id", "m"}});
    }
    return doc;
}

std::string model_with(const std::function<void(json&)>& change) {
    json doc = good_model();
    change(doc);
    return doc.dump();
}

// The model text with `number` spliced in as the value of `key`, for numbers
// that the library could not hold itself.
std::string model_with_number(const std::string& key, const std::string& number) {
    std::string text = good_model().dump();
    const std::size_t at = text.find("\"" + key + "\":") + key.size() + 3;
    return text.replace(at, text.find_first_of(",}", at) - at, number);
}

std::string repeat(const std::string& text, std::size_t times) {
    std::string result;
    for (std::size_t i = 0; i < times; ++i) result += text;
    return result;
}

const std::string kInstructions = "fixed_time 20\nNum_of_words 1\nWord 0 0\n";

// An output that must remain: how it starts and how many lines it has.
struct Partial {
    std::string file;
    std::string start;
    std::size_t lines;
};

enum class Match { exact, prefix };

// One failing run. Inputs not given are those of a valid run; options
// replace the value of an option of kRunArgs, or are added.
struct BadInput {
    std::string name;
    std::optional<std::string> model = {};
    std::optional<std::string> instructions = {};
    std::optional<std::string> bindings = {};
    std::vector<std::pair<std::string, std::string>> options = {};
    std::string error = {};  // the first line of standard error, without its newline
    Match match = Match::exact;
    std::vector<Partial> partial = {};
};

// Every option of a run, each with a file in the working directory; o.csv
// already holds an earlier run's results.
const std::vector<std::string> kRunArgs = {
    "--model",  "m.json", "--instructions",  "i.txt",  "--bindings",       "b.txt",  "--t-end", "1",
    "--output", "o.csv",  "--output-inputs", "in.csv", "--output-row-map", "map.csv"};

std::vector<std::string> run_args(const std::vector<std::pair<std::string, std::string>>& options) {
    std::vector<std::string> args = kRunArgs;
    for (const auto& [option, value] : options) {
        auto it = args.begin();
        while (it != args.end() && *it != option) it += 2;
        if (it == args.end()) {
            args.insert(args.end(), {option, value});
        } else {
            *(it + 1) = value;
        }
    }
    return args;
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

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t begin = 0; begin < text.size();) {
        const std::size_t end = text.find('\n', begin);
        lines.push_back(text.substr(begin, end == std::string::npos ? end : end - begin));
        if (end == std::string::npos) break;
        begin = end + 1;
    }
    return lines;
}

void run_case(const BadInput& c) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    dir.write("m.json", c.model.value_or(good_model().dump()));
    dir.write("i.txt", c.instructions.value_or(kInstructions));
    dir.write("b.txt", c.bindings.value_or("1\n"));
    dir.write("o.csv", "results of an earlier run\n");
    std::filesystem::create_directory(dir.file("d"));
    const auto before = snapshot(dir.path());

    const auto r = test::run_cli(run_args(c.options), dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
    const std::vector<std::string> lines = lines_of(r.err);
    ASSERT_EQ(lines.size(), 1u) << r.err;
    EXPECT_EQ(r.err.back(), '\n');
    EXPECT_EQ(c.match == Match::exact ? lines[0] : lines[0].substr(0, c.error.size()), c.error);

    auto after = snapshot(dir.path());
    for (const Partial& p : c.partial) {
        SCOPED_TRACE(p.file);
        const auto it = after.find(p.file);
        ASSERT_NE(it, after.end());
        EXPECT_EQ(it->second.substr(0, p.start.size()), p.start);
        EXPECT_EQ(lines_of(it->second).size(), p.lines);
        EXPECT_EQ(it->second.back(), '\n');
        after.erase(it);
        if (before.count(p.file)) after[p.file] = before.at(p.file);
    }
    EXPECT_TRUE(after == before) << "an output file was created or changed";
}

TEST(BadInput, EveryInputPathFailsCleanly) {
    const std::string parse_error =
        "Error: JSON parse error in m.json: [json.exception.parse_error.101] ";
    const std::string at_error = "Error: [json.exception.type_error.304] cannot use at() with ";
    const std::string type_error = "Error: [json.exception.type_error.302] type must be ";
    const std::string not_int = "Error: Value of '";
    const std::string too_large = "Error: Model too large for this machine: ";
    const std::string text = good_model().dump();
    std::string binary = "\x89PNG\r\n\x1a\n";
    for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 7919 + 13) % 256);
    const std::string too_long = std::string((16 << 20) + 1, ' ') + "\n";
    const std::string long_comment = "#" + std::string(4 << 20, 'x') + "\n";
    // The row map is complete before the node traces are opened, and the
    // node traces before the input traces; a writer opened before the
    // failure keeps what it wrote.
    const std::string row_map =
        "row_index,pop_id,pop_typ,con_typ,circ_id,h_row,d_row,mat_id\n0,p0,E,c,k,h,d,m\n"
        "1,p1,E,c,k,h,d,m\n10,EX1_input_W0,external,excitation,null,null,null,null\n";
    const Partial full_row_map{"map.csv", row_map, 4};

    const std::vector<BadInput> cases = {
        // Model text that is no JSON document.
        {.name = "empty model",
         .model = "",
         .error = parse_error +
                  "parse error at line 1, column 1: attempting to parse an empty input; check "
                  "that your input string or stream contains the expected JSON"},
        {.name = "truncated model",
         .model = text.substr(0, text.size() / 2),
         .error = parse_error,
         .match = Match::prefix},
        {.name = "binary model", .model = binary, .error = parse_error, .match = Match::prefix},
        {.name = "NUL model",
         .model = std::string(4096, '\0'),
         .error = parse_error,
         .match = Match::prefix},
        {.name = "NUL inside model",
         .model = text.substr(0, 20) + '\0' + text.substr(20),
         .error = parse_error,
         .match = Match::prefix},
        {.name = "comment in model",
         .model = "// model\n" + text,
         .error = parse_error,
         .match = Match::prefix},
        {.name = "deeply nested model",
         .model = repeat("[", 100000) + repeat("]", 100000),
         .error = at_error + "array"},

        // Wrong types at the top and nested levels.
        {.name = "top level null", .model = "null", .error = at_error + "null"},
        {.name = "counts",
         .model = model_with([](json& d) {
             d["counts"] = {1, 2};
         }),
         .error = at_error + "array"},
        {.name = "n_nodes",
         .model = model_with([](json& d) { d["counts"]["n_nodes"] = "2"; }),
         .error = type_error + "number, but is string"},
        {.name = "wc_coupling",
         .model = model_with([](json& d) { d["network_parameters"]["wc_coupling"] = {1}; }),
         .error = "Error: [json.exception.type_error.306] cannot use value() with array"},
        {.name = "weight_final",
         .model = model_with([](json& d) { d["edges"][1]["weight_final"] = "1"; }),
         .error = type_error + "number, but is string"},

        // Numbers beyond a double, and beyond the 32-bit integers.
        {.name = "theta beyond double",
         .model = model_with_number("theta", "1e400"),
         .error = "Error: [json.exception.out_of_range.406] number overflow parsing '1e400'"},
        {.name = "n_nodes beyond int",
         .model = model_with_number("n_nodes", "2147483648"),
         .error = not_int + "n_nodes' does not fit a 32-bit integer: 2147483648"},
        {.name = "row_index beyond 64 bits",
         .model = model_with_number("row_index", "18446744073709551616"),
         .error = not_int + "row_index' does not fit a 32-bit integer: 1.8446744073709552e+19"},
        {.name = "source_id unsigned 64",
         .model = model_with_number("source_id", "18446744073709551615"),
         .error = not_int + "source_id' does not fit a 32-bit integer: 18446744073709551615"},
        {.name = "target truncated into range",
         .model = model_with_number("target_node_id", "-2147483648.5"),
         .error = "Error: target_node_id out of bounds while parsing edges array"},

        // Counts that promise more than any machine holds.
        {.name = "two billion nodes",
         .model = model_with([](json& d) {
             d["counts"]["n_nodes"] = 2000000000;
             d["nodes"] = d["edges"] = json::array();
         }),
         .error = too_large + "n_nodes=2000000000 and n_inputs=1 need at least ",
         .match = Match::prefix},
        {.name = "two billion inputs",
         .model = model_with([](json& d) { d["counts"]["n_inputs"] = 2000000000; }),
         .error = too_large + "n_nodes=2 and n_inputs=2000000000 need at least ",
         .match = Match::prefix},

        // Inputs that are no regular files: a directory and /proc/self/mem
        // open without error and fail at the first read, for root too;
        // /dev/zero is one endless line.
        {.name = "model directory",
         .options = {{"--model", "d"}},
         .error = "Error: Failed to read model file: d"},
        {.name = "model /proc/self/mem",
         .options = {{"--model", "/proc/self/mem"}},
         .error = "Error: Failed to read model file: /proc/self/mem"},
        {.name = "instructions directory",
         .options = {{"--instructions", "d"}},
         .error = "Error: Failed to read instruction file: d"},
        {.name = "instructions /dev/zero",
         .options = {{"--instructions", "/dev/zero"}},
         .error = "Error: /dev/zero:1: line is longer than 16777216 bytes"},
        {.name = "bindings directory",
         .options = {{"--bindings", "d"}},
         .error = "Error: Failed to read bindings file: d"},
        {.name = "bindings /dev/zero",
         .options = {{"--bindings", "/dev/zero"}},
         .error = "Error: Line 1 of the bindings file is longer than 16777216 bytes"},

        // Outputs that cannot be written, or would destroy an input.
        {.name = "nodes in a missing directory",
         .options = {{"--output", "nodir/o.csv"}},
         .error = "Error: write_csv: failed to open output file: nodir/o.csv",
         .partial = {full_row_map}},
        {.name = "inputs in a missing directory",
         .options = {{"--output-inputs", "nodir/in.csv"}},
         .error = "Error: write_csv: failed to open output file: nodir/in.csv",
         .partial = {full_row_map, {"o.csv", "time_ms,0,1\n", 1}}},
        {.name = "row map to a full disk",
         .options = {{"--output-row-map", "/dev/full"}},
         .error = "Error: write_row_map_csv: failed to write output file: /dev/full"},
        {.name = "nodes to a full disk",
         .options = {{"--output", "/dev/full"}},
         .error = "Error: write_csv: failed to write output file: /dev/full",
         .partial = {full_row_map, {"in.csv", "time_ms,10\n0,100\n", 11}}},
        {.name = "nodes over the model",
         .options = {{"--output", "m.json"}},
         .error = "Error: --output would overwrite the file given as --model: m.json"},

        // Instruction and bindings text.
        {.name = "instruction NUL bytes",
         .instructions = "fixed_time 20\nNoun\0 5\n"s,
         .error = "Error: i.txt:2: unknown command 'Noun\\x00'"},
        {.name = "instruction line beyond the limit",
         .instructions = kInstructions + too_long,
         .error = "Error: i.txt:4: line is longer than 16777216 bytes"},
        {.name = "instruction error after a million lines",
         .instructions = repeat("Noun 0 5\n", 1000000) + "Noun 5 5\n",
         .error = "Error: i.txt:1000001: window end 5 does not lie after start 5"},
        {.name = "instruction word beyond any model",
         .instructions = "Num_of_words 2147483647\nWord 0 5 2147483646\n",
         .error = "Error: Instruction target 'EX1_input_W2147483646' is not an external input in "
                  "the loaded model"},
        {.name = "bindings NUL bytes",
         .bindings = "1\n99999999999\0\n"s,
         .error = "Error: Binding index out of range in line: 99999999999\\x00"},
        {.name = "bindings long line before an error",
         .bindings = long_comment + "-3\n",
         .error = "Error: Negative binding index encountered: -3"},
        {.name = "bindings line beyond the limit",
         .bindings = "1\n" + too_long,
         .error = "Error: Line 2 of the bindings file is longer than 16777216 bytes"},
        {.name = "bindings error after a million lines",
         .bindings = repeat("0\n", 1000000) + "-1\n",
         .error = "Error: Negative binding index encountered: -1"},
    };
    for (const auto& c : cases) run_case(c);
}

TEST(BadInput, HostileButValidTextRuns) {
    // Inputs that look broken but follow the formats: the run completes.
    const struct {
        const char* name;
        std::string instructions;
        std::string bindings;
    } cases[] = {
        {"NUL-filled bindings", kInstructions, std::string(4096, '\0')},
        {"NUL after the leading number", kInstructions, "1\0\0\n0\0x\n"s},
        {"a million bindings and windows", "Num_of_words 1\n" + repeat("Word 0 5 0\n", 1000000),
         repeat("1\n", 1000000)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        dir.write("m.json", good_model().dump());
        dir.write("i.txt", c.instructions);
        dir.write("b.txt", c.bindings);
        const auto r = test::run_cli(run_args({{"--t-end", "0.2"}}), dir.path());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(lines_of(test::read_file(dir.file("o.csv"))).size(), 3u);
    }
}

}  // namespace
}  // namespace vesk
