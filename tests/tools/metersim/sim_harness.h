#pragma once

#include <termios.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "transport/serial_peers.h"

namespace simtest {

using peers::Bytes;
using peers::getLE;
using peers::hex;  // "01 08 00" -> bytes
using peers::hexText;
using peers::putLE;
using peers::withCrc;  // appends CRC-16/MODBUS, low byte first
using peers::withX25;
inline bool crcOk(const Bytes& f) {
  return f.size() >= 3 && withCrc({f.begin(), f.end() - 2}) == f;
}
// Between address and CRC.
inline Bytes body(const Bytes& r) {
  return r.size() < 3 ? Bytes{} : Bytes(r.begin() + 1, r.end() - 2);
}
// Mercury register order: bits 16..23, 24..31, 0..7, 8..15.
uint32_t reg4(const Bytes& d, size_t at);
int bcd(uint8_t b);
time_t localTimeOf(int y, int mo, int d, int h = 0, int mi = 0, int s = 0);
std::tm tmOf(time_t t);
time_t midnight(int days_back = 0);  // local midnight, days back from today

// A running mtr-metersim with its own folder, description and frame log.
class Sim {
 public:
  explicit Sim(const std::string& meters_json, const std::vector<std::string>& args = {});
  ~Sim() { stop(); }
  const std::string& device() const { return device_; }
  std::string logPath() const { return dir_ / "frames.log"; }
  mtr_test::Child& child() { return *child_; }
  int stop(int timeout_ms = 3000);  // SIGTERM; the exit status, -1 when it did not stop

 private:
  mtr_test::TempDir dir_;
  std::unique_ptr<mtr_test::Child> child_;
  std::string device_;
};

// The daemon's side of the line: the pty slave in raw mode.
class Port {
 public:
  explicit Port(const std::string& device, speed_t speed = B9600);
  ~Port();
  void setSpeed(speed_t speed);
  void sendRaw(const Bytes& bytes);
  // Collects until `want` bytes arrived or the line stayed silent `silence_ms`.
  Bytes receive(size_t want, int silence_ms = 1000);
  Bytes ask(const std::string& body_hex, size_t want, int silence_ms = 1000) {
    sendRaw(withCrc(hex(body_hex)));
    return receive(want, silence_ms);
  }
  // Opens the Mercury channel with the level-1 password bytes; the status reply.
  Bytes open(uint8_t address, const std::string& password_hex = "01 01 01 01 01 01");

 private:
  int fd_ = -1;
};

}  // namespace simtest
