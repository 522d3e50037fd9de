#include "stimulus/bindings_file.hpp"

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "stimulus/text_lines.hpp"
#include "test_support.hpp"

namespace vesk {
namespace {

std::vector<int> parse_text(const std::string& text) {
    std::istringstream in(text);
    return parse_bindings_stream(in);
}

// The leading integer of each line's first token; lines without one are
// skipped, the rest kept in file order with their duplicates.
TEST(BindingsFile, ReadsTheLeadingIntegerOfEachLine) {
    const std::string longest = "7 " + std::string(max_line_length - 2, 'x');
    const struct {
        std::string text;
        std::vector<int> expected;
    } cases[] = {
        {"12\n  7  \n5 6 7\n+3\n-0\n12abc\n3.9\n0x1A\n007\n9\r\n\t4\tx\n2147483647",
         {12, 7, 5, 3, 0, 12, 3, 0, 7, 9, 4, 2147483647}},
        {"abc 5\n-\n+x\n# 5\n#5\n\n \t\r\n+-3\n", {}},
        {"# clamps\n11\r\n\n11\nabc\n40\n3", {11, 11, 40, 3}},
        {longest + "\n" + longest, {7, 7}},
        {std::string("1\0\0\n0\0x\n", 8) + std::string(4096, '\0'), {1, 0}},  // NUL bytes
        // Lines are read in chunks of 4095 bytes: a line that, with its '\n',
        // just fills one stays apart from the next.
        {"7" + std::string(4093, ' ') + "\n5\n", {7, 5}},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_text(c.text), c.expected) << c.text;
}

TEST(BindingsFile, RejectsBadIndicesAndLongLines) {
    const std::string huge(5000, '9');
    const std::string out_of_range = "Binding index out of range in line: ";
    const struct {
        std::string text;
        std::string message;
    } cases[] = {
        {"1\n-3\n", "Negative binding index encountered: -3"},
        {"-5abc", "Negative binding index encountered: -5"},
        {"-2147483648", "Negative binding index encountered: -2147483648"},
        {"99999999999 extra\n", out_of_range + "99999999999 extra"},
        {"  2147483648  x", out_of_range + "  2147483648  x"},
        {"-99999999999", out_of_range + "-99999999999"},
        {huge + "abc", out_of_range + huge + "abc"},
        // Control characters are quoted as escapes; a NUL would cut the text short.
        {std::string("99999999999\0x\x1b\r\n", 16), out_of_range + "99999999999\\x00x\\x1b\\r"},
        // An endless line (such as /dev/zero) must not take all memory.
        {"1\n7 " + std::string(max_line_length - 1, 'x') + "\n",
         "Line 2 of the bindings file is longer than 16777216 bytes"},
    };
    for (const auto& c : cases) EXPECT_THROW_MSG(parse_text(c.text), std::runtime_error, c.message);
}

TEST(BindingsFile, ReadsFromDiskAndReportsUnreadableFiles) {
    test::TempDir dir;
    EXPECT_EQ(parse_bindings_file(dir.write("b.txt", "12\r\n7\r\n")), (std::vector<int>{12, 7}));
    EXPECT_TRUE(parse_bindings_file(dir.write("empty.txt", "")).empty());
    EXPECT_THROW_MSG(parse_bindings_file(dir.file("none.txt")), std::runtime_error,
                     "Failed to open bindings file: " + dir.file("none.txt"));
}

}  // namespace
}  // namespace vesk
