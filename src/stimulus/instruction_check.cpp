#include "stimulus/instruction_check.hpp"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>

#include "stimulus/instruction_file.hpp"
#include "stimulus/population_names.hpp"
#include "stimulus/text_lines.hpp"

namespace vesk {
namespace {

// The line number of a "<path>:<line>: <message>" error, 0 for any other.
int error_line(const std::string& message, const std::string& path) {
    if (message.compare(0, path.size() + 1, path + ":") != 0) return 0;
    std::size_t i = path.size() + 1;
    int line = 0;
    while (i < message.size() && message[i] >= '0' && message[i] <= '9') {
        line = line * 10 + (message[i] - '0');
        ++i;
    }
    return message.compare(i, 2, ": ") == 0 ? line : 0;
}

std::string ms(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

struct Located {
    int line;
    Severity severity;
    std::string message;
    std::string kind;
};

// The population a command line of a file that parsed drives.
std::string target_of(const std::vector<std::string>& tokens) {
    if (tokens[0] == "Word") return word_input_prefix + std::to_string(std::stoi(tokens.back()));
    return command_targets.at(tokens[0]);
}

bool is_directive(const std::string& token) {
    return token == "format" || token == "fixed_time" || token == "Num_of_words";
}

}  // namespace

std::optional<std::string> check_instruction_file(const std::string& path,
                                                  const InstructionCheckOptions& options,
                                                  FindingLog& log) {
    std::optional<std::string> first;
    try {
        parse_instruction_file(path, options.time_scale, options.window_value);
    } catch (const std::runtime_error& e) {
        first = e.what();
    }
    if (first && error_line(*first, path) == 0) {
        log.add(Severity::error, path, *first, "unreadable file");
        return first;
    }

    std::vector<std::string> lines;
    bool too_long = false;
    {
        std::ifstream in(path, std::ios::binary);
        std::string line;
        for (LineRead read; (read = read_line(in, line)) != LineRead::end;) {
            lines.push_back(read == LineRead::line ? line : std::string());
            if (read == LineRead::too_long) too_long = true;
        }
    }

    std::vector<Located> found;
    ScheduleMap windows;
    bool parsed = false;
    for (std::size_t attempt = 0; attempt <= lines.size(); ++attempt) {
        std::string text;
        for (const std::string& line : lines) text += line + "\n";
        std::istringstream in(text);
        try {
            windows = parse_instruction_stream(in, path, options.time_scale, options.window_value);
            parsed = true;
            break;
        } catch (const std::runtime_error& e) {
            const std::string message = e.what();
            const int line = error_line(message, path);
            found.push_back({line, Severity::error, message.substr(message.find(": ") + 2),
                             "instruction error"});
            // A line too long to hold cannot be read again as it was.
            if (too_long || line < 1 || static_cast<std::size_t>(line) > lines.size()) break;
            lines[static_cast<std::size_t>(line) - 1].clear();
        }
    }

    // Every command line that parsed stored one window, in file order per
    // target: the k-th such line of a target holds its k-th window.
    std::map<std::string, std::size_t> seen;
    std::set<std::string> missing;
    std::optional<std::string> first_missing;
    for (std::size_t i = 0; parsed && i < lines.size(); ++i) {
        const std::vector<std::string> tokens = split_tokens(lines[i]);
        if (tokens.empty() || tokens[0].front() == '#' || is_directive(tokens[0])) continue;
        const std::string target = target_of(tokens);
        const auto it = windows.find(target);
        const std::size_t k = seen[target]++;
        if (it == windows.end() || k >= it->second.size()) continue;
        const ScheduleWindow& w = it->second[k];
        const int line = static_cast<int>(i + 1);
        if (options.input_names &&
            std::find(options.input_names->begin(), options.input_names->end(), target) ==
                options.input_names->end() &&
            missing.insert(target).second) {
            found.push_back(
                {line, Severity::error,
                 "Instruction target '" + target + "' is not an external input in the loaded model",
                 "unknown input"});
        }
        if (!options.t_end) continue;
        constexpr double tolerance = 1e-9;  // ms; unit counts times 0.1 are not exact
        const double t_end = *options.t_end;
        const std::string what = "the window of " + tokens[0] + " (" + target + ")";
        if (w.start_ms > t_end + tolerance) {
            found.push_back({line, Severity::warning,
                             what + " starts at " + ms(w.start_ms) + " ms, after the run ends (" +
                                 ms(t_end) + " ms): it never acts",
                             "window after t_end"});
        } else if (w.end_ms > t_end + tolerance) {
            found.push_back({line, Severity::warning,
                             what + " ends at " + ms(w.end_ms) + " ms, after the run ends (" +
                                 ms(t_end) + " ms): it is cut short",
                             "window cut by t_end"});
        }
    }
    // A run reports the first missing target in name order.
    if (!first && !missing.empty()) {
        first = "Instruction target '" + *missing.begin() +
                "' is not an external input in the loaded model";
    }

    std::stable_sort(found.begin(), found.end(),
                     [](const Located& a, const Located& b) { return a.line < b.line; });
    for (Located& f : found) {
        log.add(f.severity, path + ":" + std::to_string(f.line), std::move(f.message),
                std::move(f.kind));
    }
    return first;
}

}  // namespace vesk
