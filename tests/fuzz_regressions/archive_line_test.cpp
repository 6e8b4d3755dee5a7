#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "storage/archive_io.h"

namespace {

// Value fields where strtod and the "%ld,%d,%lf" scan part ways: strtod takes
// the longest number it can, scanf gives up on a prefix that cannot start
// one. The archive reader must side with scanf ("0x]p4" came from the fuzzer).
struct LineCase {
  const char* line;
  bool accepted;
  double value;
};

const LineCase kCases[] = {
    {"1,2,0x]p4 tr[ailing", false, 0},
    {"1,2,0x", false, 0},
    {"1,2,infinit", false, 0},
    {"1,2,-", false, 0},
    {"1,2,", false, 0},
    {"1,2,5e", true, 5},
    {"1,2,5e3", true, 5000},
    {"1,2,0x10", true, 16},
    {"1,2,1.5x", true, 1.5},
    {"1,2,inf", true, INFINITY},
    {" 1, 2, .5", true, 0.5},
};

TEST(ArchiveLineRegression, ValueFieldAcceptedExactlyAsScanfDoes) {
  for (const LineCase& c : kCases) {
    SCOPED_TRACE(c.line);
    mtr::ArchiveRecord rec;
    rec.value = -42;
    bool ok = mtr::parseArchiveLine(c.line, c.line + strlen(c.line), rec);
    EXPECT_EQ(c.accepted, ok);
    if (ok) {
      EXPECT_EQ(1, rec.time);
      EXPECT_EQ(2, rec.quality);
      EXPECT_EQ(c.value, rec.value);
    }
  }
}

TEST(ArchiveLineRegression, RejectedLineIsCountedAndSkipped) {
  std::string text = "1700000000,192,1.000000\n1,2,0x]p4\n1700003600,192,2.000000\n";
  std::vector<mtr::ArchiveRecord> recs;
  EXPECT_EQ(1u, mtr::parseArchiveText(text, recs));
  ASSERT_EQ(2u, recs.size());
  EXPECT_EQ(1700000000, recs[0].time);
  EXPECT_EQ(1700003600, recs[1].time);
}

TEST(ArchiveLineRegression, TimeKeepsSixtyFourBits) {
  const char* line = "4102444800,0,1";  // 2100-01-01, past 32 bits
  mtr::ArchiveRecord rec;
  ASSERT_TRUE(mtr::parseArchiveLine(line, line + strlen(line), rec));
  EXPECT_EQ(4102444800LL, rec.time);
}

}  // namespace
