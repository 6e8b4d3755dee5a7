#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "drivers/models/mercury/mercury23x.h"
#include "server/measured_value.h"
#include "support/test_support.h"
#include "transport/connector.h"

namespace mercury_test {

using Bytes = std::vector<uint8_t>;

// "23 01 0A" -> bytes.
Bytes hex(const std::string& text);
std::string toHex(const Bytes& bytes);
// Appends the CRC-16/MODBUS, low byte first.
Bytes withCrc(Bytes frame);

// A connector that records every frame written and answers reads from a queue
// of scripted replies, or from a responder when the queue is empty.
class ScriptedConnector : public CConnector {
 public:
  struct Reply {
    bool silent = false;  // ReadBufferCycle returns -1
    Bytes bytes;
  };
  // Returns the reply to a request frame (CRC included).
  using Responder = std::function<Reply(const Bytes& request)>;

  int32_t WriteBuffer(const uint8_t* buf, uint16_t len, bool flash) override;
  int32_t ReadBuffer(uint8_t* buf, uint16_t len, bool flash) override;
  int32_t ReadBufferCycle(uint8_t* buf, uint16_t len, bool flash, uint32_t timeout_ms) override;
  bool open_device() override { return true; }
  void close_device() override {}
  int FlushBuffer() override { return 0; }
  int DrainBuffer() override { return 0; }
  void SetTimeout(uint32_t) override {}

  void reply(const Bytes& bytes) { replies.push_back({false, bytes}); }
  void replyFrame(const Bytes& frame_without_crc) { reply(withCrc(frame_without_crc)); }
  void silence() { replies.push_back({true, {}}); }

  std::vector<Bytes> writes;
  std::deque<Reply> replies;
  Responder responder;
  std::vector<bool> read_flash;   // flash flag of each read
  std::vector<bool> write_flash;  // and of each write
  std::vector<uint32_t> read_timeouts;

 private:
  std::deque<Reply> pending_;
};

// A meter for the scripted connector: answers requests from a table of
// command bytes (after the address, without CRC) to reply data bytes, opens
// its channel only for the right open-channel frame, and says "invalid
// command" (status 01) to anything it does not know.
class TableMeter {
 public:
  TableMeter(uint8_t address, const std::string& open_frame_hex);
  void set(const std::string& command_hex, const std::string& data_hex);
  ScriptedConnector::Reply answer(const Bytes& request);
  // How many times a command was asked for.
  int count(const std::string& command_hex) const;

  bool channel_open = false;
  std::map<std::string, std::string> table;
  std::map<std::string, int> asked;
  std::function<bool(const std::string& command_hex)> drop;  // true: no reply

 private:
  uint8_t address_;
  std::string open_;
};

// Collects what the process logger writes from construction on, at `level`
// (warnings only otherwise: every file line is synced, which is slow).
class LogCapture {
 public:
  explicit LogCapture(int level = 6);
  ~LogCapture();
  std::string text() const;
  bool has(const std::string& needle) const { return text().find(needle) != std::string::npos; }

 private:
  size_t start_;
  int old_level_;
};

// The driver with its settings set directly, on a scripted line and a fake clock.
class TestDriver : public CmtrMercury23X {
 public:
  TestDriver(const std::string& model, const SettingsMap& params, const std::string& serial,
             const std::string& password, const std::string& password_type = "");
  ~TestDriver() override;
  void connect(std::shared_ptr<CConnector> connector) { SaveConnector(connector); }
  MeterSettings& mutableSettings() { return settings; }
  CmtrMercury23XRequets::MeterState& mutableState() { return state_; }
  mtr_test::FakeClock fake_clock;
};

// Finds the first record of (kind, code, sys); null when absent.
const MeasuredValue* find(const MeasuredValueList& values, uint32_t kind, uint32_t code,
                          uint8_t sys = 0);
int countKind(const MeasuredValueList& values, uint32_t kind);

// Unix time of a UTC calendar time (tests run with TZ=UTC).
time_t utc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

}  // namespace mercury_test
