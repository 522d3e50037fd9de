// The progress line: its text, its redraw-and-clear protocol, and that it
// appears on a terminal only, leaving redirected output untouched.
#include "app/progress.hpp"

#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <functional>
#include <iostream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/run_sequence.hpp"
#include "test_support.hpp"

namespace vesk {
namespace {

using std::chrono::hours;
using std::chrono::seconds;

constexpr ProgressTiming show_at_once{ProgressClock::duration::zero(),
                                      ProgressClock::duration::zero()};

// What a terminal shows after receiving `bytes`: a carriage return moves back
// to the start of the line, later text overwrites earlier text, trailing
// blanks are invisible.
std::string screen(const std::string& bytes) {
    std::vector<std::string> lines(1);
    std::size_t col = 0;
    for (const char c : bytes) {
        if (c == '\r') {
            col = 0;
        } else if (c == '\n') {
            lines.emplace_back();
            col = 0;
        } else {
            std::string& line = lines.back();
            if (col < line.size()) {
                line[col] = c;
            } else {
                line.push_back(c);
            }
            ++col;
        }
    }
    std::string shown;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string line = lines[i];
        line.erase(line.find_last_not_of(' ') + 1);
        shown += line;
        if (i + 1 < lines.size()) shown += "\n";
    }
    return shown;
}

TEST(ProgressText, Durations) {
    const struct {
        double seconds;
        const char* text;
    } cases[] = {
        {0.0, "0:00"},           {59.4, "0:59"},
        {59.6, "1:00"},          {61.0, "1:01"},
        {3599.0, "59:59"},       {3600.0, "1:00:00"},
        {3725.0, "1:02:05"},     {-1.0, "--:--"},
        {std::nan(""), "--:--"}, {std::numeric_limits<double>::infinity(), "--:--"},
        {1e300, "--:--"},
    };
    for (const auto& c : cases) EXPECT_EQ(format_duration(c.seconds), c.text) << c.seconds;
}

TEST(ProgressText, Line) {
    // 58 samples left at 3 s per 42 samples: about 4 s.
    EXPECT_EQ(format_progress(42, 100, 75.6, 180.0, 3.0),
              "   42%  75.6 / 180.0 ms  elapsed 0:03  left 0:04");
    EXPECT_EQ(format_progress(1800, 1800, 180.0, 180.0, 65.0),
              "  100%  180.0 / 180.0 ms  elapsed 1:05  left 0:00");
    EXPECT_EQ(format_progress(0, 1800, 0.0, 180.0, 0.0),
              "    0%  0.0 / 180.0 ms  elapsed 0:00  left --:--");
}

std::string feed(std::int64_t samples, bool enabled, ProgressTiming timing) {
    std::ostringstream out;
    {
        ProgressDisplay progress(out, enabled, samples, 1.0, timing);
        for (std::int64_t i = 0; i < samples; ++i) progress.sample(static_cast<double>(i));
    }
    return out.str();
}

TEST(ProgressDisplay, SilentWhenDisabledOrBeforeTheDelay) {
    EXPECT_EQ(feed(10000, false, show_at_once), "");
    EXPECT_EQ(feed(10000, true, {hours(1), seconds(0)}), "");
}

TEST(ProgressDisplay, RedrawsInPlaceAndLeavesABlankLine) {
    const std::string bytes = feed(10000, true, show_at_once);
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(bytes.front(), '\r');
    EXPECT_EQ(bytes.find('\n'), std::string::npos);
    EXPECT_NE(bytes.find("elapsed"), std::string::npos);
    // The last bytes blank the line and return to its start.
    EXPECT_EQ(bytes.back(), '\r');
    EXPECT_EQ(screen(bytes), "");
}

TEST(ProgressDisplay, ClearsWhileAnErrorUnwinds) {
    std::ostringstream out;
    try {
        ProgressDisplay progress(out, true, 100, 10.0, show_at_once);
        progress.sample(0.0);
        ASSERT_NE(out.str(), "");
        throw std::runtime_error("stop");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(screen(out.str() + "Error: stop\n"), "Error: stop\n");
}

TEST(ProgressDisplay, RedrawsAtMostOncePerInterval) {
    const std::string bytes = feed(100000, true, {seconds(0), hours(1)});
    std::size_t draws = 0;
    for (std::size_t at = bytes.find("elapsed"); at != std::string::npos;
         at = bytes.find("elapsed", at + 1)) {
        ++draws;
    }
    EXPECT_EQ(draws, 1u);
    EXPECT_EQ(screen(bytes), "");
}

// A run of the mixed test scenario through run_sequence, with the progress
// shown from the first sample on.
struct InProcessRun {
    test::TempDir dir;
    CliOptions opts;
    Network network;

    InProcessRun() {
        const std::string base = test::test_data("e2e/mixed_network/");
        opts.model = dir.write("contract.json", test::read_file(base + "contract.json"));
        opts.instructions =
            dir.write("instructions.txt", test::read_file(base + "instructions.txt"));
        opts.bindings = dir.write("bindings.txt", test::read_file(base + "bindings.txt"));
        opts.output = dir.file("nodes.csv");
        opts.output_inputs = dir.file("inputs.csv");
        opts.output_row_map = dir.file("row_map.csv");
        network.load_from_json(opts.model);
    }

    void run(std::ostream& out) const { run_sequence(opts, 6.0, 60, network, out, show_at_once); }

    // The run in a child process whose standard output is the terminal side
    // of a fresh pseudo-terminal (or, with `terminal` false, a pipe);
    // returns everything the child wrote and its exit status.
    std::pair<std::string, int> run_child(bool terminal, unsigned short columns = 80) const {
        return capture_child(
            terminal, [this] { run(std::cout); }, columns);
    }

    static std::pair<std::string, int> capture_child(bool terminal,
                                                     const std::function<void()>& body,
                                                     unsigned short columns = 80) {
        std::fflush(nullptr);
        int reader = -1;
        pid_t pid = -1;
        if (terminal) {
            winsize size{};
            size.ws_row = 24;
            size.ws_col = columns;
            pid = forkpty(&reader, nullptr, nullptr, &size);
        } else {
            int fds[2];
            if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
            pid = fork();
            if (pid == 0) {
                dup2(fds[1], STDOUT_FILENO);
                close(fds[0]);
                close(fds[1]);
            } else {
                close(fds[1]);
                reader = fds[0];
            }
        }
        if (pid < 0) throw std::runtime_error("fork failed");
        if (pid == 0) {
            int status = 0;
            try {
                body();
            } catch (const std::exception& e) {
                std::cerr << "Error: " << e.what() << "\n";
                status = 1;
            }
            std::cout.flush();
            std::fflush(nullptr);
            _exit(status);
        }
        std::string bytes;
        char buf[4096];
        for (;;) {
            const ssize_t n = read(reader, buf, sizeof buf);
            if (n > 0) {
                bytes.append(buf, static_cast<std::size_t>(n));
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                break;  // end of the pipe, or EIO once the terminal side is closed
            }
        }
        close(reader);
        int wstatus = 0;
        waitpid(pid, &wstatus, 0);
        return {bytes, WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1};
    }
};

std::string without_carriage_returns_before_newlines(std::string bytes) {
    std::string plain;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
        plain += bytes[i];
    }
    return plain;
}

TEST(ProgressOnTerminal, ShownWhileSimulatingAndClearedBeforeDone) {
    const InProcessRun run;
    std::ostringstream usual;
    run.run(usual);

    const auto [bytes, status] = run.run_child(true);
    ASSERT_EQ(status, 0) << bytes;
    // The terminal turns each "\n" into "\r\n".
    const std::string plain = without_carriage_returns_before_newlines(bytes);
    EXPECT_NE(plain, usual.str());
    EXPECT_NE(plain.find("%  "), std::string::npos) << plain;
    EXPECT_NE(plain.find(" / 6.0 ms  elapsed "), std::string::npos) << plain;
    // The line appears after the last "Writing ..." line and is gone when
    // "Done." is written.
    const std::size_t first_progress = plain.find('\r');
    EXPECT_EQ(first_progress, plain.rfind("...\n") + 4);
    EXPECT_EQ(plain.substr(plain.size() - 7), "\rDone.\n");
    EXPECT_EQ(screen(plain), usual.str());
}

TEST(ProgressOnTerminal, NarrowTerminalGetsAShortenedLine) {
    const InProcessRun run;
    std::ostringstream usual;
    run.run(usual);

    const auto [bytes, status] = run.run_child(true, 20);
    ASSERT_EQ(status, 0) << bytes;
    const std::string plain = without_carriage_returns_before_newlines(bytes);
    // Each redraw starts with a carriage return; none may reach the last
    // column, where the terminal would wrap.
    const std::size_t first = plain.find('\r');
    ASSERT_NE(first, std::string::npos);
    const std::string drawn = plain.substr(first, plain.rfind("Done.") - first);
    std::istringstream parts(drawn);
    std::size_t lines = 0;
    for (std::string part; std::getline(parts, part, '\r');) {
        EXPECT_LE(part.size(), 19u) << part;
        lines += part.empty() ? 0 : 1;
    }
    EXPECT_GE(lines, 2u);
    EXPECT_EQ(screen(plain), usual.str());
}

TEST(ProgressOnTerminal, AbsentWhenStandardOutputIsAPipe) {
    const InProcessRun run;
    std::ostringstream usual;
    run.run(usual);

    const auto [bytes, status] = run.run_child(false);
    ASSERT_EQ(status, 0) << bytes;
    EXPECT_EQ(bytes, usual.str());
}

TEST(ProgressOnTerminal, ErrorStartsOnACleanLine) {
    if (!test::file_exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    InProcessRun run;
    // Writes into /dev/full fail when the trace is flushed after the last
    // sample, while the progress line has been on screen.
    run.opts.output = "/dev/full";
    const auto [bytes, status] = InProcessRun::capture_child(true, [&run] { run.run(std::cout); });
    EXPECT_EQ(status, 1);
    const std::string shown = screen(without_carriage_returns_before_newlines(bytes));
    EXPECT_NE(bytes.find("elapsed"), std::string::npos);
    const std::string tail = "Writing input traces to " + run.opts.output_inputs +
                             "...\nError: write_csv: failed to write output file: /dev/full\n";
    ASSERT_GE(shown.size(), tail.size()) << shown;
    EXPECT_EQ(shown.substr(shown.size() - tail.size()), tail);
}

TEST(ProgressOnTerminal, ShortRunOfTheProgramLooksAsWhenRedirected) {
    // The program itself, with its one-second delay: a short run shows no
    // progress line on a terminal either.
    test::TempDir dir;
    const std::string base = test::test_data("e2e/tiny_t180/");
    dir.write("contract.json", test::read_file(base + "contract.json"));
    const auto [bytes, status] = InProcessRun::capture_child(true, [&dir] {
        if (chdir(dir.path().c_str()) != 0) _exit(127);
        const char* argv[] = {"vesk-sim",   "--model",          "contract.json", "--t-end",
                              "180",        "--output",         "nodes.csv",     "--output-inputs",
                              "inputs.csv", "--output-row-map", "row_map.csv",   nullptr};
        execv(test::sim_path().c_str(), const_cast<char* const*>(argv));
        _exit(127);
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(without_carriage_returns_before_newlines(bytes),
              test::read_file(base + "expected_stdout.txt"));
}

}  // namespace
}  // namespace vesk
