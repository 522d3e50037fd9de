// A fixed team of threads that runs one job at a time, each thread on its
// own part of the work, for loops that are split the same way at every step.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

namespace vesk {

// Threads wait here until all `count` of them have arrived. A waiter spins
// briefly, since the others usually arrive within microseconds, then
// sleeps. (Written out because the std::barrier of the standard library
// this project builds with can hang.)
class Barrier {
  public:
    explicit Barrier(unsigned count) : count_(count) {}
    void arrive_and_wait();
    // One thread fewer from now on; counts as its arrival in this round.
    void arrive_and_drop();

  private:
    std::mutex mutex_;
    std::condition_variable released_;
    unsigned count_;
    unsigned arrived_ = 0;
    std::atomic<unsigned> round_{0};
};

class ThreadPool {
  public:
    // A team of `threads` (at least 1): the caller of run() and
    // threads - 1 workers, started here and kept until destruction.
    explicit ThreadPool(unsigned threads);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    unsigned size() const { return size_; }

    // Calls job(part) once for every part 0 .. size() - 1, part 0 on the
    // calling thread, the others on the workers, and returns when all have
    // returned. Everything written before run() is visible to every part,
    // and everything the parts wrote is visible after it. `job` must not
    // throw. Allocates nothing.
    template <class Job>
    void run(Job& job) {
        invoke_ = [](void* ctx, unsigned part) { (*static_cast<Job*>(ctx))(part); };
        context_ = &job;
        run_parts();
    }

    // Inside a job: waits until every part has reached its own call of
    // sync(), so that what each wrote before is visible to all. Every part
    // must call it the same number of times.
    void sync() { phase_.arrive_and_wait(); }

  private:
    void run_parts();
    void work(unsigned part);

    unsigned size_;
    void (*invoke_)(void*, unsigned) = nullptr;
    void* context_ = nullptr;
    bool stopping_ = false;
    Barrier start_;
    Barrier phase_;
    Barrier done_;
    std::vector<std::jthread> workers_;
};

}  // namespace vesk
