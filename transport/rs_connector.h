#pragma once

#include <termios.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "transport/connector.h"
#include "transport/led.h"

// Baud rate to termios constant, for every rate Linux knows.
const std::map<int, speed_t>& speedTable();

// The LED files every connector drives: "A" on transmit, "B" on receive.
extern const char* const kLedTransmitPath;
extern const char* const kLedReceivePath;
constexpr uint32_t kLedOnTimeUs = 150000;

// Configuration numbers: strtol base 10, 0 when there is no number.
long decimalOf(const std::string& text);

// Device path from port parameters: "name", or the concentrator's first RS port.
std::string devicePathOf(const SettingsMap& params);

// A plain UART line on a termios character device.
class CRSConnector : public CConnector {
 public:
  explicit CRSConnector(const SettingsMap& port_params);
  ~CRSConnector() override;

  int32_t WriteBuffer(const uint8_t* buf, uint16_t len, bool flash) override;
  int32_t ReadBuffer(uint8_t* buf, uint16_t len, bool flash) override;
  int32_t ReadBufferCycle(uint8_t* buf, uint16_t len, bool flash, uint32_t timeout_ms) override;
  bool open_device() override;
  void close_device() override;
  int FlushBuffer() override;
  int DrainBuffer() override;
  void SetTimeout(uint32_t ms) override;

  int fd() const { return fd_.load(); }
  uint32_t timeout() const { return timeout_.load(); }
  const std::string& devicePath() const { return device_; }
  // The settings last handed to tcsetattr. Some drivers (pseudo-terminals) do
  // not keep the character format, so this is what was asked for.
  struct termios requestedSettings() const {
    return requested_;
  }

 private:
  // poll() on the descriptor for up to timeout_ms, starting afresh after a
  // signal: >0 readable, 0 timed out, <0 error (errno kept).
  int waitReadable(uint32_t timeout_ms);

  std::atomic<int> fd_{-1};
  std::string device_;
  std::unique_ptr<CLed> led_a_;
  std::unique_ptr<CLed> led_b_;
  std::atomic<uint32_t> timeout_{5000};
  // open_device, the critical line left out when `log_failure` is false.
  bool openLine(bool log_failure);
  // Opens a hung-up line again; true when it is back.
  bool reopen();
  // True (and the line marked hung up) when `result` says the line is gone.
  bool noteHangUp(ssize_t result);

  // The line hung up (a USB adapter pulled, a pty whose other side closed):
  // the next write opens the device path again instead of failing for ever.
  std::atomic<bool> hung_up_{false};
  // A reopen failed and was logged; the next successful open says so.
  std::atomic<bool> outage_{false};
  struct termios requested_ {};
};
