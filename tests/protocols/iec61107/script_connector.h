#pragma once

#include <algorithm>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "protocols/iec61107.h"
#include "transport/connector.h"

namespace iec_test {

using Bytes = std::vector<uint8_t>;

inline Bytes B(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

inline std::string hex(const Bytes& b) {
  std::string s;
  char buf[4];
  for (uint8_t c : b) {
    snprintf(buf, sizeof buf, s.empty() ? "%02x" : " %02x", c);
    s += buf;
  }
  return s;
}

// A line whose far side is a script: each write releases the next scripted
// reply (chunks, each the result of one read); reads time out (-1) when
// nothing is pending. Flushing drops what is pending, as tcflush would.
class ScriptConnector : public CConnector {
 public:
  int32_t WriteBuffer(const uint8_t* buf, uint16_t len, bool) override {
    written.emplace_back(buf, buf + len);
    events.push_back("write");
    if (!replies.empty()) {
      for (auto& chunk : replies.front()) pending.push_back(chunk);
      replies.pop_front();
    }
    return len;
  }
  int32_t ReadBuffer(uint8_t* buf, uint16_t len, bool) override {
    if (pending.empty() || len == 0) {
      events.push_back("timeout");
      return -1;
    }
    Bytes& chunk = pending.front();
    size_t n = std::min<size_t>(len, chunk.size());
    std::copy(chunk.begin(), chunk.begin() + n, buf);
    chunk.erase(chunk.begin(), chunk.begin() + n);
    if (chunk.empty()) pending.pop_front();
    events.push_back("read");
    return static_cast<int32_t>(n);
  }
  int32_t ReadBufferCycle(uint8_t*, uint16_t, bool, uint32_t) override { return -1; }
  bool open_device() override { return true; }
  void close_device() override {}
  int FlushBuffer() override {
    pending.clear();
    return 0;
  }
  int DrainBuffer() override { return 0; }
  void SetTimeout(uint32_t) override {}

  std::deque<std::vector<Bytes>> replies;
  std::deque<Bytes> pending;
  std::vector<Bytes> written;
  std::vector<std::string> events;
};

// A fake clock whose sleeps are noted among the line events.
class EventClock : public mtr::Clock {
 public:
  explicit EventClock(std::vector<std::string>* events) : events_(events) {}
  time_t now() override { return 1700000000; }
  void sleepMs(long d) override { events_->push_back("sleep " + std::to_string(d)); }

 private:
  std::vector<std::string>* events_;
};

// The protocol base with only the meter operations filled in; `sum7` selects
// the 7-bit sum check of the meter classes.
class TestProtocol : public cGost61107 {
 public:
  TestProtocol(std::shared_ptr<CGost61107Connector> c, bool sum7)
      : cGost61107(std::move(c)), sum7_(sum7) {}
  bool ReadCurrentValues(MeasuredValueList&) override { return false; }
  bool ReadSystemValues(MeasuredValueList&) override { return false; }
  bool ReadTimestamps(timestamps&) override { return false; }
  bool ReadArchiveValues(uint32_t, time_t, time_t, MeasuredValueList&) override { return false; }
  uint8_t CalcBcc(const uint8_t* buf, uint16_t len) override {
    return sum7_ ? iec61107::Sum7Bcc(buf, len) : cGost61107::CalcBcc(buf, len);
  }

 private:
  bool sum7_;
};

}  // namespace iec_test
