#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fuzz/harness/ce2727_driver.h"
#include "fuzz/harness/script_connector.h"
#include "support/test_support.h"

// An input the fuzzers failed on in driver code, as the check the fix brought.
namespace {

bool validBcd(uint8_t b) {
  return (b >> 4) <= 9 && (b & 0x0F) <= 9;
}

// Windows starting in 2000 (a reset meter clock) must not ask for 1999: two BCD digits.
TEST(PendingFindings, CE2727ArchiveWindowAtYear2000AsksOnlyValidDates) {
  mtr_test::ScopedEnv tz("TZ", "MSK-3");
  tzset();
  struct Case {
    uint32_t kind;
    uint8_t cmd;     // the archive command
    int date_bytes;  // its parameter bytes: month and year, or day, month and year
  } cases[] = {{Yearly, 13, 2}, {Monthly, 13, 2}, {Daily, 15, 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    auto line = std::make_shared<mtr_fuzz::ScriptConnector>(nullptr, 0);  // a silent meter
    mtr_fuzz::NullClock clock;
    mtr_fuzz::FuzzCE2727 d(2);
    d.setClock(&clock);
    d.SaveConnector(std::shared_ptr<CConnector>(line));
    d.init();
    MeasuredValueList values;
    const time_t from = 946674000;  // 2000-01-01 00:00 at UTC+3
    try {
      d.get_arch_values(c.kind, from, from + 86400, values);
    } catch (const CDisconnectException&) {
      // the silent meter; what matters is what was asked
    }
    for (const std::vector<uint8_t>& f : line->frames) {
      ASSERT_GE(f.size(), 14u);
      if (f[11] != c.cmd) continue;
      ASSERT_EQ(14u + c.date_bytes, f.size());
      for (int i = 0; i < c.date_bytes; ++i)
        EXPECT_TRUE(validBcd(f[12 + i])) << "parameter byte " << i << " of command " << int(c.cmd);
    }
  }
}

}  // namespace
