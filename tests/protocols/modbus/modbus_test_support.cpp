#include "protocols/modbus/modbus_test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "base/logger.h"
#include "support/test_support.h"

namespace modbus_test {

namespace {

// The process logger writes to a file in a folder of its own, at debug level,
// so tests can read back every line and dump.
class LogEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    dir_ = std::make_unique<mtr_test::TempDir>();
    path_ = *dir_ / "modbus.log";
    log_ = logger::getInstance(path_.c_str(), false);
    log_->setLevel(TL_DEBUG);
  }
  void TearDown() override {
    delete log_;
    dir_.reset();
  }
  const std::string& path() const { return path_; }

 private:
  std::unique_ptr<mtr_test::TempDir> dir_;
  std::string path_;
  logger* log_ = nullptr;
};

LogEnvironment* g_log =
    static_cast<LogEnvironment*>(::testing::AddGlobalTestEnvironment(new LogEnvironment));

}  // namespace

std::string logText() {
  return mtr_test::exists(g_log->path()) ? mtr_test::readFile(g_log->path()) : std::string();
}

void clearLog() {
  unlink(g_log->path().c_str());
}

MeterSettings meterSettings(int net_address) {
  MeterSettings s;
  s.meter_id = "7";
  s.meter_number = 7;
  s.serial_text = "S1";
  s.settings["net_address"] = std::to_string(net_address);
  return s;
}

std::string hex(const Bytes& bytes) {
  std::string out;
  char item[4];
  for (uint8_t b : bytes) {
    snprintf(item, sizeof item, "%02X ", b);
    out += item;
  }
  if (!out.empty()) out.pop_back();
  return out;
}

int32_t ScriptConnector::WriteBuffer(const uint8_t* buf, uint16_t len, bool flash) {
  flashed_all = flashed_all && flash;
  written.emplace_back(buf, buf + len);
  events_->push_back("write " + std::to_string(len));
  if (!replies.empty()) {
    input.insert(input.end(), replies.front().begin(), replies.front().end());
    replies.pop_front();
  }
  return len;
}

int32_t ScriptConnector::ReadBuffer(uint8_t* buf, uint16_t len, bool flash) {
  flashed_all = flashed_all && flash;
  if (input.empty()) {
    events_->push_back("timeout");
    return -1;
  }
  size_t n = std::min<size_t>(len, input.size());
  if (max_chunk > 0) n = std::min(n, max_chunk);
  std::copy(input.begin(), input.begin() + static_cast<long>(n), buf);
  input.erase(input.begin(), input.begin() + static_cast<long>(n));
  events_->push_back("read " + std::to_string(n));
  return static_cast<int32_t>(n);
}

int32_t ScriptConnector::ReadBufferCycle(uint8_t* buf, uint16_t len, bool flash, uint32_t) {
  // Not part of the Modbus exchange; recorded so a test would notice its use.
  events_->push_back("cycle");
  return ReadBuffer(buf, len, flash);
}

int ScriptConnector::FlushBuffer() {
  input.clear();
  events_->push_back("flush");
  return 0;
}

void ScriptClock::sleepMs(long ms) {
  slept_ms += ms;
  events_->push_back("sleep " + std::to_string(ms));
}

}  // namespace modbus_test
