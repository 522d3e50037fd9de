// The thread team under stress: many short jobs and meetings on teams of
// several sizes, started and stopped again and again. The parts share plain
// (not atomic) data, as the simulator's threads do, so a missing ordering
// shows as a wrong value on a weakly ordered processor and as a report under
// ThreadSanitizer on any; a lost wake-up shows as a test that never ends.
#include "sim/thread_pool.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace vesk {
namespace {

TEST(ThreadPool, EveryPartSeesWhatTheOthersWroteBeforeEachMeeting) {
    constexpr int pools = 10, jobs = 10, meetings = 10;
    for (const unsigned size : {1u, 2u, 3u, 5u, 8u}) {
        SCOPED_TRACE(std::to_string(size) + " threads");
        std::vector<std::uint64_t> written(size);
        // Wrong values each part saw; every part counts in its own element.
        std::vector<std::uint64_t> wrong(size);
        std::uint64_t from_caller = 0;
        for (int p = 0; p < pools; ++p) {
            ThreadPool pool(size);
            ASSERT_EQ(pool.size(), size);
            for (int j = 0; j < jobs; ++j) {
                // Written before run(): every part must see it.
                ++from_caller;
                auto job = [&](unsigned part) {
                    if (from_caller != static_cast<std::uint64_t>(p * jobs + j + 1)) ++wrong[part];
                    for (std::uint64_t m = 0; m < meetings; ++m) {
                        written[part] = (from_caller * meetings + m) * size + part;
                        pool.sync();
                        for (unsigned q = 0; q < size; ++q) {
                            if (written[q] != (from_caller * meetings + m) * size + q)
                                ++wrong[part];
                        }
                        // No part writes the next value before all have read this one.
                        pool.sync();
                    }
                };
                pool.run(job);
                // What the parts wrote is visible once run() returns.
                for (unsigned q = 0; q < size; ++q) {
                    ASSERT_EQ(written[q], (from_caller * meetings + meetings - 1) * size + q);
                }
            }
        }
        for (unsigned q = 0; q < size; ++q) EXPECT_EQ(wrong[q], 0u) << "part " << q;
    }
}

}  // namespace
}  // namespace vesk
