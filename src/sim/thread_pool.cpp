#include "sim/thread_pool.hpp"

#include <algorithm>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vesk {
namespace {

// Checks of the round before a waiter goes to sleep: a few microseconds.
constexpr int spin_checks = 256;

inline void pause() {
#if defined(__x86_64__)
    _mm_pause();
#endif
}

}  // namespace

void Barrier::arrive_and_wait() {
    std::unique_lock lock(mutex_);
    const unsigned round = round_.load(std::memory_order_relaxed);
    if (++arrived_ == count_) {
        arrived_ = 0;
        round_.store(round + 1, std::memory_order_release);
        lock.unlock();
        released_.notify_all();
        return;
    }
    lock.unlock();
    for (int i = 0; i < spin_checks; ++i) {
        if (round_.load(std::memory_order_acquire) != round) return;
        pause();
    }
    lock.lock();
    released_.wait(lock, [&] { return round_.load(std::memory_order_relaxed) != round; });
}

void Barrier::arrive_and_drop() {
    std::unique_lock lock(mutex_);
    --count_;
    if (count_ > 0 && arrived_ == count_) {
        arrived_ = 0;
        round_.store(round_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
        lock.unlock();
        released_.notify_all();
    }
}

ThreadPool::ThreadPool(unsigned threads)
    : size_(std::max(threads, 1u)), start_(size_), phase_(size_), done_(size_) {
    workers_.reserve(size_ - 1);
    try {
        for (unsigned part = 1; part < size_; ++part) {
            workers_.emplace_back([this, part] { work(part); });
        }
    } catch (...) {
        // The workers that did start wait at the start barrier: stand in for
        // the missing ones, and let the started ones see the stop flag.
        for (std::size_t missing = workers_.size() + 1; missing < size_; ++missing) {
            start_.arrive_and_drop();
        }
        stopping_ = true;
        start_.arrive_and_wait();
        throw;
    }
}

ThreadPool::~ThreadPool() {
    // The start barrier publishes the flag; each worker returns on seeing it
    // and the jthreads join.
    stopping_ = true;
    if (size_ > 1) start_.arrive_and_wait();
}

void ThreadPool::run_parts() {
    if (size_ > 1) start_.arrive_and_wait();
    invoke_(context_, 0);
    if (size_ > 1) done_.arrive_and_wait();
}

void ThreadPool::work(unsigned part) {
    for (;;) {
        start_.arrive_and_wait();
        if (stopping_) return;
        invoke_(context_, part);
        done_.arrive_and_wait();
    }
}

}  // namespace vesk
