// Broken and hostile input on every input path of a run. Each case starts
// the real vesk-sim and expects status 1, exactly one error line (no crash,
// no sanitizer report), and every file in the working directory as it was,
// except the partial outputs that a writer opened before the failure keeps.
#include <sys/stat.h>
#include <unistd.h>

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
    json nodes = json::array();
    for (int i = 0; i < 2; ++i) {
        nodes.push_back({{"node_id", i},
                         {"tau", 1.0},
                         {"pop_id", "p" + std::to_string(i)},
                         {"pop_typ", "E"},
                         {"con_typ", "c"},
                         {"circ_id", "k"},
                         {"h_row", "h"},
                         {"d_row", "d"},
                         {"mat_id", "m"}});
    }
    return {
        {"counts", {{"n_nodes", 2}, {"n_inputs", 1}}},
        {"network_parameters", {{"sigmoid", {{"theta", 0}, {"beta", 1}, {"f_max", 1}}}}},
        {"nodes", nodes},
        {"inputs", {{{"input_id", 0}, {"input_name", "EX1_input_W0"}, {"row_index", 10}}}},
        {"edges",
         {{{"source_kind", "node"}, {"source_id", 0}, {"target_node_id", 1}, {"weight_final", 0.5}},
          {{"source_kind", "input"},
           {"source_id", 0},
           {"target_node_id", 0},
           {"weight_final", 1.0}}}}};
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
    const std::string needle = "\"" + key + "\":";
    const std::size_t at = text.find(needle) + needle.size();
    const std::size_t end = text.find_first_of(",}", at);
    return text.replace(at, end - at, number);
}

const std::string kInstructions = "fixed_time 20\nNum_of_words 1\nWord 0 0\n";
const std::string kBindings = "1\n";
const std::string kEarlier = "results of an earlier run\n";
const std::string kRowMap =
    "row_index,pop_id,pop_typ,con_typ,circ_id,h_row,d_row,mat_id\n"
    "0,p0,E,c,k,h,d,m\n1,p1,E,c,k,h,d,m\n10,EX1_input_W0,external,excitation,null,null,null,null\n";

std::string repeat(const std::string& text, std::size_t times) {
    std::string result;
    result.reserve(text.size() * times);
    for (std::size_t i = 0; i < times; ++i) result += text;
    return result;
}

// An output that must remain: how it starts and how many lines it has.
struct Partial {
    std::string file;
    std::string start;
    std::size_t lines;
};

const Partial kFullRowMap{"map.csv", kRowMap, 4};

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
            args.push_back(option);
            args.push_back(value);
        } else {
            *(it + 1) = value;
        }
    }
    return args;
}

using Snapshot = std::map<std::string, std::string>;

Snapshot snapshot(const std::string& dir) {
    Snapshot files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        files[std::filesystem::relative(entry.path(), dir).string()] =
            test::read_file(entry.path().string());
    }
    return files;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t begin = 0;
    while (begin < text.size()) {
        const std::size_t end = text.find('\n', begin);
        lines.push_back(text.substr(begin, end == std::string::npos ? end : end - begin));
        if (end == std::string::npos) break;
        begin = end + 1;
    }
    return lines;
}

// Status 1 and one "Error: " line, as expected; `alone` when nothing else
// (such as the usage text) may follow it.
void expect_one_error(const test::CliResult& r, const std::string& error, Match match, bool alone) {
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
    const std::vector<std::string> lines = lines_of(r.err);
    ASSERT_FALSE(lines.empty());
    if (match == Match::exact) {
        EXPECT_EQ(lines[0], error);
    } else {
        EXPECT_EQ(lines[0].substr(0, error.size()), error);
    }
    std::size_t error_lines = 0;
    for (const std::string& line : lines) error_lines += line.rfind("Error: ", 0) == 0;
    EXPECT_EQ(error_lines, 1u) << r.err;
    if (alone) {
        EXPECT_EQ(lines.size(), 1u);
        EXPECT_EQ(r.err.back(), '\n');
    }
}

void run_case(const BadInput& c) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    dir.write("m.json", c.model.value_or(good_model().dump()));
    dir.write("i.txt", c.instructions.value_or(kInstructions));
    dir.write("b.txt", c.bindings.value_or(kBindings));
    dir.write("o.csv", kEarlier);
    std::filesystem::create_directory(dir.file("d"));
    const Snapshot before = snapshot(dir.path());

    const auto r = test::run_cli(run_args(c.options), dir.path());
    expect_one_error(r, c.error, c.match, true);

    Snapshot after = snapshot(dir.path());
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

