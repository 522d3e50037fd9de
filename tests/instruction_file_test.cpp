#include "stimulus/instruction_file.hpp"

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace vesk {
namespace {

ScheduleMap parse_text(const std::string& text, const std::string& path = "sched.txt") {
    std::istringstream in(text);
    return parse_instruction_stream(in, path, 0.1, 100.0);
}

void expect_windows(const ScheduleMap& map, const std::string& target,
                    const std::vector<ScheduleWindow>& expected) {
    const auto it = map.find(target);
    ASSERT_NE(it, map.end()) << target;
    ASSERT_EQ(it->second.size(), expected.size()) << target;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(it->second[i].start_ms, expected[i].start_ms) << target << " #" << i;
        EXPECT_EQ(it->second[i].end_ms, expected[i].end_ms) << target << " #" << i;
        EXPECT_EQ(it->second[i].value, expected[i].value) << target << " #" << i;
    }
}

TEST(SplitTokens, SplitsAtEveryWhitespaceCharacter) {
    EXPECT_EQ(split_tokens(" \tNoun\v5\f 10 \r"), (std::vector<std::string>{"Noun", "5", "10"}));
    EXPECT_EQ(split_tokens("a\nb"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(split_tokens("#x y#z"), (std::vector<std::string>{"#x", "y#z"}));
    EXPECT_TRUE(split_tokens("").empty());
    EXPECT_TRUE(split_tokens(" \t\r\v\f").empty());
}

TEST(InstructionFile, WorkedExampleMovesTheAnchorOnlyOnWordLines) {
    const ScheduleMap map = parse_text(
        "fixed_time 20\n"
        "Num_of_words 2\n"
        "Word 0 0\n"
        "Noun 5\n"
        "Word 30 1\n"
        "Word 40 10 0\n"
        "Verb -70 -67\n");
    EXPECT_EQ(map.size(), 4u);
    expect_windows(map, "EX1_input_W0", {{0.0, 2.0, 100.0}, {7.0, 8.0, 100.0}});
    expect_windows(map, "EX2_Bgate_W_N", {{0.5, 2.5, 100.0}});
    expect_windows(map, "EX1_input_W1", {{3.0, 5.0, 100.0}});
    // Milliseconds are 0.1 times the unit count, not the double nearest the decimal.
    expect_windows(map, "EX2_Bgate_W_V", {{0.0, 0.30000000000000004, 100.0}});
}

TEST(InstructionFile, RelativeTimesMayBeNegativeWhileTheStartIsNot) {
    const ScheduleMap map =
        parse_text("fixed_time 20\nNum_of_words 1\nWord 100 0\nNoun -50 -10\nNoun_H -100\n");
    expect_windows(map, "EX2_Bgate_W_N", {{5.0, 9.0, 100.0}});
    expect_windows(map, "EX3H_Gate_N_H", {{0.0, 2.0, 100.0}});
}

TEST(InstructionFile, UsesTheGivenScaleAndValue) {
    std::istringstream in("Noun 3 5\n");
    const ScheduleMap map = parse_instruction_stream(in, "x", 2.5, -7.0);
    expect_windows(map, "EX2_Bgate_W_N", {{7.5, 12.5, -7.0}});
}

TEST(InstructionFile, SkipsCommentsBlankLinesAndCarriageReturns) {
    const ScheduleMap map = parse_text(
        "# schedule\r\n"
        "\r\n"
        "   \t \r\n"
        "#format vesk-instructions 2\r\n"
        "format vesk-instructions 01\r\n"
        "fixed_time +20\r\n"
        "Noun 0 3\r\n"
        "Noun 10");  // no newline after the last line
    EXPECT_EQ(map.size(), 1u);
    expect_windows(map, "EX2_Bgate_W_N", {{0.0, 0.30000000000000004, 100.0}, {1.0, 3.0, 100.0}});
}

TEST(InstructionFile, EmptyOrHeaderOnlyInputGivesNoSchedules) {
    EXPECT_TRUE(parse_text("").empty());
    EXPECT_TRUE(parse_text("# nothing\n\nformat vesk-instructions +1\nNum_of_words 0\n").empty());
}

TEST(InstructionFile, AcceptsTimesUpToTheEndOfTheIntRange) {
    const ScheduleMap map =
        parse_text("fixed_time 7\nNum_of_words 1\nWord 2147483640 0\nNoun 0 7\n");
    expect_windows(map, "EX1_input_W0", {{214748364.0, 214748364.70000002, 100.0}});
    expect_windows(map, "EX2_Bgate_W_N", {{214748364.0, 214748364.70000002, 100.0}});
}

TEST(InstructionFile, ReportsEachErrorWithItsLine) {
    const struct {
        const char* text;
        const char* message;
    } cases[] = {
        {"fixed_time 20\nNoun 0\nfixed_time 20\n",
         "f.txt:3: directive 'fixed_time' must appear before the first command"},
        {"format vesk-instructions 1\n\nformat vesk-instructions 1\n",
         "f.txt:3: duplicate directive 'format'"},
        {"Num_of_words 1\nNum_of_words x\n", "f.txt:2: duplicate directive 'Num_of_words'"},
        {"format vesk-instructions\n",
         "f.txt:1: format directive must read 'format vesk-instructions 1'"},
        {"format VESK-instructions 1\n",
         "f.txt:1: format directive must read 'format vesk-instructions 1'"},
        {"format vesk-instructions 2\n", "f.txt:1: unsupported format version 2 (supported: 1)"},
        {"format vesk-instructions 1.0\n", "f.txt:1: format version must be an integer, got '1.0'"},
        {"fixed_time\n", "f.txt:1: fixed_time takes exactly one value"},
        {"fixed_time 1 2\n", "f.txt:1: fixed_time takes exactly one value"},
        {"fixed_time 0\n", "f.txt:1: fixed_time must be positive"},
        {"fixed_time -5\n", "f.txt:1: fixed_time must be positive"},
        {"fixed_time +\n", "f.txt:1: fixed_time must be an integer, got '+'"},
        {"Num_of_words\n", "f.txt:1: Num_of_words takes exactly one value"},
        {"Num_of_words -1\n", "f.txt:1: Num_of_words must be non-negative"},
        {"\nWord 0 5 0\n", "f.txt:2: 'Word' encountered before Num_of_words"},
        {"Num_of_words 2\nWord 0 0\n",
         "f.txt:2: 2-argument 'Word' requires a fixed_time directive; use 'Word <rel_start> "
         "<rel_end> <word_idx>' for an explicit end"},
        {"Num_of_words 2\nWord 0\n",
         "f.txt:2: 'Word' takes 2 arguments (rel_start word_idx, with fixed_time) or 3 "
         "(rel_start rel_end word_idx)"},
        {"Num_of_words 2\nWord 0 1 1 1\n",
         "f.txt:2: 'Word' takes 2 arguments (rel_start word_idx, with fixed_time) or 3 "
         "(rel_start rel_end word_idx)"},
        {"Num_of_words 0\nWord 0 5 0\n", "f.txt:2: word index 0 out of range (Num_of_words = 0)"},
        {"Num_of_words 2\nWord 0 5 -1\n", "f.txt:2: word index -1 out of range (Num_of_words = 2)"},
        {"Num_of_words 2\nWord 0 5 2\n", "f.txt:2: word index 2 out of range (Num_of_words = 2)"},
        {"noun 0 5\n", "f.txt:1: unknown command 'noun'"},
        {"SG1Verb 0 5\n", "f.txt:1: unknown command 'SG1Verb'"},
        {"Noun 5\n",
         "f.txt:1: 1-argument 'Noun' requires a fixed_time directive; use 'Noun <rel_start> "
         "<rel_end>' for an explicit end"},
        {"fixed_time 20\nNoun 5 # stimulus\n",
         "f.txt:2: 'Noun' takes 1 argument (rel_start, with fixed_time) or 2 (rel_start rel_end)"},
        {"Noun\n",
         "f.txt:1: 'Noun' takes 1 argument (rel_start, with fixed_time) or 2 (rel_start rel_end)"},
        {"Noun -1 5\n", "f.txt:1: window start -1 is negative"},
        {"fixed_time 20\nNum_of_words 1\nWord 100 0\nNoun -150 -10\n",
         "f.txt:4: window start -50 is negative"},
        {"Num_of_words 1\nWord -1 5 0\n", "f.txt:2: window start -1 is negative"},
        {"Noun -2147483648 5\n", "f.txt:1: window start -2147483648 is negative"},
        {"Noun 10 10\n", "f.txt:1: window end 10 does not lie after start 10"},
        {"Noun 10 5\n", "f.txt:1: window end 5 does not lie after start 10"},
        {"Num_of_words 1\nWord 5 0 0\n", "f.txt:2: window end 5 does not lie after start 5"},
        {"Noun 1.5 3\n", "f.txt:1: rel_start must be an integer, got '1.5'"},
        {"Noun 0 12ms\n", "f.txt:1: rel_end must be an integer, got '12ms'"},
        {"Num_of_words 1\nWord 0 5 0x1\n", "f.txt:2: word index must be an integer, got '0x1'"},
        {"Num_of_words abc\n", "f.txt:1: Num_of_words must be an integer, got 'abc'"},
        {"Noun 99999999999 5\n", "f.txt:1: rel_start out of integer range: '99999999999'"},
        {"fixed_time 20\nNoun 99999999999\n",
         "f.txt:2: rel_start out of integer range: '99999999999'"},
        {"Noun 0 -2147483649\n", "f.txt:1: rel_end out of integer range: '-2147483649'"},
        {"format vesk-instructions 100000000000000000000000000000000000000001\n",
         "f.txt:1: format version out of integer range: "
         "'100000000000000000000000000000000000000001'"},
        // The first error wins: the field is read before the fixed_time check...
        {"fixed_time 0x5\nNoun 5\n", "f.txt:1: fixed_time must be an integer, got '0x5'"},
        // ...and the token count before the fields.
        {"Noun x y z\n",
         "f.txt:1: 'Noun' takes 1 argument (rel_start, with fixed_time) or 2 (rel_start rel_end)"},
    };
    for (const auto& c : cases) {
        EXPECT_THROW_MSG(parse_text(c.text, "f.txt"), std::runtime_error, c.message);
    }
}

TEST(InstructionFile, RejectsWindowsBeyondTheIntTimeRange) {
    const struct {
        const char* text;
        const char* message;
    } cases[] = {
        {"Num_of_words 1\nWord 2000000000 10 0\nWord 2000000000 10 0\n",
         "f.txt:3: window start 2000000000+2000000000 overflows the 32-bit time range"},
        {"Num_of_words 1\nWord 2147483647 1 0\n",
         "f.txt:2: window end 2147483647+1 overflows the 32-bit time range"},
        {"fixed_time 20\nNum_of_words 1\nWord 2147483640 0\n",
         "f.txt:3: window end 2147483640+20 overflows the 32-bit time range"},
        {"Num_of_words 1\nWord 2147483000 10 0\nNoun 1000 2000\n",
         "f.txt:3: window start 2147483000+1000 overflows the 32-bit time range"},
        {"Num_of_words 1\nWord 2147483000 10 0\nNoun 0 1000\n",
         "f.txt:3: window end 2147483000+1000 overflows the 32-bit time range"},
        {"fixed_time 20\nNoun 2147483640\n",
         "f.txt:2: window end 2147483640+20 overflows the 32-bit time range"},
    };
    for (const auto& c : cases) {
        EXPECT_THROW_MSG(parse_text(c.text, "f.txt"), std::runtime_error, c.message);
    }
}

TEST(InstructionFile, LineNumbersCountEveryPhysicalLine) {
    EXPECT_THROW_MSG(parse_text("# a\n\n\r\n \nfixed_time 20\n#\nbogus 1\n", "dir/../rel.txt"),
                     std::runtime_error, "dir/../rel.txt:7: unknown command 'bogus'");
}

TEST(InstructionFile, ParseIntFieldReadsWholeDecimalTokens) {
    EXPECT_EQ(parse_int_field("007", "p", 1, "f"), 7);
    EXPECT_EQ(parse_int_field("+12", "p", 1, "f"), 12);
    EXPECT_EQ(parse_int_field("-2147483648", "p", 1, "f"), -2147483648LL);
    EXPECT_EQ(parse_int_field("2147483647", "p", 1, "f"), 2147483647);
    EXPECT_THROW_MSG(parse_int_field("2147483648", "p", 9, "f"), std::runtime_error,
                     "p:9: f out of integer range: '2147483648'");
    EXPECT_THROW_MSG(parse_int_field("", "p", 9, "f"), std::runtime_error,
                     "p:9: f must be an integer, got ''");
    EXPECT_THROW_MSG(parse_int_field("-", "p", 9, "f"), std::runtime_error,
                     "p:9: f must be an integer, got '-'");
    EXPECT_THROW_MSG(parse_int_field("+-1", "p", 9, "f"), std::runtime_error,
                     "p:9: f must be an integer, got '+-1'");
    EXPECT_THROW_MSG(parse_int_field(" 1", "p", 9, "f"), std::runtime_error,
                     "p:9: f must be an integer, got ' 1'");
}

TEST(InstructionFile, QuotesControlCharactersAsEscapes) {
    // A NUL would cut the message short; a line break or an escape sequence
    // would forge lines or drive the terminal.
    EXPECT_THROW_MSG(parse_text(std::string("Noun\0\x1b[2J 5\n", 12), "f.txt"), std::runtime_error,
                     "f.txt:1: unknown command 'Noun\\x00\\x1b[2J'");
    EXPECT_THROW_MSG(parse_text("fixed_time 2\x7f\n", "f.txt"), std::runtime_error,
                     "f.txt:1: fixed_time must be an integer, got '2\\x7f'");
    EXPECT_EQ(escape_control_characters(std::string("a\n\r\t\0\x01\x1f \x7f~\xc3\xa9\\", 13)),
              "a\\n\\r\\t\\x00\\x01\\x1f \\x7f~\xc3\xa9\\");
}

TEST(ReadLine, SplitsAtNewlinesLikeGetlineUpToTheLimit) {
    const struct {
        std::string text;
        std::vector<std::string> lines;  // then the end, or "too long" when `too_long`
        bool too_long;
    } cases[] = {
        {"", {}, false},
        {"\n", {""}, false},
        {"ab\n\ncd", {"ab", "", "cd"}, false},
        {"abcd\nx\n", {"abcd", "x"}, false},
        {std::string("a\0\r\n", 4), {std::string("a\0\r", 3)}, false},
        {"ab\nabcde\n", {"ab"}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::istringstream in(c.text);
        std::string line;
        for (const std::string& expected : c.lines) {
            ASSERT_EQ(read_line(in, line, 4), LineRead::line);
            EXPECT_EQ(line, expected);
        }
        EXPECT_EQ(read_line(in, line, 4), c.too_long ? LineRead::too_long : LineRead::end);
        EXPECT_FALSE(in.bad());
    }
}

TEST(InstructionFile, RejectsLinesBeyondTheLengthLimit) {
    // An endless line (such as /dev/zero) must not take all memory.
    const std::string longest = "#" + std::string(max_line_length - 1, 'x') + "\n";
    EXPECT_TRUE(parse_text(longest + "fixed_time 5\n" + longest).empty());
    EXPECT_THROW_MSG(parse_text("fixed_time 5\n" + longest + "#" + longest, "f.txt"),
                     std::runtime_error, "f.txt:3: line is longer than 16777216 bytes");
}

TEST(InstructionFile, ReadsFromDiskAndReportsUnreadableFiles) {
    test::TempDir dir;
    const std::string path = dir.write("s.txt", "fixed_time 20\r\nNoun 5\r\n");
    expect_windows(parse_instruction_file(path, 0.1, 100.0), "EX2_Bgate_W_N", {{0.5, 2.5, 100.0}});

    const std::string bad = dir.write("bad.txt", "fixed_time 20\nNoun 5 6 7\n");
    EXPECT_THROW_MSG(
        parse_instruction_file(bad, 0.1, 100.0), std::runtime_error,
        bad + ":2: 'Noun' takes 1 argument (rel_start, with fixed_time) or 2 (rel_start rel_end)");

    EXPECT_THROW_MSG(parse_instruction_file(dir.file("missing.txt"), 0.1, 100.0),
                     std::runtime_error,
                     "Failed to open instruction file: " + dir.file("missing.txt"));
    // A directory opens but cannot be read; that must not pass for an empty schedule.
    EXPECT_THROW_MSG(parse_instruction_file(dir.path(), 0.1, 100.0), std::runtime_error,
                     "Failed to read instruction file: " + dir.path());
}

}  // namespace
}  // namespace vesk
