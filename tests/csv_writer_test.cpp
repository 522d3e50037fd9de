#include "io/csv_writer.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <sstream>

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

// The C library's "%g" is the reference. Edges: every power of ten a double
// holds and its neighbours, the values that round up to one, the doubles
// nearest to d.ddddd5 x 10^k (where the sixth digit is decided by the last
// bits; ties a double holds exactly round to even); then random bit
// patterns, and the magnitudes a run writes, evenly spread over their decades.
TEST(FormatG, MatchesPrintf) {
    // Zero, rounding to six digits and up to the next power, the smallest
    // normal, the largest subnormal, the largest double, the smallest subnormal.
    std::istringstream edges(
        "0 12.3456789 999999.5 0.5 9.999995e-05 99999.95 99999.96 1234565 1234575 2.5 0x1p-1022 "
        "0x0.fffffffffffffp-1022 0x1.fffffffffffffp+1023 0x1p-1074 inf nan");
    std::vector<double> values;
    for (std::string v; edges >> v;) values.push_back(std::strtod(v.c_str(), nullptr));
    for (int e = -324; e <= 308; ++e) {
        for (const char* mantissa : {"1", "9.999995", "9.9999949999999", "9.99999500000001"}) {
            const double v =
                std::strtod((std::string(mantissa) + "e" + std::to_string(e)).c_str(), nullptr);
            values.insert(values.end(), {v, std::nextafter(v, 0.0), std::nextafter(v, INFINITY)});
        }
    }
    std::mt19937_64 rng(99);
    std::uniform_int_distribution<int> digits(100000, 999999);
    std::uniform_int_distribution<int> exponent(-30, 30);
    for (int i = 0; i < 60'000; ++i) {
        double up = std::strtod(
            (std::to_string(digits(rng)) + ".5e" + std::to_string(exponent(rng))).c_str(), nullptr);
        double down = up;
        values.push_back(up);
        for (int k = 0; k < 3; ++k) {
            up = std::nextafter(up, INFINITY);
            down = std::nextafter(down, 0.0);
            values.insert(values.end(), {up, down});
        }
        const double exact = std::strtod((std::to_string(digits(rng)) + ".5").c_str(), nullptr);
        values.insert(values.end(), {exact, exact / 4.0, exact * 8.0});
    }
    for (int i = 0; i < 1'000'000; ++i) {
        const std::uint64_t bits = rng();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        values.push_back(v);
    }
    std::uniform_real_distribution<double> decade(-6.0, 6.0);
    for (int i = 0; i < 500'000; ++i) values.push_back(std::pow(10.0, decade(rng)));
    for (const double v : values) {
        for (const double signed_v : {v, -v}) {
            if (g(signed_v) != printf_g(signed_v)) {
                FAIL() << std::hexfloat << signed_v << ": got " << g(signed_v) << ", printf gives "
                       << printf_g(signed_v);
            }
        }
    }
}

// Rows far wider than the writer's formatting chunk, and enough of them to
// pass through the stream's 4 MiB buffer several times; a row of the wrong
// width is refused and writes nothing; flush() hands over everything so far.
TEST(CsvStreamWriter, WritesWhatPrintfWould) {
    test::TempDir dir;
    const std::string path = dir.write("wide.csv", "old content that must go away\n");
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
                w.flush();
                EXPECT_EQ(test::read_file(path), expected);
            }
        }
    }
    EXPECT_EQ(test::read_file(path), expected);

    {
        CsvStreamWriter w(dir.file("none.csv"), {});
        w.write_row(1.5, {});
    }
    EXPECT_EQ(test::read_file(dir.file("none.csv")), "time_ms\n1.5\n");
}

PopulationMetadata record(int row, std::string pop_id) {
    return {0, row, std::move(pop_id), "E", "c", "k", "h", "d", "m"};
}

// Fields that would break the row are quoted. Records with equal row_index
// keep their order: there are enough of them that an unstable sort of the
// standard library would reorder them (below 16 it falls back to a stable
// insertion sort).
TEST(WriteRowMapCsv, SortsStablyByRowIndexAndQuotes) {
    std::vector<PopulationMetadata> records = {record(5, "five"), record(-1, "a,b"),
                                               record(3, "say \"hi\""), record(4, "two\nlines")};
    std::string ties[2];
    for (int i = 0; i < 100; ++i) {
        const int row = i % 3 ? 1 : 0;
        records.push_back(record(row, "p" + std::to_string(i)));
        ties[row] += std::to_string(row) + ",p" + std::to_string(i) + ",E,c,k,h,d,m\n";
    }
    test::TempDir dir;
    write_row_map_csv(dir.file("map.csv"), records);
    EXPECT_EQ(
        test::read_file(dir.file("map.csv")),
        "row_index,pop_id,pop_typ,con_typ,circ_id,h_row,d_row,mat_id\n"
        "-1,\"a,b\",E,c,k,h,d,m\n" +
            ties[0] + ties[1] +
            "3,\"say \"\"hi\"\"\",E,c,k,h,d,m\n4,\"two\nlines\",E,c,k,h,d,m\n5,five,E,c,k,h,d,m\n");
}

}  // namespace
}  // namespace vesk
