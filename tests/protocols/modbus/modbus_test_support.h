#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "base/clock.h"
#include "server/settings.h"
#include "transport/connector.h"

namespace modbus_test {

using Bytes = std::vector<uint8_t>;

// Text of the lines the logger wrote since the last clear().
std::string logText();
void clearLog();

// Settings of a meter numbered 7 named "S1" at the given network address.
MeterSettings meterSettings(int net_address);

std::string hex(const Bytes& bytes);

// A connector whose meter side is a script: each WriteBuffer queues the next
// scripted reply as pending input; reads take from it and time out when it is
// empty. Every call is recorded in `events`, shared with ScriptClock so the
// order of sleeps and line operations can be checked.
class ScriptConnector : public CConnector {
 public:
  explicit ScriptConnector(std::vector<std::string>* events) : events_(events) {}

  int32_t WriteBuffer(const uint8_t* buf, uint16_t len, bool flash) override;
  int32_t ReadBuffer(uint8_t* buf, uint16_t len, bool flash) override;
  int32_t ReadBufferCycle(uint8_t* buf, uint16_t len, bool flash, uint32_t timeout_ms) override;
  bool open_device() override { return true; }
  void close_device() override {}
  int FlushBuffer() override;
  int DrainBuffer() override { return 0; }
  void SetTimeout(uint32_t) override {}

  std::deque<Bytes> replies;  // one per write; none left: the meter stays silent
  std::deque<uint8_t> input;  // bytes waiting to be read
  std::vector<Bytes> written;
  size_t max_chunk = 0;     // largest read result; 0: no limit
  bool flashed_all = true;  // every call asked for a LED flash

 private:
  std::vector<std::string>* events_;
};

// A clock that only moves when slept on and records each sleep.
class ScriptClock : public mtr::Clock {
 public:
  explicit ScriptClock(std::vector<std::string>* events) : events_(events) {}
  time_t now() override { return 1700000000 + static_cast<time_t>(slept_ms / 1000); }
  void sleepMs(long ms) override;
  long long slept_ms = 0;

 private:
  std::vector<std::string>* events_;
};

}  // namespace modbus_test
