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

// Checks n values drawn by next(); stops at the first difference.
template <typename Next>
void expect_matches_printf(std::size_t n, Next next) {
    for (std::size_t i = 0; i < n; ++i) {
        const double v = next();
        if (g(v) != printf_g(v)) {
            ADD_FAILURE() << std::hexfloat << v << ": got " << g(v) << ", printf gives "
                          << printf_g(v);
            return;
        }
    }
}

TEST(FormatG, MatchesPrintfOnEdges) {
    EXPECT_EQ(g(12.3456789) + " " + g(999999.5) + " " + g(-0.0) + " " + g(-std::nan("")),
              "12.3457 1e+06 -0 -nan");
    using limits = std::numeric_limits<double>;
    std::vector<double> edges = {0.5, 9.999995e-05, 99999.95, 99999.96, 1234565.0, 1234575.0, 2.5};
    for (double v : {limits::min(), limits::max(), limits::denorm_min(), limits::infinity(),
                     std::nextafter(limits::min(), 0.0), std::nan(""), std::nan("0x12345")}) {
        edges.push_back(v);
    }
    // Every power of ten a double can hold and the values next to it, and
    // the values that round up to one.
    for (int e = -324; e <= 308; ++e) {
        for (const char* mantissa : {"1", "9.999995", "9.9999949999999", "9.99999500000001"}) {
            const double v =
                std::strtod((std::string(mantissa) + "e" + std::to_string(e)).c_str(), nullptr);
            edges.insert(edges.end(), {v, std::nextafter(v, 0.0), std::nextafter(v, INFINITY)});
        }
    }
    // The doubles nearest to d.ddddd5 x 10^k and their neighbours, where the
    // sixth digit is decided by the last bits; ties a double holds exactly
    // round to even.
    std::mt19937_64 rng(99);
    std::uniform_int_distribution<int> digits(100000, 999999);
    std::uniform_int_distribution<int> exponent(-30, 30);
    for (int i = 0; i < 60'000; ++i) {
        double up = std::strtod(
            (std::to_string(digits(rng)) + ".5e" + std::to_string(exponent(rng))).c_str(), nullptr);
        double down = up;
        edges.push_back(up);
        for (int k = 0; k < 3; ++k) {
            up = std::nextafter(up, INFINITY);
            down = std::nextafter(down, 0.0);
            edges.insert(edges.end(), {up, down});
        }
        const double exact = std::strtod((std::to_string(digits(rng)) + ".5").c_str(), nullptr);
        edges.insert(edges.end(), {exact, exact / 4.0, exact * 8.0});
    }
    std::size_t i = 0;
    expect_matches_printf(2 * edges.size(), [&] {
        const double v = edges[i / 2];
        return i++ % 2 ? -v : v;
    });
}

TEST(FormatG, MatchesPrintfOnRandomDoubles) {
    std::mt19937_64 rng(12345);
    expect_matches_printf(1'000'000, [&] {
        const std::uint64_t bits = rng();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    });
    // The magnitudes a run writes, evenly spread over their decades.
    std::uniform_real_distribution<double> decade(-6.0, 6.0);
    expect_matches_printf(500'000,
                          [&] { return (rng() % 2 ? -1 : 1) * std::pow(10.0, decade(rng)); });
}

TEST(CsvStreamWriter, WritesHeaderAndRows) {
    test::TempDir dir;
    const std::string path = dir.write("t.csv", "old content that must go away\n");
    {
        CsvStreamWriter w(path, {"10", "11"});
        w.write_row(0.0, {0.5, 50.0});
        w.write_row(0.100056, {1e-05, -0.0});
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
    CsvStreamWriter full("/dev/full", {"0"});
    full.write_row(0.0, {1.0});
    EXPECT_THROW_MSG(full.finish(), std::runtime_error,
                     "write_csv: failed to write output file: /dev/full");
}

TEST(CsvStreamWriter, LongRowsAndManyRowsMatchPrintf) {
    // Rows far wider than the writer's formatting chunk, and enough of them
    // to pass through the stream's 4 MiB buffer several times.
    test::TempDir dir;
    const std::string path = dir.file("wide.csv");
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> rate(-1.0, 100.0);
    std::vector<std::string> names;
    for (int i = 0; i < 20000; ++i) names.push_back(std::to_string(i));
    std::string expected = "time_ms";
    for (const auto& name : names) expected.append(",").append(name);
    expected += "\n";
    {
        CsvStreamWriter w(path, names);
        std::vector<double> row(names.size());
        for (int r = 0; r < 60; ++r) {
            for (double& v : row) v = r % 7 == 3 ? 0.0 : rate(rng) * std::pow(10.0, r % 13 - 6);
            const double t = r * (180.0 / 1799.0);
            w.write_row(t, row);
            expected += printf_g(t);
            for (double v : row) expected.append(",").append(printf_g(v));
            expected += "\n";
            if (r == 30) {
                EXPECT_THROW_MSG(w.write_row(t, {}), std::runtime_error,
                                 "write_csv: solution row width does not match node_names");
                // flush() hands over everything written so far.
                w.flush();
                EXPECT_EQ(test::read_file(path), expected);
            }
        }
    }
    EXPECT_EQ(test::read_file(path), expected);
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
    return {0, row, std::move(pop_id), "E", "c", "k", "h", "d", "m"};
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
    EXPECT_EQ(test::read_file(path),
              "row_index,pop_id,pop_typ,con_typ,circ_id,h_row,d_row,mat_id\n");

    const std::string bad = dir.file("missing/map.csv");
    EXPECT_THROW_MSG(write_row_map_csv(bad, {}), std::runtime_error,
                     "write_row_map_csv: failed to open output file: " + bad);
    EXPECT_THROW_MSG(write_row_map_csv("/dev/full", {record(1, "x")}), std::runtime_error,
                     "write_row_map_csv: failed to write output file: /dev/full");
}

// Enough records that an unstable sort of the standard library would
// reorder the ties (below 16 it falls back to a stable insertion sort).
TEST(WriteRowMapCsv, RecordsWithEqualRowIndexKeepTheirOrder) {
    std::vector<PopulationMetadata> records;
    std::string expected_ones;
    std::string expected_zeros;
    for (int i = 0; i < 100; ++i) {
        const int row = i % 3 == 0 ? 0 : 1;
        records.push_back(record(row, "p" + std::to_string(i)));
        (row == 0 ? expected_zeros : expected_ones) +=
            std::to_string(row) + ",p" + std::to_string(i) + ",E,c,k,h,d,m\n";
    }
    test::TempDir dir;
    write_row_map_csv(dir.file("map.csv"), records);
    EXPECT_EQ(test::read_file(dir.file("map.csv")),
              "row_index,pop_id,pop_typ,con_typ,circ_id,h_row,d_row,mat_id\n" + expected_zeros +
                  expected_ones);
}

}  // namespace
}  // namespace vesk
