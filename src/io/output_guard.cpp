#include "io/output_guard.hpp"

#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace vesk {

bool same_regular_file(const std::string& a, const std::string& b) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::status(a, ec);
    if (fs::exists(status)) {
        if (!fs::is_regular_file(status)) return false;
        const bool same = fs::equivalent(a, b, ec);
        return !ec && same;
    }
    const fs::path ca = fs::weakly_canonical(fs::absolute(a, ec), ec);
    if (ec) return false;
    const fs::path cb = fs::weakly_canonical(fs::absolute(b, ec), ec);
    return !ec && ca == cb;
}

void refuse_overwrites(const std::vector<std::pair<std::string, std::string>>& outputs,
                       const std::vector<NamedFile>& inputs) {
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        // Named references rather than a structured binding: clang 14 cannot capture those.
        const std::string& name = outputs[i].first;
        const std::string& path = outputs[i].second;
        if (path.empty()) continue;
        auto refuse = [&](const std::string& other) {
            throw std::runtime_error(name + " would overwrite " + other + ": " + path);
        };
        for (const NamedFile& input : inputs) {
            if (!input.path.empty() && same_regular_file(path, input.path)) {
                refuse(input.description);
            }
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (!outputs[j].second.empty() && same_regular_file(path, outputs[j].second)) {
                refuse("the file given as " + outputs[j].first);
            }
        }
    }
}

}  // namespace vesk
