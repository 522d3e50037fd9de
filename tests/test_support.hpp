// Helpers shared by the test files: temporary files, running the real
// executable, and checking exception texts exactly.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace vesk::test {

// A fresh empty directory under the system temp dir, removed with its
// contents when the object goes out of scope.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // Writes `content` to `name` inside the directory; returns the full path.
    std::string write(const std::string& name, const std::string& content) const;
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Sets an environment variable (unsets it for null) for the scope, then
// restores it.
struct ScopedEnv {
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) saved_ = old;
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedEnv() { saved_ ? setenv(name_, saved_->c_str(), 1) : unsetenv(name_); }
    const char* name_;
    std::optional<std::string> saved_;
};

std::string read_file(const std::string& path);
// The lines of `text`, without their '\n'; a last line without one counts.
std::vector<std::string> split_lines(const std::string& text);
bool file_exists(const std::string& path);

struct CliResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the executable at `program` with `args` (argv[0] is `program_name`,
// or `program` itself when empty) in the working directory `cwd`, with
// standard input closed, and captures its status and both streams. With a
// timeout, a program still running after it is killed by SIGALRM (status
// 142), so that a hang fails the test instead of stalling it.
CliResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& cwd = ".", const std::string& program_name = "",
                      unsigned timeout_seconds = 0);

// run_program on the built vesk-sim, named "vesk-sim" unless told otherwise.
CliResult run_cli(const std::vector<std::string>& args, const std::string& cwd = ".",
                  const std::string& program_name = "vesk-sim");

std::string test_data(const std::string& name);

}  // namespace vesk::test

// The JSON library's own messages, which reach users unchanged: spelt here
// once, and pinned against the loader by the table in network_test.cpp.
#define JSON_302 "[json.exception.type_error.302] type must be "
#define JSON_304 "[json.exception.type_error.304] cannot use at() with "
#define JSON_306 "[json.exception.type_error.306] cannot use value() with "
#define JSON_403 "[json.exception.out_of_range.403] key '"

// Checks that `stmt` throws a `type` whose what() is exactly `message`.
#define EXPECT_THROW_MSG(stmt, type, message)                                  \
    do {                                                                       \
        try {                                                                  \
            stmt;                                                              \
            ADD_FAILURE() << "expected " #type " with message: " << (message); \
        } catch (const std::exception& e) {                                    \
            EXPECT_NE(dynamic_cast<const type*>(&e), nullptr)                  \
                << "wrong exception type, message: " << e.what();              \
            EXPECT_EQ(std::string(e.what()), std::string(message));            \
        }                                                                      \
    } while (0)
