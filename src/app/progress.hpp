// A progress line for long runs watched on a terminal: percent of samples,
// simulated time, elapsed time and an estimate of the time left, redrawn in
// place. Nothing is ever written when the output is not a terminal, so
// redirected output stays byte for byte the same.
#pragma once

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <limits>
#include <string>

namespace vesk {

using ProgressClock = std::chrono::steady_clock;

struct ProgressTiming {
    // Runs shorter than this never show the line.
    ProgressClock::duration delay = std::chrono::seconds(1);
    // Shortest time between two redraws.
    ProgressClock::duration interval = std::chrono::milliseconds(250);
};

// True when `out` is the process's standard output and that is a terminal.
bool is_terminal_stdout(const std::ostream& out);

// The text of the line, e.g. "  42%  75.6 / 180 ms  elapsed 0:03  left 0:04".
std::string format_progress(std::int64_t done, std::int64_t total, double t_ms, double t_end_ms,
                            double elapsed_s);

// "m:ss" below an hour, "h:mm:ss" from there on; negative or non-finite
// durations read "--:--".
std::string format_duration(double seconds);

class ProgressDisplay {
  public:
    // With `enabled` false the display stays silent and costs one counter
    // update per sample.
    ProgressDisplay(std::ostream& out, bool enabled, std::int64_t total_samples, double t_end_ms,
                    ProgressTiming timing = {});
    // Clears the line, also while an exception unwinds, so an error message
    // starts on a clean line.
    ~ProgressDisplay();
    ProgressDisplay(const ProgressDisplay&) = delete;
    ProgressDisplay& operator=(const ProgressDisplay&) = delete;

    // Called once per sample. The clock is read only every `stride_` samples;
    // the stride adapts so that it is read roughly every few milliseconds
    // whatever the cost of a sample.
    void sample(double t_ms) {
        ++done_;
        if (--countdown_ > 0) return;
        check(t_ms);
    }

    // Removes the line if one is shown; the cursor is left at the start of
    // the now blank line. Further samples may draw it again.
    void clear() noexcept;

  private:
    void check(double t_ms);
    void draw(std::string text);

    std::ostream& out_;
    std::int64_t total_;
    double t_end_ms_;
    ProgressTiming timing_;
    ProgressClock::time_point start_;
    ProgressClock::time_point last_check_;
    ProgressClock::time_point last_draw_;
    std::int64_t done_ = 0;
    std::int64_t stride_ = 1;
    std::int64_t countdown_ = std::numeric_limits<std::int64_t>::max();
    std::size_t shown_width_ = 0;  // 0: no line on screen
    bool drawn_once_ = false;
};

}  // namespace vesk
