// The progress line appears on a terminal only, is cleared before anything
// else is written, and leaves redirected output untouched.
#include "app/progress.hpp"

#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/run_sequence.hpp"
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
        for (auto [name, path] : {std::pair{"contract.json", &opts.model},
                                  {"instructions.txt", &opts.instructions},
                                  {"bindings.txt", &opts.bindings}}) {
            *path = dir.write(name, test::read_file(base + name));
        }
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
                run(std::cout);
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

// On a terminal the line appears after the last "Writing ..." line, never
// reaches the last column (where the terminal would wrap), and is gone when
// "Done." is written; in a pipe the output is the usual bytes exactly.
TEST(ProgressOnTerminal, ShownWhileSimulatingAndClearedBeforeDone) {
    const InProcessRun run;
    std::ostringstream usual;
    run.run(usual);
    for (const unsigned short columns : {80, 20}) {
        SCOPED_TRACE(columns);
        const auto [bytes, status] = run.run_child(true, columns);
        ASSERT_EQ(status, 0) << bytes;
        // The terminal turns each "\n" into "\r\n".
        const std::string plain = without_carriage_returns_before_newlines(bytes);
        if (columns == 80) {
            EXPECT_NE(plain.find(" / 6.0 ms  elapsed "), std::string::npos) << plain;
        }
        const std::size_t first = plain.find('\r');
        EXPECT_EQ(first, plain.rfind("...\n") + 4);
        EXPECT_EQ(plain.substr(plain.size() - 7), "\rDone.\n");
        std::istringstream parts(plain.substr(first, plain.rfind("Done.") - first));
        std::size_t lines = 0;
        for (std::string part; std::getline(parts, part, '\r');) {
            EXPECT_LE(part.size(), columns - 1u) << part;
            lines += part.empty() ? 0 : 1;
        }
        EXPECT_GE(lines, 2u);
        EXPECT_EQ(screen(plain), usual.str());
    }
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
    const auto [bytes, status] = run.run_child(true);
    EXPECT_EQ(status, 1);
    const std::string shown = screen(without_carriage_returns_before_newlines(bytes));
    EXPECT_NE(bytes.find("elapsed"), std::string::npos);
    const std::string tail = "Writing input traces to " + run.opts.output_inputs +
                             "...\nError: write_csv: failed to write output file: /dev/full\n";
    ASSERT_GE(shown.size(), tail.size()) << shown;
    EXPECT_EQ(shown.substr(shown.size() - tail.size()), tail);
}

}  // namespace
}  // namespace vesk