std::string at_error(const std::string& type) {
    return "Error: [json.exception.type_error.304] cannot use at() with " + type;
}

std::string type_error(const std::string& expected, const std::string& found) {
    return "Error: [json.exception.type_error.302] type must be " + expected + ", but is " + found;
}

TEST(BadInput, ModelFiles) {
    const std::string parse_error =
        "Error: JSON parse error in m.json: [json.exception.parse_error.101] ";
    const std::string text = good_model().dump();
    std::string binary = "\x89PNG\r\n\x1a\n";
    for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 7919 + 13) % 256);
    std::string utf16 = "\xff\xfe";
    for (const char ch : text) utf16 += {ch, '\0'};
    const std::string too_large = "Error: Model too large for this machine: ";

    const std::vector<BadInput> cases = {
        {.name = "empty",
         .model = "",
         .error = parse_error +
                  "parse error at line 1, column 1: attempting to parse an empty input; check "
                  "that your input string or stream contains the expected JSON"},
        {.name = "blank", .model = " \n\t\r\n", .error = parse_error, .match = Match::prefix},
        {.name = "truncated",
         .model = text.substr(0, text.size() / 2),
         .error = parse_error,
         .match = Match::prefix},
        {.name = "truncated in a string",
         .model = text.substr(0, text.find("p1") + 1),
         .error = parse_error,
         .match = Match::prefix},
        {.name = "binary", .model = binary, .error = parse_error, .match = Match::prefix},
        {.name = "NUL-filled",
         .model = std::string(4096, '\0'),
         .error = parse_error,
         .match = Match::prefix},
        {.name = "NUL inside",
         .model = text.substr(0, 20) + '\0' + text.substr(20),
         .error = parse_error,
         .match = Match::prefix},
        {.name = "UTF-16", .model = utf16, .error = parse_error, .match = Match::prefix},
        {.name = "comment",
         .model = "// model\n" + text,
         .error = parse_error,
         .match = Match::prefix},
        {.name = "deeply nested",
         .model = repeat("[", 100000) + repeat("]", 100000),
         .error = at_error("array")},

        // A wrong type at every level.
        {.name = "top level null", .model = "null", .error = at_error("null")},
        {.name = "top level string", .model = "\"model\"", .error = at_error("string")},
        {.name = "counts",
         .model = model_with([](json& d) {
             d["counts"] = {1, 2};
         }),
         .error = at_error("array")},
        {.name = "n_nodes",
         .model = model_with([](json& d) { d["counts"]["n_nodes"] = "2"; }),
         .error = type_error("number", "string")},
        {.name = "n_inputs",
         .model = model_with([](json& d) { d["counts"]["n_inputs"] = nullptr; }),
         .error = type_error("number", "null")},
        {.name = "network_parameters",
         .model = model_with([](json& d) { d["network_parameters"] = "x"; }),
         .error = at_error("string")},
        {.name = "sigmoid",
         .model = model_with([](json& d) { d["network_parameters"]["sigmoid"] = 1; }),
         .error = at_error("number")},
        {.name = "theta",
         .model = model_with([](json& d) { d["network_parameters"]["sigmoid"]["theta"] = true; }),
         .error = type_error("number", "boolean")},
        {.name = "wc_coupling",
         .model = model_with([](json& d) { d["network_parameters"]["wc_coupling"] = {1}; }),
         .error = "Error: [json.exception.type_error.306] cannot use value() with array"},
        {.name = "tau_E",
         .model = model_with([](json& d) {
             d["network_parameters"]["wc_coupling"] = {{"tau_E", json::object()}};
         }),
         .error = type_error("number", "object")},
        {.name = "nodes",
         .model = model_with([](json& d) { d["nodes"] = "n"; }),
         .error = at_error("string")},
        {.name = "node",
         .model = model_with([](json& d) { d["nodes"][0] = 3; }),
         .error = at_error("number")},
        {.name = "node_id",
         .model = model_with([](json& d) { d["nodes"][0]["node_id"] = {0}; }),
         .error = type_error("number", "array")},
        {.name = "is_excitatory",
         .model = model_with([](json& d) { d["nodes"][1]["is_excitatory"] = "yes"; }),
         .error = type_error("boolean", "string")},
        {.name = "pop_id",
         .model = model_with([](json& d) { d["nodes"][1]["pop_id"] = 5; }),
         .error = type_error("string", "number")},
        {.name = "inputs",
         .model = model_with([](json& d) { d["inputs"] = 7; }),
         .error = at_error("number")},
        {.name = "input_name",
         .model = model_with([](json& d) { d["inputs"][0]["input_name"] = nullptr; }),
         .error = type_error("string", "null")},
        {.name = "input row_index",
         .model = model_with([](json& d) { d["inputs"][0]["row_index"] = "1"; }),
         .error = type_error("number", "string")},
        {.name = "edges",
         .model = model_with([](json& d) { d["edges"] = "e"; }),
         .error = at_error("string")},
        {.name = "edge",
         .model = model_with([](json& d) { d["edges"][1] = json::array(); }),
         .error = at_error("array")},
        {.name = "source_kind",
         .model = model_with([](json& d) { d["edges"][0]["source_kind"] = 1; }),
         .error = type_error("string", "number")},
        {.name = "weight_final",
         .model = model_with([](json& d) { d["edges"][1]["weight_final"] = "1"; }),
         .error = type_error("number", "string")},

        // Numbers beyond a double, and beyond the 32-bit integers.
        {.name = "theta beyond double",
         .model = model_with_number("theta", "1e400"),
         .error = "Error: [json.exception.out_of_range.406] number overflow parsing '1e400'"},
        {.name = "weight beyond double",
         .model = model_with_number("weight_final", "-1.8e308"),
         .error = "Error: [json.exception.out_of_range.406] number overflow parsing '-1.8e308'"},
        {.name = "n_nodes beyond int",
         .model = model_with_number("n_nodes", "2147483648"),
         .error = "Error: Value of 'n_nodes' does not fit a 32-bit integer: 2147483648"},
        {.name = "n_inputs below int",
         .model = model_with_number("n_inputs", "-2147483649"),
         .error = "Error: Value of 'n_inputs' does not fit a 32-bit integer: -2147483649"},
        {.name = "node_id float beyond int",
         .model = model_with_number("node_id", "1e10"),
         .error = "Error: Value of 'node_id' does not fit a 32-bit integer: 10000000000.0"},
        {.name = "row_index beyond 64 bits",
         .model = model_with_number("row_index", "18446744073709551616"),
         .error = "Error: Value of 'row_index' does not fit a 32-bit integer: "
                  "1.8446744073709552e+19"},
        {.name = "source_id unsigned 64",
         .model = model_with_number("source_id", "18446744073709551615"),
         .error = "Error: Value of 'source_id' does not fit a 32-bit integer: "
                  "18446744073709551615"},
        {.name = "target truncated into range",
         .model = model_with_number("target_node_id", "-2147483648.5"),
         .error = "Error: target_node_id out of bounds while parsing edges array"},

        // Counts that promise more than any machine holds.
        {.name = "two billion nodes",
         .model = model_with([](json& d) {
             d["counts"]["n_nodes"] = 2000000000;
             d["nodes"] = json::array();
             d["edges"] = json::array();
         }),
         .error = too_large + "n_nodes=2000000000 and n_inputs=1 need at least ",
         .match = Match::prefix},
        {.name = "two billion inputs",
         .model = model_with([](json& d) { d["counts"]["n_inputs"] = 2000000000; }),
         .error = too_large + "n_nodes=2 and n_inputs=2000000000 need at least ",
         .match = Match::prefix},
    };
    for (const auto& c : cases) run_case(c);
}

