#pragma once

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/harness/check.h"
#include "storage/archive_io.h"

namespace mtr_fuzz {

inline bool sameValue(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || a == b;
}

// Reads what sscanf("%ld,%d,%lf") reads; rotation's output reads back to itself.
inline void archiveLineOne(const uint8_t* data, size_t size) {
  static const char* h = "archive_line";
  std::string text(reinterpret_cast<const char*>(data), size);

  std::vector<mtr::ArchiveRecord> recs;
  size_t bad = mtr::parseArchiveText(text, recs);

  size_t good = 0, lines = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    size_t end = nl == std::string::npos ? text.size() : nl;
    std::string line = text.substr(pos, end - pos);
    ++lines;

    mtr::ArchiveRecord rec;
    bool ok = mtr::parseArchiveLine(line.data(), line.data() + line.size(), rec);
    int64_t t = 0;
    int q = 0;
    double v = 0;
    bool ref = sscanf(line.c_str(), "%" SCNd64 ",%d,%lf", &t, &q, &v) == 3;
    FUZZ_CHECK(h, ok == ref);
    if (ok && ref) {
      FUZZ_CHECK(h, rec.time == t);
      FUZZ_CHECK(h, rec.quality == q);
      FUZZ_CHECK(h, sameValue(rec.value, v));
      if (good < recs.size()) {
        FUZZ_CHECK(h, recs[good].time == rec.time);
        FUZZ_CHECK(h, sameValue(recs[good].value, rec.value));
      }
      ++good;
    }
    pos = nl == std::string::npos ? text.size() : nl + 1;
  }
  FUZZ_CHECK(h, recs.size() == good);
  FUZZ_CHECK(h, bad == lines - good);
  FUZZ_CHECK(h, mtr::countLineFeeds(text) ==
                    static_cast<size_t>(std::count(text.begin(), text.end(), '\n')));

  // Written back, every record is one line that reads back to the same text.
  std::string once;
  mtr::formatArchiveRecords(recs.data(), recs.data() + recs.size(), once);
  FUZZ_CHECK(h, mtr::countLineFeeds(once) == recs.size());
  std::vector<mtr::ArchiveRecord> again;
  FUZZ_CHECK(h, mtr::parseArchiveText(once, again) == 0);
  FUZZ_CHECK(h, again.size() == recs.size());
  for (size_t i = 0; i < again.size() && i < recs.size(); ++i) {
    FUZZ_CHECK(h, again[i].time == recs[i].time);
    FUZZ_CHECK(h, again[i].quality == recs[i].quality);
  }
  std::string twice;
  mtr::formatArchiveRecords(again.data(), again.data() + again.size(), twice);
  FUZZ_CHECK(h, twice == once);
}

}  // namespace mtr_fuzz
