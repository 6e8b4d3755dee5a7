#pragma once

#include <sys/types.h>

#include <string>

namespace mtr {

// mkdir -p with mkdir(2); true when the folder exists afterwards.
bool makeDirs(const std::string& path, mode_t mode = 0755);

// ln -n -s target link with symlink(2): an existing link at `link` is replaced.
bool makeSymlink(const std::string& target, const std::string& link);

// Replaces `path` with `content` atomically: a temporary file in the same
// folder, written whole, then rename(2). Readers see old or new, never a mix.
bool writeFileAtomic(const std::string& path, const std::string& content, bool sync = false);

// Whole file into `out`; false when it cannot be opened.
bool readFile(const std::string& path, std::string& out);

bool fileExists(const std::string& path);

}  // namespace mtr
