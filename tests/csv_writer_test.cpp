#include "io/csv_writer.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>

#include "test_support.hpp"

namespace vesk {
namespace {

std::string g(double v) {
    char text[40];
    return std::string(text, format_g(v, text));
}

std::string printf_g(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

TEST(FormatG, MatchesPrintf) {
    const std::vector<std::pair<double, const char*>> known = {
        {0.0, "0"},          {-0.0, "-0"},           {0.5, "0.5"},
        {50.0, "50"},        {12.3456789, "12.3457"}, {0.00001, "1e-05"},
        {1234567.0, "1.23457e+06"}, {123456.7, "123457"}, {999999.5, "1e+06"},
        {9.999995e-05, "0.0001"}, {INFINITY, "inf"},     {-INFINITY, "-inf"},
    };
    for (const auto& [v, text] : known) EXPECT_EQ(g(v), text);

    const double edges[] = {std::numeric_limits<double>::min(),
                            std::numeric_limits<double>::max(),
                            std::numeric_limits<double>::denorm_min(),
                            -std::numeric_limits<double>::denorm_min(),
                            std::nan(""),
                            -std::nan(""),
                            0.0001,
                            0.000099999949999999,
                            999999.49999999,
                            100000.0};
    for (double v : edges) EXPECT_EQ(g(v), printf_g(v)) << v;

    std::mt19937_64 rng(12345);
    for (int i = 0; i < 200000; ++i) {
        const std::uint64_t bits = rng();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        ASSERT_EQ(g(v), printf_g(v)) << bits;
    }
}

TEST(CsvStreamWriter, WritesHeaderAndRows) {
    test::TempDir dir;
    const std::string path = dir.write("t.csv", "old content that must go away\n");
    {
        CsvStreamWriter w(path, {"10", "11"});
        w.write_row(0.0, {0.5, 50.0});
        w.write_row(0.100056, {1e-05, -0.0});
        EXPECT_THROW_MSG(w.write_row(0.2, {1.0}), std::runtime_error,
                         "write_csv: solution row width does not match node_names");
        EXPECT_THROW_MSG(w.write_row(0.2, {1.0, 2.0, 3.0}), std::runtime_error,
                         "write_csv: solution row width does not match node_names");
    }
    EXPECT_EQ(test::read_file(path), "time_ms,10,11\n0,0.5,50\n0.100056,1e-05,-0\n");

    {
        CsvStreamWriter w(dir.file("none.csv"), {});
        w.write_row(1.5, {});
    }
    EXPECT_EQ(test::read_file(dir.file("none.csv")), "time_ms\n1.5\n");

    const std::string bad = dir.file("missing/t.csv");
    EXPECT_THROW_MSG(CsvStreamWriter(bad, {}), std::runtime_error,
                     "write_csv: failed to open output file: " + bad);
}

TEST(CsvStreamWriter, ReportsAFullDisk) {
    CsvStreamWriter w("/dev/full", {"0"});
    w.write_row(0.0, {1.0});
    EXPECT_THROW_MSG(w.finish(), std::runtime_error,
                     "write_csv: failed to write output file: /dev/full");
}

TEST(WriteCsv, ChecksShapesBeforeCreatingTheFile) {
    test::TempDir dir;
    const std::string path = dir.file("t.csv");
    EXPECT_THROW_MSG(write_csv(path, {0, 1, 2}, {{1.0}, {2.0}}, {"a"}), std::runtime_error,
                     "write_csv: time_points and solution row count mismatch");
    EXPECT_THROW_MSG(write_csv(path, {0, 1}, {{1.0}, {2.0, 3.0}}, {"a"}), std::runtime_error,
                     "write_csv: solution row width does not match node_names");
    EXPECT_FALSE(test::file_exists(path));
    write_csv(path, {0, 0.25}, {{1.0}, {2.0}}, {"a"});
    EXPECT_EQ(test::read_file(path), "time_ms,a\n0,1\n0.25,2\n");
}

PopulationMetadata record(int row, std::string pop_id) {
    PopulationMetadata md;
    md.row_index = row;
    md.pop_id = std::move(pop_id);
    md.pop_typ = "E";
    md.con_typ = "c";
    md.circ_id = "k";
    md.h_row = "h";
    md.d_row = "d";
    md.mat_id = "m";
    return md;
}

TEST(WriteRowMapCsv, SortsByRowIndexAndQuotesFieldsThatWouldBreakTheRow) {
    test::TempDir dir;
    const std::string path = dir.file("map.csv");
    write_row_map_csv(path, {record(5, "five"), record(-1, "a,b"), record(3, "say \"hi\""),
                             record(4, "two\nlines")});
    EXPECT_EQ(test::read_file(path),
              "row_index,pop_id,pop_typ,con_typ,circ_id,h_row,d_row,mat_id\n"
              "-1,\"a,b\",E,c,k,h,d,m\n"
              "3,\"say \"\"hi\"\"\",E,c,k,h,d,m\n"
              "4,\"two\nlines\",E,c,k,h,d,m\n"
              "5,five,E,c,k,h,d,m\n");

    write_row_map_csv(path, {});
    EXPECT_EQ(test::read_file(path), "row_index,pop_id,pop_typ,con_typ,circ_id,h_row,d_row,mat_id\n");

    const std::string bad = dir.file("missing/map.csv");
    EXPECT_THROW_MSG(write_row_map_csv(bad, {}), std::runtime_error,
                     "write_row_map_csv: failed to open output file: " + bad);
    EXPECT_THROW_MSG(write_row_map_csv("/dev/full", {record(1, "x")}), std::runtime_error,
                     "write_row_map_csv: failed to write output file: /dev/full");
}

}  // namespace
}  // namespace vesk
