// The simulator's exp against glibc's build for processors with FMA (Debian
// 12, glibc 2.36), bit for bit. Whole runs use only this exp: the kernel
// differential test compares them on both paths with the plain kernel.
#include "sim/exp.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "sim/kernel_path.hpp"
#include "test_support.hpp"

namespace vesk {
namespace {

// One form of the function: element by element, or over a whole array.
struct Form {
    const char* name;
    bool needs_fma;
    double (*scalar)(double);
    void (*array)(double*, std::size_t);
};

const Form forms[] = {
    {"exp_baseline", false, exp_baseline, nullptr},
    {"exp_in_place_baseline", false, nullptr, exp_in_place_baseline},
    {"exp", false, vesk::exp, nullptr},
    {"exp_in_place", false, nullptr, exp_in_place},
#if VESK_HAVE_FMA_PATH
    {"exp_fma", true, exp_fma, nullptr},
    {"exp_in_place_fma", true, nullptr, exp_in_place_fma},
#endif
};

// Every form of the function on `args` against `expected` (the C library's
// exp when empty), element by element; reports the first few mismatches.
void expect_all_forms(const std::vector<double>& args, std::vector<double> expected = {}) {
    if (expected.empty()) {
        for (double x : args) expected.push_back(std::exp(x));
    }
    for (const Form& form : forms) {
        if (form.needs_fma && default_kernel_path() != KernelPath::fma) continue;
        std::vector<double> v = args;
        if (form.array) {
            form.array(v.data(), v.size());
        } else {
            for (double& x : v) x = form.scalar(x);
        }
        std::size_t mismatches = 0;
        for (std::size_t i = 0; i < v.size(); ++i) {
            if (std::memcmp(&v[i], &expected[i], sizeof(double)) != 0 && ++mismatches <= 5) {
                ADD_FAILURE() << form.name << "(" << std::hexfloat << args[i] << ") = " << v[i]
                              << ", expected " << expected[i];
            }
        }
        EXPECT_EQ(mismatches, 0u) << form.name << " over " << v.size() << " arguments";
    }
}

// Results of glibc's FMA build written out, so that every processor and
// both kernel paths check them: special values, the tiny cut, the overflow
// and underflow thresholds and their neighbours, and arguments where one fused
// multiply-add done as a product and a sum changes the result (the rounding to
// k, the polynomial's last step, the scaling in three ranges of k, subnormal
// results a double rounding would miss).
TEST(Exp, KnownValuesOnBothPaths) {
    // Argument and result, argument and result, ...
    const char* table = R"(
0.0 1.0   -0.0 1.0   1.0 0x1.5bf0a8b145769p+1   -1.0 0x1.78b56362cef38p-2
-0x1.e796896860d08p+2 0x1.018e1649bd3a5p-11   0x1p-53 1.0
0x1.8p-53 0x1.0000000000001p+0   0x1p-54 1.0   -0x1p-60 1.0   0x1p-1074 1.0   inf inf
-inf 0.0   0x1.fffffffffffffp+1023 inf   -0x1.fffffffffffffp+1023 0.0
0x1.62e42fefa39efp+9 0x1.fffffffffff2ap+1023   0x1.62e42fefa39fp+9 inf
-0x1.74910d52d3051p+9 0x0.0000000000001p-1022   -0x1.74910d52d3052p+9 0.0
-0x1.6232bdd7abcd2p+9 0x1.000000000007cp-1022   -512.0 0x1.44109edb20931p-739
-0x1.64d4d2f8c7ee6p+9 0x0.015259f6f4c78p-1022   -0x1.7p+9 0x0.0000000001215p-1022
-0x1.e1cf761a51bd6p+8 0x1.dbe7cd63a8392p-696   nan nan   -nan -nan
-0x1.0648b9f9b87d4p+8 0x1.851d0f6419097p-379   -0x1.81fe88c4d21c4p+7 0x1.7a751a682083bp-279
0x1.5044f5e8083b6p+9 0x1.34542cb01f495p+970   -0x1.1ef7a19846a01p+9 0x1.fb89abc38cfb4p-829
-0x1.62b010eacd90ep+9 0x0.602a972d3b921p-1022   -0x1.62566c7abf3eap+9 0x0.c1b8271cdabe3p-1022)";
    std::vector<double> args, expected;
    char* end = nullptr;
    for (const char* p = table; std::strtod(p, &end), end != p; p = end) {
        args.push_back(std::strtod(p, &end));
        expected.push_back(std::strtod(end, &end));
    }
    const KernelPath saved = kernel_path();
    for (KernelPath path : {KernelPath::baseline, KernelPath::fma}) {
        SCOPED_TRACE(set_kernel_path(path) == KernelPath::fma ? "fma path" : "baseline path");
        expect_all_forms(args, expected);
    }
    set_kernel_path(saved);
}

// 10^6 arguments: uniform over the range of finite, non-trivial results,
// uniform over the arguments near 0, and random bit patterns (every class of
// double, mostly out of range).
TEST(Exp, RandomArgumentsMatchTheCLibrary) {
    // The C library serves as the reference only where its exp fuses the
    // multiply-adds as glibc's build for processors with FMA does: on x86-64
    // with FMA and AVX2, and on aarch64, where glibc is built with the
    // contraction. On this argument the fused and the unfused build differ.
    volatile double probe = -0x1.e796896860d08p+2;  // keeps the call from being folded
    if (std::exp(probe) != 0x1.018e1649bd3a5p-11) {
        GTEST_SKIP() << "the C library's exp does not fuse its multiply-adds (an x86-64 without "
                        "FMA or AVX2, another C library, or GLIBC_TUNABLES masking FMA)";
    }
    std::mt19937_64 rng(20261207);
    std::uniform_real_distribution<double> whole(-746.0, 710.0), near_zero(-1.0, 1.0);
    std::uniform_int_distribution<int> exponent(-60, 0);
    std::vector<double> args(1'000'000);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::size_t kind = i % 4;
        args[i] = kind < 2    ? whole(rng)
                  : kind == 2 ? std::ldexp(near_zero(rng), exponent(rng))
                              : std::bit_cast<double>(rng());
    }
    expect_all_forms(args);
}

