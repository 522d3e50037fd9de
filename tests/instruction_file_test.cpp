#include "stimulus/instruction_file.hpp"

#include <sstream>
#include <stdexcept>
#include <string>

#include "stimulus/text_lines.hpp"
#include "test_support.hpp"

namespace vesk {
namespace {

ScheduleMap parse_text(const std::string& text, const std::string& path = "f.txt") {
    std::istringstream in(text);
    return parse_instruction_stream(in, path, 0.1, 100.0);
}

// Every window as "target start end value" lines, the doubles written so
// that they read back exactly.
std::string render(const ScheduleMap& map) {
    std::ostringstream out;
    out.precision(17);
    for (const auto& [target, windows] : map) {
        for (const ScheduleWindow& w : windows) {
            out << target << ' ' << w.start_ms << ' ' << w.end_ms << ' ' << w.value << '\n';
        }
    }
    return out.str();
}

TEST(InstructionFile, ParsesWindows) {
    const struct {
        std::string text;
        std::string windows;
    } cases[] = {
        // The anchor moves only on Word lines; milliseconds are 0.1 times the
        // unit count, not the double nearest the decimal.
        {"fixed_time 20\nNum_of_words 2\nWord 0 0\nNoun 5\nWord 30 1\nWord 40 10 0\nVerb -70 -67\n",
         "EX1_input_W0 0 2 100\nEX1_input_W0 7 8 100\nEX1_input_W1 3 5 100\n"
         "EX2_Bgate_W_N 0.5 2.5 100\nEX2_Bgate_W_V 0 0.30000000000000004 100\n"},
        // Relative times may be negative while the start is not.
        {"fixed_time 20\nNum_of_words 1\nWord 100 0\nNoun -50 -10\nNoun_H -100\n",
         "EX1_input_W0 10 12 100\nEX2_Bgate_W_N 5 9 100\nEX3H_Gate_N_H 0 2 100\n"},
        // Comments, blank lines, every whitespace character, carriage
        // returns and no final newline.
        {"# schedule\r\n\r\n   \t \r\n\v\f\n#format vesk-instructions 2\r\n"
         "format vesk-instructions 01\r\nfixed_time +20\r\n\tNoun\v0\f 3\r\nNoun 10",
         "EX2_Bgate_W_N 0 0.30000000000000004 100\nEX2_Bgate_W_N 1 3 100\n"},
        {"", ""},
        {"# nothing\n\nformat vesk-instructions +1\nNum_of_words 0\n", ""},
        // Times up to the end of the int range.
        {"fixed_time 7\nNum_of_words 1\nWord 2147483640 0\nNoun 0 7\n",
         "EX1_input_W0 214748364 214748364.70000002 100\n"
         "EX2_Bgate_W_N 214748364 214748364.70000002 100\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(render(parse_text(c.text)), c.windows) << c.text;

    std::istringstream in("Noun 3 5\n");
    EXPECT_EQ(render(parse_instruction_stream(in, "x", 2.5, -7.0)), "EX2_Bgate_W_N 7.5 12.5 -7\n");
}

TEST(InstructionFile, ReportsEachErrorWithItsLine) {
    const std::string word_arity =
        "'Word' takes 2 arguments (rel_start word_idx, with fixed_time) or 3 (rel_start rel_end "
        "word_idx)";
    const std::string noun_arity =
        "'Noun' takes 1 argument (rel_start, with fixed_time) or 2 (rel_start rel_end)";
    const std::string longest = "#" + std::string(max_line_length - 1, 'x') + "\n";
    const struct {
        std::string text;
        std::string message;
    } cases[] = {
        // messages after "f.txt:"
        {"fixed_time 20\nNoun 0\nfixed_time 20\n",
         "3: directive 'fixed_time' must appear before the first command"},
        {"format vesk-instructions 1\n\nformat vesk-instructions 1\n",
         "3: duplicate directive 'format'"},
        {"Num_of_words 1\nNum_of_words x\n", "2: duplicate directive 'Num_of_words'"},
        {"format VESK-instructions 1\n",
         "1: format directive must read 'format vesk-instructions 1'"},
        {"format vesk-instructions 2\n", "1: unsupported format version 2 (supported: 1)"},
        {"format vesk-instructions 1.0\n", "1: format version must be an integer, got '1.0'"},
        {"fixed_time 1 2\n", "1: fixed_time takes exactly one value"},
        {"fixed_time 0\n", "1: fixed_time must be positive"},
        {"fixed_time +\n", "1: fixed_time must be an integer, got '+'"},
        {"Num_of_words\n", "1: Num_of_words takes exactly one value"},
        {"Num_of_words -1\n", "1: Num_of_words must be non-negative"},
        {"\nWord 0 5 0\n", "2: 'Word' encountered before Num_of_words"},
        {"Num_of_words 2\nWord 0 0\n",
         "2: 2-argument 'Word' requires a fixed_time directive; use 'Word <rel_start> "
         "<rel_end> <word_idx>' for an explicit end"},
        {"Num_of_words 2\nWord 0 1 1 1\n", "2: " + word_arity},
        {"Num_of_words 2\nWord 0 5 -1\n", "2: word index -1 out of range (Num_of_words = 2)"},
        {"Num_of_words 2\nWord 0 5 2\n", "2: word index 2 out of range (Num_of_words = 2)"},
        {"noun 0 5\n", "1: unknown command 'noun'"},
        {"Noun 5\n",
         "1: 1-argument 'Noun' requires a fixed_time directive; use 'Noun <rel_start> "
         "<rel_end>' for an explicit end"},
        {"fixed_time 20\nNoun 5 # stimulus\n", "2: " + noun_arity},
        {"fixed_time 20\nNum_of_words 1\nWord 100 0\nNoun -150 -10\n",
         "4: window start -50 is negative"},
        {"Noun -2147483648 5\n", "1: window start -2147483648 is negative"},
        {"Noun 10 10\n", "1: window end 10 does not lie after start 10"},
        {"Num_of_words 1\nWord 5 0 0\n", "2: window end 5 does not lie after start 5"},
        {"Noun 1.5 3\n", "1: rel_start must be an integer, got '1.5'"},
        {"Noun 0 12ms\n", "1: rel_end must be an integer, got '12ms'"},
        {"Num_of_words 1\nWord 0 5 0x1\n", "2: word index must be an integer, got '0x1'"},
        {"fixed_time 20\nNoun 99999999999\n", "2: rel_start out of integer range: '99999999999'"},
        {"Noun 0 -2147483649\n", "1: rel_end out of integer range: '-2147483649'"},
        {"format vesk-instructions 100000000000000000000000000000000000000001\n",
         "1: format version out of integer range: "
         "'100000000000000000000000000000000000000001'"},
        // The first error wins: the field is read before the fixed_time check,
        // and the token count before the fields.
        {"fixed_time 0x5\nNoun 5\n", "1: fixed_time must be an integer, got '0x5'"},
        {"Noun x y z\n", "1: " + noun_arity},
        // Windows beyond the int time range.
        {"Num_of_words 1\nWord 2000000000 10 0\nWord 2000000000 10 0\n",
         "3: window start 2000000000+2000000000 overflows the 32-bit time range"},
        {"Num_of_words 1\nWord 2147483647 1 0\n",
         "2: window end 2147483647+1 overflows the 32-bit time range"},
        {"fixed_time 20\nNum_of_words 1\nWord 2147483640 0\n",
         "3: window end 2147483640+20 overflows the 32-bit time range"},
        {"Num_of_words 1\nWord 2147483000 10 0\nNoun 1000 2000\n",
         "3: window start 2147483000+1000 overflows the 32-bit time range"},
        // Line numbers count every physical line.
        {"# a\n\n\r\n \nfixed_time 20\n#\nbogus 1\n", "7: unknown command 'bogus'"},
        // A NUL would cut the message short; a line break or an escape
        // sequence would forge lines or drive the terminal.
        {std::string("Noun\0\x1b[2J 5\n", 12), "1: unknown command 'Noun\\x00\\x1b[2J'"},
        {"fixed_time 2\x7f\n", "1: fixed_time must be an integer, got '2\\x7f'"},
        // An endless line (such as /dev/zero) must not take all memory.
        {"fixed_time 5\n" + longest + "#" + longest, "3: line is longer than 16777216 bytes"},
    };
    for (const auto& c : cases) {
        EXPECT_THROW_MSG(parse_text(c.text), std::runtime_error, "f.txt:" + c.message);
    }
    EXPECT_TRUE(parse_text(longest + "fixed_time 5\n" + longest).empty());
}

TEST(InstructionFile, ReadsFromDiskAndReportsUnreadableFiles) {
    test::TempDir dir;
    const std::string path = dir.write("s.txt", "fixed_time 20\r\nNoun 5\r\n"),
                      missing = dir.file("m");
    EXPECT_EQ(render(parse_instruction_file(path, 0.1, 100.0)), "EX2_Bgate_W_N 0.5 2.5 100\n");
    EXPECT_THROW_MSG(parse_instruction_file(missing, 0.1, 100.0), std::runtime_error,
                     "Failed to open instruction file: " + missing);
}

}  // namespace
}  // namespace vesk
