// The guard every front end puts before it writes: a run's outputs must
// neither replace one of the files it read nor write two outputs into one
// file, where the later would truncate or garble the earlier.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace vesk {

// Whether two paths name one regular file, or one file still to be created.
// Existing files are compared by identity (device and inode), so links and
// other spellings of the path are caught; paths of files still to be created
// by their absolute, resolved form. Devices such as /dev/null never count as
// the same.
bool same_regular_file(const std::string& a, const std::string& b);

// A file as the messages name it ("the file given as --model") and its
// path; an empty path stands for a file not given.
struct NamedFile {
    std::string description;
    std::string path;
};

// Throws std::runtime_error "<name> would overwrite <description>: <path>"
// for the first output (name, path), in the order they are written, that is
// the same file as an input or as an earlier output (described as "the file
// given as <name>").
void refuse_overwrites(const std::vector<std::pair<std::string, std::string>>& outputs,
                       const std::vector<NamedFile>& inputs);

}  // namespace vesk
