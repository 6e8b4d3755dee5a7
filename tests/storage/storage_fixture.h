#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/logger.h"
#include "server/measured_value.h"
#include "server/settings.h"
#include "storage/file_connector.h"
#include "support/test_support.h"

namespace storage_test {

// A temporary MTR_ROOT with the logger writing debug lines into it.
class StorageTest : public ::testing::Test {
 protected:
  StorageTest() : env_("MTR_ROOT", root_.path().c_str()) {}

  void SetUp() override {
    if (logger* old = logger::instance()) delete old;
    log_path_ = root_ / "mtr.log";
    logger::getInstance(log_path_.c_str(), false)->setLevel(TL_DEBUG);
  }
  void TearDown() override { delete logger::instance(); }

  std::unique_ptr<HeatFileConnector> make(int current_system = 0, const std::string& id = "4711",
                                          const SettingsMap& extra = {},
                                          mtr::Clock* clock = nullptr, int lock_wait = 60) {
    MeterSettings s;
    s.meter_id = id;
    s.current_system = current_system;
    s.settings = extra;
    return std::make_unique<HeatFileConnector>(s, id, 0, lock_wait, clock);
  }

  std::string log() const { return mtr_test::readFile(log_path_); }
  int logCount(const std::string& needle) const {
    return mtr_test::countLinesContaining(log(), needle);
  }

  std::string tmp(const std::string& rel) const { return root_ / ("tmp/" + rel); }
  std::string storage(const std::string& rel) const { return root_ / ("mnt/storage/" + rel); }

  mtr_test::TempDir root_;
  mtr_test::ScopedEnv env_;
  std::string log_path_;
};

inline MeasuredValue mv(uint32_t code, uint32_t kind, const std::string& value,
                        int32_t timestamp = 0, uint8_t sys = 0, int32_t quality = 0) {
  MeasuredValue v;
  v.param_code = code;
  v.kind = kind;
  v.value = value;
  v.timestamp = timestamp;
  v.sys = sys;
  v.opc_quality = quality;
  return v;
}

// Folder entries, sorted, without "." and "..".
std::vector<std::string> listDir(const std::string& dir);

// The test's own rendering of an archive line, independent of the code under test.
std::string archLine(long t, int q, double v);

}  // namespace storage_test