TEST(BadInput, InputPaths) {
    // Directories and /proc/self/mem open without error and fail at the
    // first read, for root too; /dev/zero is one endless line.
    const struct {
        const char* option;
        const char* path;
        const char* error;
    } cases[] = {
        {"--model", "d", "Error: Failed to read model file: d"},
        {"--model", "/proc/self/mem", "Error: Failed to read model file: /proc/self/mem"},
        {"--model", "m.json/x", "Error: Failed to open model file: m.json/x"},
        {"--instructions", "d", "Error: Failed to read instruction file: d"},
        {"--instructions", "/proc/self/mem",
         "Error: Failed to read instruction file: /proc/self/mem"},
        {"--instructions", "none.txt", "Error: Failed to open instruction file: none.txt"},
        {"--instructions", "/dev/zero", "Error: /dev/zero:1: line is longer than 16777216 bytes"},
        {"--bindings", "d", "Error: Failed to read bindings file: d"},
        {"--bindings", "/proc/self/mem", "Error: Failed to read bindings file: /proc/self/mem"},
        {"--bindings", "none.txt", "Error: Failed to open bindings file: none.txt"},
        {"--bindings", "/dev/zero",
         "Error: Line 1 of the bindings file is longer than 16777216 bytes"},
    };
    for (const auto& c : cases) {
        run_case({.name = std::string(c.option) + " " + c.path,
                  .options = {{c.option, c.path}},
                  .error = c.error});
    }
}