// 300 excitatory nodes, each with 30 incoming edges from distinct others,
// weights from N(0, 2). With bindings 1, 5 and 17 this network amplifies a
// last-bit difference of one exp into a visibly different trace (seed 5: the
// C library's two builds of exp give traces that part at 73 ms).
std::string amplifying_contract(std::uint64_t seed) {
    constexpr int nodes = 300, degree = 30;
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> weight(0.0, std::sqrt(2.0));
    std::ostringstream json;
    json.precision(17);
    json << R"({"counts":{"n_nodes":300,"n_inputs":0},"network_parameters":{"sigmoid":)"
         << R"({"theta":5.0,"beta":0.4,"f_max":100.0},"wc_coupling":{"alfa":1.2,"epsilon":1.5,)"
         << R"("gamma":1.0,"delta":0.2,"tau_E":2.5,"tau_I":5.0}},"nodes":[)";
    for (int i = 0; i < nodes; ++i) {
        json << (i ? "," : "") << R"({"node_id":)" << i << R"(,"row_index":)" << i
             << R"(,"tau":2.5,"is_excitatory":true,"pop_id":"P)" << i
             << R"(","pop_typ":"E","con_typ":"excitation","circ_id":"C0","h_row":"null",)"
             << R"("d_row":"null","mat_id":"null"})";
    }
    json << R"(],"inputs":[],"edges":[)";
    for (int target = 0; target < nodes; ++target) {
        std::vector<int> others;
        for (int s = 0; s < nodes; ++s) {
            if (s != target) others.push_back(s);
        }
        for (int k = 0; k < degree; ++k) {  // partial Fisher-Yates: distinct sources
            std::swap(others[k], others[k + rng() % (others.size() - k)]);
            json << (target || k ? "," : "") << R"({"source_kind":"node","source_id":)" << others[k]
                 << R"(,"target_node_id":)" << target << R"(,"weight_final":)" << weight(rng)
                 << "}";
        }
    }
    return json.str() + "]}\n";
}

// A run must not depend on which build of exp the C library picks (the
// environment variable masks its FMA build): runs use only our own exp.
TEST(ExpWholeRun, SameBytesWhicheverExpTheCLibraryPicks) {
    test::TempDir dir;
    dir.write("contract.json", amplifying_contract(5));
    dir.write("bindings.txt", "1\n5\n17\n");
    std::vector<std::string> results;
    for (const char* tunables :
         {static_cast<const char*>(nullptr), "glibc.cpu.hwcaps=-AVX2,-FMA"}) {
        const test::ScopedEnv env("GLIBC_TUNABLES", tunables);
        const test::CliResult r =
            test::run_cli({"--model", "contract.json", "--t-end", "150", "--bindings",
                           "bindings.txt", "--output", "nodes.csv"},
                          dir.path());
        ASSERT_EQ(r.status, 0) << r.err;
        results.push_back(r.out + r.err + test::read_file(dir.file("nodes.csv")));
    }
    EXPECT_TRUE(results[0] == results[1]) << "runs differ with the C library's FMA exp masked";
}

}  // namespace
}  // namespace vesk
