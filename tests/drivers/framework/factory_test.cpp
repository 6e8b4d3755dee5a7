#include "drivers/framework/factory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <sstream>

#include "base/fsutil.h"
#include "base/logger.h"
#include "base/paths.h"
#include "drivers/framework/base_driver.h"
#include "scripted_driver.h"
#include "storage/file_connector.h"
#include "support/test_support.h"
#include "transport/serial_peers.h"

namespace {

TEST(Factory, EveryRowTopToBottom) {
  // Per class: "model row [argument]" entries; row 0 is no row at all.
  const std::pair<const char*, const char*> groups[] = {
      {"CmtrSpodesDriver",
       "ce308-spodes 1 1, emis_ee971 2 11, mercury-23x-spodes 3 2, mercury-234-dlms 4 2, "
       "rim489 5 4, mercury204-dlms 6 2, matrica-np7xx 7 5, matrica-ad1x 8 6, milur-307s 9 9, "
       "emis-ee871 10 11, mir-s04 11 12, rotek-rtm0x 12 13, fobos-x-spodes 13 16, "
       "neva_st413 14 19, rokip-st40x 15 21, mercury204-dlms-x 6 2"},  // the first match wins
      {"CmtrADI", "adi 16"},
      {"CmtrRiM489", "rim181 17, rim489-0 17"},
      {"CmtrTopaz1xx", "topaz-103 18"},
      {"CmtrMercury23X",
       "mercury230 19 mercury230, mercury234art 19 mercury234art, vector-3 20 vector-3, "
       "mercury204 21 mercury230"},
      {"CmtrMercury206", "mercury200 22, mercury206 22"},
      {"CmtrGost61107", "ce301 23, ce307 23, ce102m 24"},
      {"CmtrCE2727", "ce2727a 25 2"},
      {"CmtrProton", "proton-k 26"},
      {"CmtrPSCH4TM", "psch-4tm 27"},
      {"CmtrNEVA", "heba-mt-3 28, neva-mt-3xx 28, neva-mt-1 29"},
      {"CmtrMAYAK301", "psch-3art 30, seb-2a 31, mayak-301art 32, mayak-t301 33"},
      {"CmtrMAYAK302", "mayak-302 34, mayak-1 35"},
      {"CmtrCE10X", "ce102 36 0"},
      {"CmtrCE6850", "ce6850 37"},
      {"CmtrCascade1mt", "cascade-1-mt 38 0, vector-100 38 0, mirtek1x2x 39 2, iek_star 40 1"},
      {"CmtrMilur", "milur-104 41"},
      {"CmtrGamma3", "gamma3 42"},
      {"CmtrSteb04N", "steb-04n 43 0, rim-889 44 1"},
      {"CmtrEmptyDriver", "Mercury230 0, steb-04n2 0"},  // case counts; no prefix match
  };
  int checked = 0;
  for (const auto& [cls, entries] : groups) {
    std::istringstream in(entries);
    for (std::string entry; std::getline(in, entry, ',');) {
      std::istringstream e(entry);
      std::string model, arg;
      int row = -1;
      e >> model >> row >> arg;
      FactoryRow r = FindFactoryRow(model);
      EXPECT_EQ(std::make_tuple(row, std::string(cls), arg),
                std::make_tuple(r.row, r.class_name, r.argument))
          << model;
      ++checked;
    }
  }
  EXPECT_EQ(53, checked);
  EXPECT_EQ(std::make_pair(0, std::string("CmtrEmptyDriver")),
            std::make_pair(FindFactoryRow("").row, FindFactoryRow("").class_name));
}

class WithRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    peers::logLevel(TL_DEBUG);
    mtr::makeDirs(root_ / "tmp");
  }
  std::string log() { return peers::logText().substr(log_.mark); }

  mtr_test::TempDir root_;
  mtr_test::ScopedEnv env_{"MTR_ROOT", root_.path().c_str()};
  peers::LogSince log_;
};

