#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Archive lines and the durable file steps rotation is built from.
namespace mtr {

struct ArchiveRecord {
  int64_t time = 0;
  int32_t quality = 0;
  double value = 0.0;
};

// One line read back with "%ld,%d,%lf" (no line feed in [begin, end)). False
// when one of the three fields is missing.
bool parseArchiveLine(const char* begin, const char* end, ArchiveRecord& rec);

// Every line of `text` into `out`; returns the number of lines that did not parse
// (empty lines included).
size_t parseArchiveText(const std::string& text, std::vector<ArchiveRecord>& out);

// Appends "%ld,%d,%lf\n" for each record of [first, last).
void formatArchiveRecords(const ArchiveRecord* first, const ArchiveRecord* last, std::string& out);

size_t countLineFeeds(const std::string& text);

// Creates or truncates `path` with exactly `mode`, writes `content`, fsyncs.
// On any failure the file is closed and removed.
bool writeDurable(const std::string& path, const std::string& content, mode_t mode);

// Kernel copy of `src` into `dst` (created or truncated with exactly `mode`),
// fsynced; on failure `dst` is removed.
bool copyDurable(const std::string& src, const std::string& dst, mode_t mode);

// fsync of a folder, so renames in it survive a power cut.
bool syncDir(const std::string& dir);

// rename(2) of a complete file; across file systems a copy to a hidden
// ".<name>.part" beside `dst`, renamed into place, then `src` removed.
// The folder of `dst` is synced either way.
bool moveDurable(const std::string& src, const std::string& dst);

// Folder part of a path ("." when it has none); no trailing slash.
std::string dirName(const std::string& path);

}  // namespace mtr
