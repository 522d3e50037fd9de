// verify_exp: compares the simulator's exp, in all its forms, with the C
// library's exp on a large set of arguments and prints the mismatches. The
// C library must be glibc (2.28 or later) with fused multiply-adds in its
// exp: its build for x86-64 processors with FMA, or its aarch64 build;
// elsewhere the tool says why it cannot compare and exits with 2.
//
//   verify_exp [BILLIONS]   about BILLIONS * 10^9 arguments (default 1)
//
// The arguments: random doubles over [-746, 710] and near 0 and random bit
// patterns; an even sweep of [-746, 710]; a sweep near 0 with equally many
// points in every binade from 2^-60 to 1, of both signs. Each is given to
// exp_baseline (std::fma) and, on x86-64 with FMA, to exp_fma (the
// processor's fma) and exp_in_place_fma (four lanes). Exit status 0 when
// nothing differs.

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "sim/exp.hpp"

namespace {

constexpr std::size_t chunk = 1 << 20;

struct Tally {
    std::uint64_t arguments = 0;
    std::uint64_t mismatches = 0;
    int printed = 0;
};

void report(Tally& t, const char* form, double x, double got, double want) {
    ++t.mismatches;
    if (t.printed++ < 20) std::printf("  %s(%a) = %a, C library %a\n", form, x, got, want);
}

// Checks one chunk of arguments in every form.
void check(const std::vector<double>& args, Tally& t) {
#if VESK_HAVE_FMA_PATH
    const bool fma = vesk::default_kernel_path() == vesk::KernelPath::fma;
    std::vector<double> vec = args;
    if (fma) vesk::exp_in_place_fma(vec.data(), vec.size());
#endif
    for (std::size_t i = 0; i < args.size(); ++i) {
        const double x = args[i];
        const std::uint64_t want = std::bit_cast<std::uint64_t>(std::exp(x));
        const double want_d = std::bit_cast<double>(want);
#if VESK_HAVE_FMA_PATH
        if (fma) {
            if (std::bit_cast<std::uint64_t>(vec[i]) != want)
                report(t, "exp_in_place_fma", x, vec[i], want_d);
            const double f = vesk::exp_fma(x);
            if (std::bit_cast<std::uint64_t>(f) != want) report(t, "exp_fma", x, f, want_d);
        }
#endif
        const double b = vesk::exp_baseline(x);
        if (std::bit_cast<std::uint64_t>(b) != want) report(t, "exp_baseline", x, b, want_d);
    }
    t.arguments += args.size();
}

// Runs `count` arguments made by `make(i)` through check, chunk by chunk.
template <class Make>
void run(const char* name, std::uint64_t count, Make make, Tally& total) {
    Tally t;
    std::vector<double> args;
    args.reserve(chunk);
    for (std::uint64_t i = 0; i < count; ++i) {
        args.push_back(make(i));
        if (args.size() == chunk || i + 1 == count) {
            check(args, t);
            args.clear();
        }
    }
    std::printf("%-34s %12llu arguments, %llu mismatches\n", name,
                static_cast<unsigned long long>(t.arguments),
                static_cast<unsigned long long>(t.mismatches));
    std::fflush(stdout);
    total.arguments += t.arguments;
    total.mismatches += t.mismatches;
}

}  // namespace

int main(int argc, char** argv) {
    const double billions = argc > 1 ? std::atof(argv[1]) : 1.0;
    if (!(billions > 0.0) || billions > 1000.0) {
        std::fprintf(stderr, "usage: verify_exp [BILLIONS]  (0 < BILLIONS <= 1000)\n");
        return 2;
    }
    // On this argument glibc's exp with and without fused multiply-adds differ.
    volatile double probe = -0x1.e796896860d08p+2;
    if (std::exp(probe) != 0x1.018e1649bd3a5p-11) {
        std::fprintf(stderr,
                     "verify_exp: the C library's exp here does not fuse its multiply-adds (an "
                     "x86-64 without FMA/AVX2, another C library, or GLIBC_TUNABLES); nothing to "
                     "compare with\n");
        return 2;
    }
    const auto n = static_cast<std::uint64_t>(billions * 1e9);
    const std::uint64_t n_random = n / 4, n_sweep = n / 2, n_zero = n - n_random - n_sweep;

    Tally total;
    std::mt19937_64 rng(1);
    std::uniform_real_distribution<double> whole(-746.0, 710.0), unit(-1.0, 1.0);
    run(
        "random", n_random,
        [&](std::uint64_t i) {
            switch (i % 3) {
                case 0:
                    return whole(rng);
                case 1:
                    return std::ldexp(unit(rng), -static_cast<int>(rng() % 64));
                default:
                    return std::bit_cast<double>(rng());
            }
        },
        total);
    const double lo = -746.0, span = 710.0 - lo;
    run(
        "even sweep of [-746, 710]", n_sweep,
        [&](std::uint64_t i) {
            return lo + span * (static_cast<double>(i) / static_cast<double>(n_sweep - 1));
        },
        total);
    // Binades 2^-60 .. 2^-1 of both signs, the same count in each.
    const std::uint64_t per_binade = n_zero / 120 + 1;
    run(
        "sweep of 2^-60 <= |x| < 1", per_binade * 120,
        [&](std::uint64_t i) {
            const std::uint64_t binade = i / per_binade, j = i % per_binade;
            const double m = 1.0 + static_cast<double>(j) / static_cast<double>(per_binade);
            const double x = std::ldexp(m, -1 - static_cast<int>(binade / 2));
            return binade % 2 ? -x : x;
        },
        total);
    std::printf("total: %llu arguments, %llu mismatches\n",
                static_cast<unsigned long long>(total.arguments),
                static_cast<unsigned long long>(total.mismatches));
    return total.mismatches == 0 ? 0 : 1;
}