TEST_F(WithRoot, UnknownModelsGetTheEmptyDriverWithAWarning) {
  CJSONRPCConnector rpc("5", 0);
  for (const char* model : {"Mercury230", "adi"}) {
    CMtrBaseDriver* d = CMtrBaseDriver::create_and_init({{"manufacturer", model}}, nullptr, &rpc);
    ASSERT_NE(nullptr, dynamic_cast<CMtrEmptyDriver*>(d)) << model;
    ASSERT_TRUE(mtr_test::waitFor([&] { return d->isFinished(); }, 30000));
    delete d;
  }
  CMtrBaseDriver* d = CMtrBaseDriver::create_and_init({}, nullptr, &rpc);  // no "manufacturer"
  EXPECT_NE(nullptr, dynamic_cast<CMtrEmptyDriver*>(d));
  delete d;
  std::string text = log();
  EXPECT_EQ(3, mtr_test::countLinesContaining(
                   text, "CMtrBaseDriver::create_and_init() - CmtrEmptyDriver IS STARTED !!!"));
  EXPECT_EQ(1, mtr_test::countLinesContaining(text, "CmtrADI is not built into this daemon"));
  EXPECT_EQ(1, mtr_test::countLinesContaining(text, "create_and_init() as 'Mercury230'"));
  EXPECT_EQ(1, mtr_test::countLinesContaining(text, "create_and_init() as ''"));
}

TEST_F(WithRoot, PortFreeForLocalAndSharedPorts) {
  struct Case {
    const char* alias;
    bool pause, pause_all, free;
  };
  const Case cases[] = {
      {"serial485.1", true, false, true},  {"serial485.1", false, true, false},
      {"PSD1.232", true, false, false},    {"PSD1.232", false, true, false},
      {"serial232.0", false, false, true}, {"", false, false, true},
  };
  for (const Case& c : cases) {
    ScriptedDriver d;
    d.save_init_params({{"port_alias", c.alias}});
    std::string pause = mtr::rootedPath("/tmp/pause_kzp");
    std::string all = mtr::rootedPath("/tmp/pause_kzp_all");
    unlink(pause.c_str());
    unlink(all.c_str());
    if (c.pause) mtr_test::writeFile(pause, "");
    if (c.pause_all) mtr_test::writeFile(all, "");
    EXPECT_EQ(c.free, d.IsPortFree()) << c.alias << " " << c.pause << c.pause_all;
  }
}

TEST_F(WithRoot, ArchFreshFromStoredTimestampsAndMeterClock) {
  const time_t now = 1710073800;
  mtr_test::FakeClock clock(now);
  CJSONRPCConnector rpc("9", 0);
  ScriptedDriver d;
  d.setClock(&clock);
  d.setJSONRPCConnector(&rpc);
  EXPECT_FALSE(d.IsArchFresh());  // no file connector yet
  d.InitFileConnector();
  FileConnector* f = d.fileConnector();
  f->WriteTimestamp(Hourly, now - 3600);
  f->WriteTimestamp(Daily, now - 3600);
  EXPECT_FALSE(d.IsArchFresh());  // no meter clock yet
  MeasuredValue mdt;              // the meter clock as read, and its file's age
  mdt.kind = System;
  mdt.param_code = 85;
  mdt.value = std::to_string(now);
  f->WriteValues({mdt});
  std::string mfile = f->tmpArea() + "MDateTime";
  mtr_test::writeFile(mfile, std::to_string(now) + "\n");
  struct utimbuf times {
    now, now
  };
  utime(mfile.c_str(), &times);
  // Stored hour, stored day: fresh while neither lags more than two hours.
  const std::tuple<time_t, time_t, bool> steps[] = {{3600, 3600, true},
                                                    {3600, 7201, false},
                                                    {3600, 7200, true},
                                                    {7201, 7200, false},
                                                    {3600, 7200, true}};
  for (const auto& [hour_lag, day_lag, fresh] : steps) {
    f->WriteTimestamp(Hourly, now - hour_lag);
    f->WriteTimestamp(Daily, now - day_lag);
    EXPECT_EQ(fresh, d.IsArchFresh()) << hour_lag << " " << day_lag;
  }
  clock.advance(7201 * 1000L);  // the meter clock went stale
  EXPECT_FALSE(d.IsArchFresh());
  EXPECT_GE(mtr_test::countLinesContaining(log(), "max_timestamp_hourly_arch"), 1);
}

}  // namespace
