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

TEST(BindingsFile, ReadsTheLeadingIntegerOfTheFirstToken) {
    const struct {
        const char* line;
        std::vector<int> expected;
    } cases[] = {
        {"12", {12}},  {"  7  ", {7}},  {"5 6 7", {5}},  {"+3", {3}},
        {"-0", {0}},   {"12abc", {12}}, {"3.9", {3}},    {"0x1A", {0}},
        {"007", {7}},  {"9\r", {9}},    {"\t4\tx", {4}}, {"2147483647", {2147483647}},
        {"abc 5", {}}, {"-", {}},       {"+x", {}},      {"# 5", {}},
        {"#5", {}},    {"", {}},        {" \t\r", {}},   {"+-3", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse_text(c.line), c.expected) << "'" << c.line << "'";
    }
}

TEST(BindingsFile, KeepsFileOrderAndDuplicates) {
    EXPECT_EQ(parse_text("# clamps\n11\r\n\n11\nabc\n40\n3"), (std::vector<int>{11, 11, 40, 3}));
}

TEST(BindingsFile, RejectsOutOfRangeAndNegativeIndices) {
    const std::string huge(5000, '9');
    const struct {
        std::string text;
        std::string message;
    } cases[] = {
        {"1\n-3\n", "Negative binding index encountered: -3"},
        {"-5abc", "Negative binding index encountered: -5"},
        {"-2147483648", "Negative binding index encountered: -2147483648"},
        {"99999999999 extra\n", "Binding index out of range in line: 99999999999 extra"},
        {"  2147483648  x", "Binding index out of range in line:   2147483648  x"},
        {"-99999999999", "Binding index out of range in line: -99999999999"},
        {huge + "abc", "Binding index out of range in line: " + huge + "abc"},
        // Control characters are quoted as escapes; a NUL would cut the text short.
        {std::string("99999999999\0x\x1b\r\n", 16),
         "Binding index out of range in line: 99999999999\\x00x\\x1b\\r"},
    };
    for (const auto& c : cases) {
        EXPECT_THROW_MSG(parse_text(c.text), std::runtime_error, c.message);
    }
}

TEST(BindingsFile, RejectsLinesBeyondTheLengthLimit) {
    // An endless line (such as /dev/zero) must not take all memory.
    const std::string longest = "7 " + std::string(max_line_length - 2, 'x');
    EXPECT_EQ(parse_text(longest + "\n" + longest), (std::vector<int>{7, 7}));
    EXPECT_THROW_MSG(parse_text("1\n" + longest + "x\n"), std::runtime_error,
                     "Line 2 of the bindings file is longer than 16777216 bytes");
}

TEST(BindingsFile, ReadsFromDiskAndReportsUnreadableFiles) {
    test::TempDir dir;
    EXPECT_EQ(parse_bindings_file(dir.write("b.txt", "12\r\n7\r\n")), (std::vector<int>{12, 7}));
    EXPECT_TRUE(parse_bindings_file(dir.write("empty.txt", "")).empty());
    EXPECT_THROW_MSG(parse_bindings_file(dir.file("none.txt")), std::runtime_error,
                     "Failed to open bindings file: " + dir.file("none.txt"));
    // A directory opens but cannot be read; that must not pass for an empty list.
    EXPECT_THROW_MSG(parse_bindings_file(dir.path()), std::runtime_error,
                     "Failed to read bindings file: " + dir.path());
}

}  // namespace
}  // namespace vesk
