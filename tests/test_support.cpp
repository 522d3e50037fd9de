#include "test_support.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vesk::test {

TempDir::TempDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "vesk-test-XXXXXX").string();
    if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::write(const std::string& name, const std::string& content) const {
    const std::string full = file(name);
    std::ofstream out(full, std::ios::binary);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + full);
    return full;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool file_exists(const std::string& path) {
    return std::filesystem::exists(path);
}

std::string test_data(const std::string& name) {
    return std::string(VESK_TEST_DATA_DIR) + "/" + name;
}

CliResult run_cli(const std::vector<std::string>& args, const std::string& cwd,
                  const std::string& program_name) {
    return run_program(VESK_SIM_PATH, args, cwd, program_name);
}

CliResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& cwd, const std::string& program_name,
                      unsigned timeout_seconds) {
    TempDir capture;
    const std::string out_path = capture.file("stdout");
    const std::string err_path = capture.file("stderr");

    std::vector<std::string> words;
    words.push_back(program_name.empty() ? program : program_name);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
#ifdef VESK_TEST_EMULATOR
    // A cross build's tests run under user-mode emulation, and the kernel
    // cannot start the target's programs they run in turn: the same
    // emulator starts them, under the argv[0] they would have had.
    std::vector<std::string> emulator_words = VESK_TEST_EMULATOR;
    emulator_words.insert(emulator_words.end(), {"-0", words[0], program});
    emulator_words.insert(emulator_words.end(), args.begin(), args.end());
    std::vector<char*> emulator_argv;
    for (auto& w : emulator_words) emulator_argv.push_back(w.data());
    emulator_argv.push_back(nullptr);
#endif

    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || chdir(cwd.c_str()) != 0) _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (timeout_seconds > 0) alarm(timeout_seconds);  // outlives execv
        execv(program.c_str(), argv.data());
#ifdef VESK_TEST_EMULATOR
        if (errno == ENOEXEC) execvp(emulator_argv[0], emulator_argv.data());
#endif
        _exit(127);
    }
    int wstatus = 0;
    if (waitpid(pid, &wstatus, 0) < 0) throw std::runtime_error("waitpid failed");

    CliResult result;
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    return result;
}

}  // namespace vesk::test
