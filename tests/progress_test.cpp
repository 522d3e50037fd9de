// The progress line appears on a terminal only, is cleared before anything
// else is written, and leaves redirected output untouched.
#include "app/progress.hpp"

#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/run_sequence.hpp"
#include "contract/load_network.hpp"
#include "run/memory_budget.hpp"
#include "run/sample_grid.hpp"
#include "test_support.hpp"

namespace vesk {
namespace {

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
            if (col >= line.size()) line.resize(col + 1);
            line[col++] = c;
        }
    }
    std::string shown;
    for (auto& line : lines) shown += line.erase(line.find_last_not_of(' ') + 1) + "\n";
    shown.pop_back();
    return shown;
}

// A run of the mixed test scenario through run_sequence, with the progress
// shown from the first sample on.
struct InProcessRun {
    test::TempDir dir;
    CliOptions opts;
    Network network;

    InProcessRun() {
        const std::string base = test::test_data("e2e/mixed_network/");
        opts.model = base + "contract.json";
        opts.instructions = base + "instructions.txt";
        opts.bindings = base + "bindings.txt";
        opts.output = dir.file("nodes.csv");
        opts.output_inputs = dir.file("inputs.csv");
        opts.output_row_map = dir.file("row_map.csv");
        network = load_network(opts.model, check_fits_in_memory);
    }

    void run(std::ostream& out) const {
        run_sequence(opts, command_line_grid(6.0, 0), network, out, show_at_once);
    }

    // The run in a child process whose standard output is a fresh raw
    // pseudo-terminal; returns everything the child wrote and its status.
    std::pair<std::string, int> run_child(unsigned short columns) const {
        std::fflush(nullptr);
        int reader = -1;
        termios raw{};
        cfmakeraw(&raw);
        winsize size{24, columns, 0, 0};
        const pid_t pid = forkpty(&reader, nullptr, &raw, &size);
        if (pid < 0) throw std::runtime_error("fork failed");
        if (pid == 0) {
            int status = 0;
            try {
                run(std::cout);
            } catch (const std::exception& e) {
                std::cerr << "Error: " << e.what() << "\n";
                status = 1;
            }
            std::cout.flush();
            _exit(status);
        }
        std::string bytes;
        char buf[4096];
        ssize_t n;
        // Ends with EIO once the terminal side is closed.
        while ((n = read(reader, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
            if (n > 0) bytes.append(buf, static_cast<std::size_t>(n));
        }
        close(reader);
        int wstatus = 0;
        waitpid(pid, &wstatus, 0);
        return {bytes, WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1};
    }
};

// On a terminal the line appears after the last "Writing ..." line, never
// reaches the last column (where the terminal would wrap), and is gone when
// "Done." is written, or when an error is: writes into /dev/full fail when
// the trace is flushed after the last sample, while the line is on screen.
TEST(ProgressOnTerminal, ShownWhileSimulatingAndClearedBeforeDoneOrError) {
    InProcessRun run;
    std::ostringstream usual;
    run.run(usual);
    for (const unsigned short columns : {80, 20}) {
        SCOPED_TRACE(columns);
        const auto [bytes, status] = run.run_child(columns);
        ASSERT_EQ(status, 0) << bytes;
        if (columns == 80) {
            EXPECT_NE(bytes.find(" / 6.0 ms  elapsed "), std::string::npos) << bytes;
        }
        const std::size_t first = bytes.find('\r');
        EXPECT_EQ(first, bytes.rfind("...\n") + 4);
        EXPECT_EQ(bytes.substr(bytes.size() - 7), "\rDone.\n");
        std::istringstream parts(bytes.substr(first, bytes.rfind("Done.") - first));
        std::size_t lines = 0;
        for (std::string part; std::getline(parts, part, '\r');) {
            EXPECT_LE(part.size(), columns - 1u) << part;
            lines += part.empty() ? 0 : 1;
        }
        EXPECT_GE(lines, 2u);
        EXPECT_EQ(screen(bytes), usual.str());
    }
    run.opts.output = "/dev/full";
    const auto [bytes, status] = run.run_child(80);
    EXPECT_EQ(status, 1);
    EXPECT_NE(bytes.find("elapsed"), std::string::npos);
    const std::string shown = screen(bytes);
    const std::string tail = "Writing input traces to " + run.opts.output_inputs +
                             "...\nError: write_csv: failed to write output file: /dev/full\n";
    ASSERT_GE(shown.size(), tail.size()) << shown;
    EXPECT_EQ(shown.substr(shown.size() - tail.size()), tail);
}

// A shorter line gets just the blanks that cover the rest of the longer
// line before it (wider would wrap on a narrow terminal).
TEST(ProgressOnTerminal, ShorterLineCoversTheLongerOneExactly) {
    std::ostringstream out;
    {
        ProgressDisplay display(out, true, 100, 180.0, show_at_once);
        display.sample(150.0);  // the first sample is always drawn
        for (int i = 0; i < 64; ++i) display.sample(5.0);
    }
    std::vector<std::string> parts;
    std::istringstream lines(out.str());
    for (std::string part; std::getline(lines, part, '\r');) parts.push_back(part);
    const auto shorter = std::find_if(parts.begin(), parts.end(), [](const std::string& part) {
        return part.find(" 5.0 / 180.0") != std::string::npos;
    });
    ASSERT_TRUE(parts.size() > 1 && shorter != parts.end()) << out.str();
    EXPECT_EQ(shorter->size(), parts[1].size()) << "'" << *shorter << "'";
    EXPECT_EQ(shorter->substr(shorter->size() - 2), "  ") << *shorter;
}

// The line's text: percent done, simulated time, elapsed time and the time
// left at the pace so far; durations as m:ss, from an hour on as h:mm:ss.
TEST(ProgressText, PercentTimesAndDurations) {
    EXPECT_EQ(format_progress(42, 100, 75.0, 180.0, 3.0),
              "   42%  75.0 / 180.0 ms  elapsed 0:03  left 0:04");
    EXPECT_EQ(format_progress(0, 100, 0.0, 1.0, 0.0),
              "    0%  0.0 / 1.0 ms  elapsed 0:00  left --:--");
    const std::pair<double, const char*> durations[] = {
        {59.4, "0:59"},        {59.5, "1:00"},  {3599.0, "59:59"}, {3600.0, "1:00:00"},
        {90061.0, "25:01:01"}, {-1.0, "--:--"}, {NAN, "--:--"},    {2e9, "--:--"}};
    for (const auto& [seconds, text] : durations) {
        EXPECT_EQ(format_duration(seconds), text) << seconds;
    }
}

}  // namespace
}  // namespace vesk
