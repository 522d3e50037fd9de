#include "sim/thread_count.hpp"

#include <sched.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string_view>
#include <thread>
#include <vector>

namespace vesk {
namespace {

std::string_view trim(std::string_view s) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

// A whole decimal number filling all of `s`.
std::optional<std::int64_t> parse_integer(std::string_view s) {
    std::int64_t v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return v;
}

std::optional<unsigned> cpus_from_quota(std::int64_t quota, std::int64_t period) {
    if (quota <= 0 || period <= 0) return std::nullopt;
    const std::int64_t cpus = quota / period + (quota % period != 0 ? 1 : 0);
    return static_cast<unsigned>(std::min<std::int64_t>(cpus, max_threads));
}

std::optional<std::string> read_text(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::optional<unsigned> smaller(std::optional<unsigned> a, std::optional<unsigned> b) {
    if (!a) return b;
    if (!b) return a;
    return std::min(*a, *b);
}

// `dir`/`path` and each of its ancestors up to `dir` itself.
std::vector<std::string> cgroup_dirs(const std::string& dir, std::string path) {
    std::vector<std::string> dirs;
    while (!path.empty() && path.back() == '/') path.pop_back();
    for (;;) {
        dirs.push_back(dir + path);
        const auto slash = path.rfind('/');
        if (path.empty() || slash == std::string::npos) break;
        path.erase(slash);
    }
    return dirs;
}

}  // namespace

std::optional<unsigned> parse_thread_setting(const char* text) {
    if (!text) return std::nullopt;
    const auto v = parse_integer(trim(text));
    if (!v || *v < 1 || *v > max_threads) return std::nullopt;
    return static_cast<unsigned>(*v);
}

std::optional<unsigned> cpus_from_cgroup_v2(const std::string& cpu_max) {
    std::istringstream in(cpu_max);
    std::string quota, period, rest;
    if (!(in >> quota >> period) || (in >> rest)) return std::nullopt;
    const auto q = parse_integer(quota);
    const auto p = parse_integer(period);
    if (!q || !p) return std::nullopt;
    return cpus_from_quota(*q, *p);
}

std::optional<unsigned> cpus_from_cgroup_v1(const std::string& quota, const std::string& period) {
    const auto q = parse_integer(trim(quota));
    const auto p = parse_integer(trim(period));
    if (!q || !p) return std::nullopt;
    return cpus_from_quota(*q, *p);
}

std::optional<unsigned> cgroup_cpu_limit(const std::string& proc_self_cgroup,
                                         const std::string& cgroup_root) {
    std::optional<unsigned> limit;
    std::istringstream lines(proc_self_cgroup);
    for (std::string line; std::getline(lines, line);) {
        // "<id>:<controllers>:<path>"; cgroup v2 has id 0 and no controllers.
        const auto first = line.find(':');
        const auto second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        if (line.compare(0, first, "0") == 0 && controllers.empty()) {
            for (const auto& dir : cgroup_dirs(cgroup_root, path)) {
                if (const auto text = read_text(dir + "/cpu.max")) {
                    limit = smaller(limit, cpus_from_cgroup_v2(*text));
                }
            }
            continue;
        }
        std::istringstream names(controllers);
        bool has_cpu = false;
        for (std::string name; std::getline(names, name, ',');) has_cpu = has_cpu || name == "cpu";
        if (!has_cpu) continue;
        for (const std::string& mount : {cgroup_root + "/" + controllers, cgroup_root + "/cpu"}) {
            for (const auto& dir : cgroup_dirs(mount, path)) {
                const auto quota = read_text(dir + "/cpu.cfs_quota_us");
                const auto period = read_text(dir + "/cpu.cfs_period_us");
                if (quota && period) limit = smaller(limit, cpus_from_cgroup_v1(*quota, *period));
            }
        }
    }
    return limit;
}

unsigned available_cpus() {
    unsigned cpus = 1;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        cpus = static_cast<unsigned>(std::max(CPU_COUNT(&set), 1));
    } else if (const unsigned hw = std::thread::hardware_concurrency(); hw > 0) {
        cpus = hw;
    }
    if (const auto text = read_text("/proc/self/cgroup")) {
        if (const auto limit = cgroup_cpu_limit(*text, "/sys/fs/cgroup")) {
            cpus = std::min(cpus, *limit);
        }
    }
    return std::clamp(cpus, 1u, max_threads);
}

namespace {
thread_local unsigned thread_setting = 0;  // 0: none of this thread's own
}  // namespace

ThreadSetting::ThreadSetting(unsigned threads) : before_(thread_setting) {
    thread_setting = std::min(threads, max_threads);
}

ThreadSetting::~ThreadSetting() {
    thread_setting = before_;
}

unsigned configured_threads() {
    if (thread_setting > 0) return thread_setting;
    if (const auto setting = parse_thread_setting(std::getenv("VESK_THREADS"))) return *setting;
    return available_cpus();
}

unsigned threads_for_model(std::size_t nodes, std::size_t weights, unsigned budget) {
    // Work of one step in units of about one stored weight's share: each
    // node costs about as much as `node_work` weights (eight exp calls and
    // the element-wise passes). A thread needs `min_work` of them per step
    // to outweigh the six meetings of all threads that a step takes.
    constexpr std::size_t node_work = 16;
    constexpr std::size_t min_work = 80'000;
    const std::size_t work = nodes * node_work + weights;
    const std::size_t worthwhile = std::max<std::size_t>(work / min_work, 1);
    return static_cast<unsigned>(std::min<std::size_t>({worthwhile, budget, max_threads}));
}

unsigned threads_for_run(std::size_t nodes, std::size_t weights) {
    return threads_for_model(nodes, weights, configured_threads());
}

}  // namespace vesk
