// The generated tables of the manual sit between two marker lines of a
// markdown file; the generators rewrite just that block.
#pragma once

#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

namespace vesk::tools {

// Replaces the text between the lines `begin_marker` and `end_marker` of
// `path` by `block`. Returns the exit status; `program` names the tool in
// its messages.
inline int rewrite_doc_block(const std::string& program, const std::string& path,
                             const std::string& begin_marker, const std::string& end_marker,
                             const std::string& block) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::cerr << program << ": cannot read " << path << "\n";
        return 1;
    }
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const std::string begin = begin_marker + "\n";
    const std::size_t from = text.find(begin);
    const std::size_t to = from == std::string::npos ? from : text.find(end_marker, from);
    if (to == std::string::npos) {
        std::cerr << program << ": " << path << " lacks the lines\n"
                  << begin_marker << "\n"
                  << end_marker << "\n";
        return 1;
    }
    const std::string updated = text.substr(0, from + begin.size()) + block + text.substr(to);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << updated;
    if (!out.flush()) {
        std::cerr << program << ": cannot write " << path << "\n";
        return 1;
    }
    return 0;
}

}  // namespace vesk::tools