TEST(BadInput, FilesUnreadableByTheUser) {
    // Permissions do not hold back root, who reads any file.
    if (geteuid() == 0) GTEST_SKIP() << "running as root";
    for (const char* option : {"--model", "--instructions", "--bindings"}) {
        const std::string what = option == std::string("--model")          ? "model"
                                 : option == std::string("--instructions") ? "instruction"
                                                                           : "bindings";
        test::TempDir dir;
        dir.write("m.json", good_model().dump());
        dir.write("i.txt", kInstructions);
        dir.write("b.txt", kBindings);
        const std::string locked = dir.write("locked", "1\n");
        ASSERT_EQ(chmod(locked.c_str(), 0), 0);
        const auto r = test::run_cli(run_args({{option, "locked"}}), dir.path());
        expect_one_error(r, "Error: Failed to open " + what + " file: locked", Match::exact, true);
        EXPECT_FALSE(test::file_exists(dir.file("o.csv")));
        EXPECT_FALSE(test::file_exists(dir.file("map.csv")));
    }
}

TEST(BadInput, OutputPaths) {
    // The row map is complete before the node traces are opened, and the
    // node traces before the input traces; a writer opened before the
    // failure keeps what it wrote.
    const Partial nodes_header{"o.csv", "time_ms,0,1\n", 1};
    const Partial full_nodes{"o.csv", "time_ms,0,1\n0,0,0\n", 11};
    const Partial full_inputs{"in.csv", "time_ms,10\n0,100\n", 11};
    const std::vector<BadInput> cases = {
        {.name = "nodes in a missing directory",
         .options = {{"--output", "nodir/o.csv"}},
         .error = "Error: write_csv: failed to open output file: nodir/o.csv",
         .partial = {kFullRowMap}},
        {.name = "row map in a missing directory",
         .options = {{"--output-row-map", "nodir/map.csv"}},
         .error = "Error: write_row_map_csv: failed to open output file: nodir/map.csv"},
        {.name = "inputs in a missing directory",
         .options = {{"--output-inputs", "nodir/in.csv"}},
         .error = "Error: write_csv: failed to open output file: nodir/in.csv",
         .partial = {kFullRowMap, nodes_header}},
        {.name = "nodes to a directory",
         .options = {{"--output", "d"}},
         .error = "Error: write_csv: failed to open output file: d",
         .partial = {kFullRowMap}},
        {.name = "row map to a full disk",
         .options = {{"--output-row-map", "/dev/full"}},
         .error = "Error: write_row_map_csv: failed to write output file: /dev/full"},
        {.name = "nodes to a full disk",
         .options = {{"--output", "/dev/full"}},
         .error = "Error: write_csv: failed to write output file: /dev/full",
         .partial = {kFullRowMap, full_inputs}},
        {.name = "inputs to a full disk",
         .options = {{"--output-inputs", "/dev/full"}},
         .error = "Error: write_csv: failed to write output file: /dev/full",
         .partial = {kFullRowMap, full_nodes}},
    };
    for (const auto& c : cases) run_case(c);
}

