#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "server/measured_value.h"
#include "server/settings.h"
#include "transport/connector.h"

struct timestamps;

namespace iec61107 {

constexpr uint8_t SOH = 0x01;
constexpr uint8_t STX = 0x02;
constexpr uint8_t ETX = 0x03;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t LF = 0x0A;
constexpr uint8_t CR = 0x0D;
constexpr uint8_t NAK = 0x15;

// Check characters over a whole frame of `len` bytes (first byte and the check
// byte itself excluded).
uint8_t XorBcc(const uint8_t* frame, uint16_t len);   // XOR; 0 below 3 bytes
uint8_t Sum7Bcc(const uint8_t* frame, uint16_t len);  // 8-bit sum & 0x7F; 0 up to 2 bytes

// The break frame carries the 7-bit sum of 'B' '0' ETX as a constant.
constexpr uint8_t kBreakFrame[5] = {SOH, 'B', '0', ETX, 0x75};

}  // namespace iec61107

// What the meter driver hands to the protocol layer: the log prefix values,
// the device address characters for the sign-on and the rest of its settings.
struct Gost61107Settings {
  long long id = 0;
  std::string name;
  std::string address;
  std::string password;
  SettingsMap map;
};

// One request/answer exchange over the meter's connector, with the answer
// gathered by the framing rules of mode C.
class CGost61107Connector {
 public:
  CGost61107Connector(std::shared_ptr<CConnector> connector, const Gost61107Settings& settings,
                      uint16_t capacity, mtr::Clock* clock = nullptr);
  // Skips NAKs ahead of an answer: the last ReadBuffer result (1 on a byte).
  virtual int8_t ReadFirstByte(uint8_t* buf);
  virtual ~CGost61107Connector();

  // `answer_length` in: bytes expected; out: bytes received or -1 when none.
  // False only when the answer would overflow the capacity.
  bool SendRequest(const uint8_t* request, uint16_t length, uint8_t* answer, int32_t& answer_length,
                   bool framed);

  long long id() const { return settings_.id; }
  const char* name() const { return settings_.name.c_str(); }
  uint16_t capacity() const { return capacity_; }
  const Gost61107Settings& settings() const { return settings_; }
  mtr::Clock& clock() const { return *clock_; }
  CConnector* connector() const { return connector_.get(); }

 private:
  std::shared_ptr<CConnector> connector_;
  Gost61107Settings settings_;
  uint16_t capacity_;
  mtr::Clock* clock_;
  bool flash_ = true;
};

// Base of the meter protocol classes: opens the exchange (break, sign-on,
// identification, option select into programming mode) and builds frames.
class cGost61107 {
 public:
  explicit cGost61107(std::shared_ptr<CGost61107Connector> connector);
  virtual ~cGost61107();

  virtual bool Init(int value, const Gost61107Settings& settings);
  virtual bool ReadCurrentValues(MeasuredValueList& out) = 0;
  virtual bool ReadSystemValues(MeasuredValueList& out) = 0;
  virtual bool ReadTimestamps(timestamps& out) = 0;
  virtual bool ReadArchiveValues(uint32_t kind, time_t from, time_t till,
                                 MeasuredValueList& out) = 0;
  // `len` is the whole frame including its check byte.
  virtual uint8_t CalcBcc(const uint8_t* buf, uint16_t len);

  bool SendAck(bool option, int32_t& length, char c1, char c2);
  // Returns the frame length: name + parameter + 8.
  uint16_t MakeReadRequest(uint8_t* out, const char* name, const char* parameter);

  const uint8_t* answer() const { return rx_.data(); }
  CGost61107Connector* connector() const { return connector_.get(); }
  int initValue() const { return init_value_; }

  static constexpr size_t kTxSize = 256;

 protected:
  long long logId() const { return log_id_; }
  const char* logName() const { return log_name_.c_str(); }

  std::shared_ptr<CGost61107Connector> connector_;
  long long log_id_ = 0;
  std::string log_name_;
  uint8_t tx_[kTxSize] = {};
  std::vector<uint8_t> rx_;
  int init_value_ = 0;
  std::string address_;
};
