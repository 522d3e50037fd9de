// Number formatting of the trace files, timed per number on three value
// sets, with the alternatives in the same run:
//
//   format/format_g     the writers' formatter (the printf "%g" bytes)
//   format/to_chars     std::to_chars, general format, precision 6
//   format/fprintf      fprintf("%g") into a 4 MiB fully-buffered stream
//   format/write_row    CsvStreamWriter::write_row, rows of 1000 values,
//                       per number (comma and buffering included)
//   format/fprintf_row  the same rows written with fprintf(",%g")
//
// The streams write to /dev/null, so no disk time is counted. Each
// iteration handles one number: the time column is the time per number.
//
// Value sets: "rates" are node outputs between 0 and 100 as a run writes
// them, "times" the sample times of a 180 ms run, "wide" magnitudes spread
// evenly over 1e-6 ... 1e6 with either sign.

#include <benchmark/benchmark.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "io/csv_writer.hpp"

namespace vesk::bench {
namespace {

constexpr std::size_t set_size = 1 << 16;  // a power of two: indices wrap with a mask
constexpr std::size_t row_width = 1000;
constexpr std::size_t stream_buffer_size = 4 * 1024 * 1024;

enum class ValueSet { rates, times, wide };

const std::vector<double>& values(ValueSet set) {
    static const std::vector<double> sets[3] = {
        [] {
            std::mt19937_64 rng(1);
            std::uniform_real_distribution<double> rate(0.0, 100.0);
            std::vector<double> v(set_size);
            for (double& x : v) x = rate(rng);
            return v;
        }(),
        [] {
            std::vector<double> v(set_size);
            for (std::size_t i = 0; i < set_size; ++i) v[i] = (i % 1800) * (180.0 / 1799.0);
            return v;
        }(),
        [] {
            std::mt19937_64 rng(2);
            std::uniform_real_distribution<double> exponent(-6.0, 6.0);
            std::bernoulli_distribution sign(0.5);
            std::vector<double> v(set_size);
            for (double& x : v) x = (sign(rng) ? -1.0 : 1.0) * std::pow(10.0, exponent(rng));
            return v;
        }(),
    };
    return sets[static_cast<int>(set)];
}

// A stdio stream on /dev/null with the trace files' buffering.
struct NullStream {
    std::unique_ptr<char[]> buffer{new char[stream_buffer_size]()};
    std::FILE* file = std::fopen("/dev/null", "w");
    NullStream() {
        if (!file) throw std::runtime_error("bench: cannot open /dev/null");
        std::setvbuf(file, buffer.get(), _IOFBF, stream_buffer_size);
    }
    ~NullStream() { std::fclose(file); }
};

void bm_format_g(benchmark::State& state, ValueSet set) {
    const std::vector<double>& v = values(set);
    char text[32];
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(format_g(v[i++ & (set_size - 1)], text));
        benchmark::ClobberMemory();
    }
}

void bm_to_chars(benchmark::State& state, ValueSet set) {
    const std::vector<double>& v = values(set);
    char text[32];
    std::size_t i = 0;
    for (auto _ : state) {
        const double x = v[i++ & (set_size - 1)];
        benchmark::DoNotOptimize(
            std::to_chars(text, text + sizeof text, x, std::chars_format::general, 6).ptr);
        benchmark::ClobberMemory();
    }
}

void bm_fprintf(benchmark::State& state, ValueSet set) {
    const std::vector<double>& v = values(set);
    NullStream out;
    std::size_t i = 0;
    for (auto _ : state) {
        std::fprintf(out.file, "%g", v[i++ & (set_size - 1)]);
    }
}

// Rows cut from the value set; one timed iteration is one number, so the
// loop writes a row every row_width iterations.
std::vector<std::vector<double>> rows(ValueSet set) {
    const std::vector<double>& v = values(set);
    std::vector<std::vector<double>> out;
    for (std::size_t start = 0; start + row_width <= set_size; start += row_width) {
        out.emplace_back(v.begin() + static_cast<std::ptrdiff_t>(start),
                         v.begin() + static_cast<std::ptrdiff_t>(start + row_width));
    }
    return out;
}

void bm_write_row(benchmark::State& state, ValueSet set) {
    const auto r = rows(set);
    CsvStreamWriter writer("/dev/null", std::vector<std::string>(row_width, "0"));
    std::size_t k = 0;
    double t = 0.0;
    while (state.KeepRunningBatch(row_width)) {
        writer.write_row(t, r[k]);
        k = k + 1 == r.size() ? 0 : k + 1;
        t += 0.1;
    }
}

void bm_fprintf_row(benchmark::State& state, ValueSet set) {
    const auto r = rows(set);
    NullStream out;
    std::size_t k = 0;
    double t = 0.0;
    while (state.KeepRunningBatch(row_width)) {
        std::fprintf(out.file, "%g", t);
        for (const double x : r[k]) std::fprintf(out.file, ",%g", x);
        std::fputc('\n', out.file);
        k = k + 1 == r.size() ? 0 : k + 1;
        t += 0.1;
    }
}

const int registered = [] {
    using Fn = void (*)(benchmark::State&, ValueSet);
    const std::pair<const char*, Fn> kinds[] = {{"format_g", bm_format_g},
                                                {"to_chars", bm_to_chars},
                                                {"fprintf", bm_fprintf},
                                                {"write_row", bm_write_row},
                                                {"fprintf_row", bm_fprintf_row}};
    const std::pair<const char*, ValueSet> sets[] = {
        {"rates", ValueSet::rates}, {"times", ValueSet::times}, {"wide", ValueSet::wide}};
    for (const auto& [set_name, set] : sets) {
        for (const auto& [kind, fn] : kinds) {
            const std::string name = std::string("format/") + kind + "/" + set_name;
            benchmark::RegisterBenchmark(name.c_str(), fn, set);
        }
    }
    return 0;
}();

}  // namespace
}  // namespace vesk::bench