TEST(BadInput, InstructionAndBindingsText) {
    const std::string digits(1 << 20, '9');
    const std::string long_comment = "#" + std::string(4 << 20, 'x') + "\n";
    const std::string too_long = std::string((16 << 20) + 1, ' ') + "\n";
    const std::vector<BadInput> cases = {
        {.name = "instruction NUL bytes",
         .instructions = "fixed_time 20\nNoun\0 5\n"s,
         .error = "Error: i.txt:2: unknown command 'Noun\\x00'"},
        {.name = "instruction file of NULs",
         .instructions = std::string(64, '\0'),
         .error = "Error: i.txt:1: unknown command '" + repeat("\\x00", 64) + "'"},
        {.name = "instruction lines ended by CR only",
         .instructions = "fixed_time 20\rNoun 5\r",
         .error = "Error: i.txt:1: fixed_time takes exactly one value"},
        {.name = "instruction long line before an error",
         .instructions = long_comment + "bogus 1\n",
         .error = "Error: i.txt:2: unknown command 'bogus'"},
        {.name = "instruction line beyond the limit",
         .instructions = kInstructions + too_long,
         .error = "Error: i.txt:4: line is longer than 16777216 bytes"},
        {.name = "instruction long token",
         .instructions = "Noun " + digits + " 5\n",
         .error = "Error: i.txt:1: rel_start out of integer range: '" + digits + "'"},
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
        {.name = "bindings long number",
         .bindings = "-" + digits + "\n",
         .error = "Error: Binding index out of range in line: -" + digits},
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
        {"long comments", "#" + std::string(1 << 20, 'x') + "\n" + kInstructions,
         "#" + std::string(1 << 20, 'y') + "\n1\n"},
        {"a million bindings", kInstructions, repeat("1\n", 1000000)},
        {"a million windows", "Num_of_words 1\n" + repeat("Word 0 5 0\n", 1000000), kBindings},
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

// Malformed command lines not covered by the command-line tests: the error
// line comes first and the usage text follows where it belongs.
TEST(BadInput, CommandLines) {
    const std::vector<std::string> model = {"--model", "m.json", "--output", "o.csv"};
    const auto with = [&model](std::vector<std::string> extra) {
        extra.insert(extra.begin(), model.begin(), model.end());
        return extra;
    };
    const std::string required =
        "Error: --model, --output, and one of --t-end or --n-steps (> 0) are required";
    const auto unrecognized = [](const std::string& word) {
        return "Error: unrecognized or incomplete argument '" + word + "'";
    };
    const auto bad_t_end = [](const std::string& value) {
        return "Error: --t-end needs a number of milliseconds within the range of a double, got '" +
               value + "'";
    };
    const auto bad_n_steps = [](const std::string& value) {
        return "Error: --n-steps needs a whole number between -2147483648 and 2147483647, got '" +
               value + "'";
    };
    const struct {
        std::vector<std::string> args;
        std::string error;
        bool usage;
    } cases[] = {
        {with({"--t-end", "1", "--output"}), unrecognized("--output"), true},
        {with({"--t-end"}), unrecognized("--t-end"), true},
        {with({"--n-steps"}), unrecognized("--n-steps"), true},
        {with({"--t-end", "1", "--instructions"}), unrecognized("--instructions"), true},
        {with({"--t-end", "1", "--bindings"}), unrecognized("--bindings"), true},
        {with({"--t-end", "1", "--output-inputs"}), unrecognized("--output-inputs"), true},
        {with({"--t-end", "1", "--output-row-map"}), unrecognized("--output-row-map"), true},
        {with({"-model", "m.json"}), unrecognized("-model"), true},
        {with({"--Model", "m.json"}), unrecognized("--Model"), true},
        {with({"--help=1"}), unrecognized("--help=1"), true},
        {with({"--reproducible=1"}), unrecognized("--reproducible=1"), true},
        {with({"m.json"}), unrecognized("m.json"), true},
        {with({""}), unrecognized(""), true},
        {with({"--"}), unrecognized("--"), true},
        {with({"--t-end", ""}), bad_t_end(""), false},
        {with({"--t-end", " "}), bad_t_end(" "), false},
        {with({"--t-end", "-1e400"}), bad_t_end("-1e400"), false},
        {with({"--t-end", "ms5"}), bad_t_end("ms5"), false},
        {with({"--n-steps", ""}), bad_n_steps(""), false},
        {with({"--n-steps", "+"}), bad_n_steps("+"), false},
        {with({"--n-steps", "-2147483649"}), bad_n_steps("-2147483649"), false},
        {with({"--n-steps", "99999999999999999999999"}), bad_n_steps("99999999999999999999999"),
         false},
        {with({"--t-end", "1e-400"}), required, true},
        {with({"--t-end", "-inf"}), required, true},
        {with({"--n-steps", "-3"}), required, true},
        {{"--output", "o.csv", "--t-end", "1"}, required, true},
        {with({"--n-steps", "3", "--t-end", "0.3"}),
         "Error: --t-end and --n-steps are mutually exclusive", true},
        {with({"--t-end", "214748364.8"}),
         "Error: --t-end must correspond to at most 2147483647 output samples. Received "
         "t_end=2.14748e+08 (2.14748e+09 steps).",
         false},
        {with({"--t-end", "0.05"}),
         "Error: --t-end must align with h=0.1 ms from t_start=0.0 ms. Received t_end=0.05 (0.5 "
         "steps).",
         false},
    };
    for (const auto& c : cases) {
        std::string joined;
        for (const auto& a : c.args) joined += " '" + a + "'";
        SCOPED_TRACE(joined);
        test::TempDir dir;
        dir.write("m.json", good_model().dump());
        const auto r = test::run_cli(c.args, dir.path());
        expect_one_error(r, c.error, Match::exact, !c.usage);
        if (c.usage) {
            EXPECT_NE(r.err.find("\nUsage:\n"), std::string::npos);
        }
        EXPECT_FALSE(test::file_exists(dir.file("o.csv")));
    }
}

}  // namespace
}  // namespace vesk
