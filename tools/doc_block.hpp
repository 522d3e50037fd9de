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

// The whole of a table generator: with no argument it prints `table`; with
// `option FILE` it rewrites the block of FILE; anything else prints `usage`
// and returns 2.
inline int doc_table_main(int argc, char** argv, const std::string& program,
                          const std::string& option, const std::string& begin_marker,
                          const std::string& end_marker, const std::string& table,
                          const char* usage) {
    if (argc == 1) {
        std::cout << table;
        return 0;
    }
    if (argc == 3 && argv[1] == option) {
        return rewrite_doc_block(program, argv[2], begin_marker, end_marker, table);
    }
    std::cerr << usage;
    return 2;
}

}  // namespace vesk::tools
