#include "drivers/framework/factory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <thread>

#include "app/cmdline.h"
#include "app/supervisor.h"
#include "base/fsutil.h"
#include "base/logger.h"
#include "base/paths.h"
#include "drivers/framework/base_driver.h"
#include "scripted_driver.h"
#include "storage/file_connector.h"
#include "support/test_support.h"

namespace {

TEST(Factory, EveryRowTopToBottom) {
  struct Case {
    const char* model;
    int row;
    const char* cls;
    const char* arg;
  };
  const Case cases[] = {
      {"ce308-spodes", 1, "CmtrSpodesDriver", "1"},
      {"emis_ee971", 2, "CmtrSpodesDriver", "11"},
      {"mercury-23x-spodes", 3, "CmtrSpodesDriver", "2"},
      {"mercury-234-dlms", 4, "CmtrSpodesDriver", "2"},
      {"rim489", 5, "CmtrSpodesDriver", "4"},
      {"mercury204-dlms", 6, "CmtrSpodesDriver", "2"},
      {"matrica-np7xx", 7, "CmtrSpodesDriver", "5"},
      {"matrica-ad1x", 8, "CmtrSpodesDriver", "6"},
      {"milur-307s", 9, "CmtrSpodesDriver", "9"},
      {"emis-ee871", 10, "CmtrSpodesDriver", "11"},
      {"mir-s04", 11, "CmtrSpodesDriver", "12"},
      {"rotek-rtm0x", 12, "CmtrSpodesDriver", "13"},
      {"fobos-x-spodes", 13, "CmtrSpodesDriver", "16"},
      {"neva_st413", 14, "CmtrSpodesDriver", "19"},
      {"rokip-st40x", 15, "CmtrSpodesDriver", "21"},
      {"adi", 16, "CmtrADI", ""},
      {"rim181", 17, "CmtrRiM489", ""},
      {"rim489-0", 17, "CmtrRiM489", ""},
      {"topaz-103", 18, "CmtrTopaz1xx", ""},
      {"mercury230", 19, "CmtrMercury23X", "mercury230"},
      {"mercury234art", 19, "CmtrMercury23X", "mercury234art"},
      {"vector-3", 20, "CmtrMercury23X", "vector-3"},
      {"mercury204", 21, "CmtrMercury23X", "mercury230"},
      {"mercury200", 22, "CmtrMercury206", ""},
      {"mercury206", 22, "CmtrMercury206", ""},
      {"ce301", 23, "CmtrGost61107", ""},
      {"ce307", 23, "CmtrGost61107", ""},
      {"ce102m", 24, "CmtrGost61107", ""},
      {"ce2727a", 25, "CmtrCE2727", "2"},
      {"proton-k", 26, "CmtrProton", ""},
      {"psch-4tm", 27, "CmtrPSCH4TM", ""},
      {"heba-mt-3", 28, "CmtrNEVA", ""},
      {"neva-mt-3xx", 28, "CmtrNEVA", ""},
      {"neva-mt-1", 29, "CmtrNEVA", ""},
      {"psch-3art", 30, "CmtrMAYAK301", ""},
      {"seb-2a", 31, "CmtrMAYAK301", ""},
      {"mayak-301art", 32, "CmtrMAYAK301", ""},
      {"mayak-t301", 33, "CmtrMAYAK301", ""},
      {"mayak-302", 34, "CmtrMAYAK302", ""},
      {"mayak-1", 35, "CmtrMAYAK302", ""},
      {"ce102", 36, "CmtrCE10X", "0"},
      {"ce6850", 37, "CmtrCE6850", ""},
      {"cascade-1-mt", 38, "CmtrCascade1mt", "0"},
      {"vector-100", 38, "CmtrCascade1mt", "0"},
      {"mirtek1x2x", 39, "CmtrCascade1mt", "2"},
      {"iek_star", 40, "CmtrCascade1mt", "1"},
      {"milur-104", 41, "CmtrMilur", ""},
      {"gamma3", 42, "CmtrGamma3", ""},
      {"steb-04n", 43, "CmtrSteb04N", "0"},
      {"rim-889", 44, "CmtrSteb04N", "1"},
      // shadowing and case
      {"mercury204-dlms-x", 6, "CmtrSpodesDriver", "2"},
      {"Mercury230", 0, "CmtrEmptyDriver", ""},
      {"", 0, "CmtrEmptyDriver", ""},
      {"steb-04n2", 0, "CmtrEmptyDriver", ""},
  };
  for (const Case& c : cases) {
    FactoryRow r = FindFactoryRow(c.model);
    EXPECT_EQ(c.row, r.row) << c.model;
    EXPECT_EQ(c.cls, r.class_name) << c.model;
    EXPECT_EQ(c.arg, r.argument) << c.model;
  }
}

class WithRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    delete logger::instance();
    log_path_ = root_ / "log";
    logger::getInstance(log_path_.c_str(), false)->setLevel(TL_DEBUG);
    mtr::makeDirs(root_ / "tmp");
  }
  void TearDown() override { delete logger::instance(); }
  std::string log() { return mtr_test::readFile(log_path_); }

  mtr_test::TempDir root_;
  mtr_test::ScopedEnv env_{"MTR_ROOT", root_.path().c_str()};
  std::string log_path_;
};

