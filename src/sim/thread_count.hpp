// How many threads a run uses: the CPUs this process may run on (affinity
// mask and cgroup CPU quota), or the VESK_THREADS setting, and then no more
// than the model's size makes worthwhile.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace vesk {

// The largest thread count a run uses, whatever it is told.
constexpr unsigned max_threads = 256;

// A VESK_THREADS value: a whole decimal number from 1 to max_threads,
// optionally surrounded by blanks. Anything else (empty, 0, negative,
// fractions, trailing text, larger numbers) is not a setting.
std::optional<unsigned> parse_thread_setting(const char* text);

// The CPUs a cgroup v2 "cpu.max" file grants ("<quota> <period>", rounded
// up), or nothing for "max ..." and for text that is not of that form.
std::optional<unsigned> cpus_from_cgroup_v2(const std::string& cpu_max);
// The same for cgroup v1's cpu.cfs_quota_us and cpu.cfs_period_us
// (a quota of -1 means no limit).
std::optional<unsigned> cpus_from_cgroup_v1(const std::string& quota, const std::string& period);

// The smallest CPU quota of this process's cgroup and its ancestors, read
// from `proc_self_cgroup` (the text of /proc/self/cgroup) and the cgroup
// file systems mounted at `cgroup_root`; nothing when there is no limit.
std::optional<unsigned> cgroup_cpu_limit(const std::string& proc_self_cgroup,
                                         const std::string& cgroup_root);

// CPUs this process may use: its affinity mask, capped by its cgroup quota;
// at least 1.
unsigned available_cpus();

// This thread's own setting (ThreadSetting) while one is in force, else
// VESK_THREADS when it holds a setting, else available_cpus().
unsigned configured_threads();

// Gives the calling thread its own thread setting, in place of VESK_THREADS,
// for as long as the object lives: runs started side by side from threads of
// one process can each have theirs, which changing the environment under
// them could not give safely. 0 leaves the thread as the environment says.
class ThreadSetting {
  public:
    explicit ThreadSetting(unsigned threads);
    ~ThreadSetting();
    ThreadSetting(const ThreadSetting&) = delete;
    ThreadSetting& operator=(const ThreadSetting&) = delete;

  private:
    unsigned before_;
};

// Threads worth using for a model with this many nodes and stored weights
// (both matrices) when `budget` are allowed: below a certain amount of work
// per thread and step, waiting for one another costs more than the threads
// gain, so small models run on one.
unsigned threads_for_model(std::size_t nodes, std::size_t weights, unsigned budget);

// Threads of a run of such a model: threads_for_model() with
// configured_threads() allowed.
unsigned threads_for_run(std::size_t nodes, std::size_t weights);

}  // namespace vesk
