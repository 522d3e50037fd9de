#include "app/progress.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>

namespace vesk {
namespace {

// The clock is read about this often; a read costs tens of nanoseconds, a
// sample of a small model about a microsecond.
constexpr auto min_check_period = std::chrono::milliseconds(5);
constexpr auto max_check_period = std::chrono::milliseconds(20);
constexpr std::int64_t max_stride = std::int64_t{1} << 24;

double seconds_between(ProgressClock::time_point from, ProgressClock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// Width of the terminal behind `out`, or 0 when unknown. Asked at every
// redraw, so a resized window is followed.
std::size_t terminal_columns(const std::ostream& out) {
    if (&out != &std::cout) return 0;
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

}  // namespace

bool is_terminal_stdout(const std::ostream& out) {
    return &out == &std::cout && ::isatty(STDOUT_FILENO) == 1;
}

std::string format_duration(double seconds) {
    // Beyond about 30 years an estimate means nothing.
    if (!(seconds >= 0.0) || seconds > 1e9) return "--:--";
    const auto total = static_cast<long long>(std::llround(seconds));
    const long long h = total / 3600;
    const long long m = total / 60 % 60;
    const long long s = total % 60;
    char text[48];
    if (h > 0) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", h, m, s);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", m, s);
    }
    return text;
}

std::string format_progress(std::int64_t done, std::int64_t total, double t_ms, double t_end_ms,
                            double elapsed_s) {
    const std::int64_t percent =
        total > 0 ? std::clamp<std::int64_t>(done, 0, total) * 100 / total : 0;
    const double left_s =
        done > 0 ? elapsed_s * static_cast<double>(total - done) / static_cast<double>(done) : -1.0;
    char head[96];
    std::snprintf(head, sizeof head, "%3lld%%  %.1f / %.1f ms", static_cast<long long>(percent),
                  t_ms, t_end_ms);
    return "  " + std::string(head) + "  elapsed " + format_duration(elapsed_s) + "  left " +
           format_duration(left_s);
}

ProgressDisplay::ProgressDisplay(std::ostream& out, bool enabled, std::int64_t total_samples,
                                 double t_end_ms, ProgressTiming timing)
    : out_(out), total_(total_samples), t_end_ms_(t_end_ms), timing_(timing) {
    if (!enabled) return;
    start_ = ProgressClock::now();
    last_check_ = start_;
    countdown_ = stride_;
}

ProgressDisplay::~ProgressDisplay() {
    clear();
}

void ProgressDisplay::check(double t_ms) {
    const ProgressClock::time_point now = ProgressClock::now();
    const auto since_check = now - last_check_;
    last_check_ = now;
    if (since_check < min_check_period && stride_ < max_stride) {
        stride_ *= 2;
    } else if (since_check > max_check_period && stride_ > 1) {
        stride_ /= 2;
    }
    countdown_ = stride_;

    if (now - start_ < timing_.delay) return;
    if (drawn_once_ && now - last_draw_ < timing_.interval) return;
    drawn_once_ = true;
    last_draw_ = now;
    draw(format_progress(done_, total_, t_ms, t_end_ms_, seconds_between(start_, now)));
}

void ProgressDisplay::draw(std::string text) {
    // A line wider than the terminal would wrap, and the carriage return
    // would then only go back to the start of its last part.
    const std::size_t columns = terminal_columns(out_);
    if (columns > 1 && text.size() > columns - 1) text.resize(columns - 1);
    // Padding with blanks rather than an erase sequence keeps the line
    // readable on terminals without cursor control.
    std::string line = "\r" + text;
    if (text.size() < shown_width_) line.append(shown_width_ - text.size(), ' ');
    out_ << line;
    out_.flush();
    shown_width_ = std::max(shown_width_, text.size());
}

void ProgressDisplay::clear() noexcept {
    if (shown_width_ == 0) return;
    try {
        out_ << '\r' << std::string(shown_width_, ' ') << '\r';
        out_.flush();
    } catch (...) {
        // A stream set to throw must not turn a clean-up into a second error.
    }
    shown_width_ = 0;
}

}  // namespace vesk