TEST_F(WithRoot, UnknownModelsGetTheEmptyDriverWithAWarning) {
  CJSONRPCConnector rpc("5", 0);
  for (const char* model : {"Mercury230", "adi"}) {
    CMtrBaseDriver* d = CMtrBaseDriver::create_and_init({{"manufacturer", model}}, nullptr, &rpc);
    ASSERT_NE(nullptr, dynamic_cast<CMtrEmptyDriver*>(d)) << model;
    ASSERT_TRUE(mtr_test::waitFor([&] { return d->isFinished(); }, 2000));
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
  mtr_test::FakeClock clock(1710073800);
  CJSONRPCConnector rpc("9", 0);
  ScriptedDriver d;
  d.setClock(&clock);
  d.setJSONRPCConnector(&rpc);
  EXPECT_FALSE(d.IsArchFresh());  // no file connector yet
  d.InitFileConnector();
  FileConnector* f = d.fileConnector();
  const time_t now = 1710073800;
  EXPECT_FALSE(d.IsArchFresh());
  f->WriteTimestamp(Hourly, now - 3600);
  f->WriteTimestamp(Daily, now - 3600);
  EXPECT_FALSE(d.IsArchFresh());  // no meter clock yet
  MeasuredValue mdt;
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
  EXPECT_TRUE(d.IsArchFresh());
  f->WriteTimestamp(Daily, now - 7201);
  EXPECT_FALSE(d.IsArchFresh());
  f->WriteTimestamp(Daily, now - 7200);
  EXPECT_TRUE(d.IsArchFresh());
  f->WriteTimestamp(Hourly, now - 7201);
  EXPECT_FALSE(d.IsArchFresh());
  f->WriteTimestamp(Hourly, now - 3600);
  clock.advance(7201 * 1000L);  // the meter clock went stale
  EXPECT_FALSE(d.IsArchFresh());
  EXPECT_GE(mtr_test::countLinesContaining(log(), "max_timestamp_hourly_arch"), 1);
}

TEST_F(WithRoot, SupervisorPassesTurnsInOrderAndSkipsEndedThreads) {
  std::mutex m;
  std::vector<std::string> order;
  std::vector<std::unique_ptr<CMtrBaseDriver>> owned;
  std::vector<CMtrBaseDriver*> drivers;
  mtr_test::FakeClock clock(1710073800);
  CJSONRPCConnector rpc("3", 0);
  for (const char* id : {"A", "X", "C"}) {
    if (std::string(id) == "X") {
      auto* e = new CMtrEmptyDriver();
      e->Start(e, "empty");
      owned.emplace_back(e);
    } else {
      auto* s = new ScriptedDriver(id);
      s->setClock(&clock);
      s->setJSONRPCConnector(&rpc);
      s->save_init_params({{"period_current", "1"}});
      s->on_call = [&m, &order, id](const std::string& c) {
        if (c == "current") {
          std::lock_guard<std::mutex> lock(m);
          order.push_back(id);
        }
      };
      s->Start(s, id);
      owned.emplace_back(s);
    }
    drivers.push_back(owned.back().get());
  }
  stop_requested = 0;
  std::thread sup([&] { Supervise(drivers, 20); });
  ASSERT_TRUE(mtr_test::waitFor(
      [&] {
        std::lock_guard<std::mutex> lock(m);
        return order.size() >= 6;
      },
      20000));
  stop_requested = 1;
  sup.join();
  std::lock_guard<std::mutex> lock(m);
  ASSERT_GE(order.size(), 6u);
  for (size_t i = 0; i < order.size(); ++i) EXPECT_EQ(i % 2 ? "C" : "A", order[i]) << i;
  // A stop is honoured between rounds only: the round in progress completes.
  EXPECT_EQ(0u, order.size() % 2);
}

}  // namespace
