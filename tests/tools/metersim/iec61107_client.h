#pragma once

#include <termios.h>

#include <string>

#include "sim_harness.h"

// The master's side of a mode C exchange, built by hand: frames, the 7-bit sum
// check character, and reads that stop where an answer ends.
namespace iectest {

using simtest::Bytes;

constexpr uint8_t SOH = 0x01, STX = 0x02, ETX = 0x03, ACK = 0x06, NAK = 0x15;

// 8-bit sum of the bytes, masked to 7 bits.
uint8_t sum7(const Bytes& b, size_t from, size_t to);
Bytes bytesOf(const std::string& s);
std::string textOf(const Bytes& b);  // control bytes as <SOH>, <STX>, ... for readable failures

// SOH c d STX data ETX BCC
Bytes command(char c, char d, const std::string& data);
Bytes readCommand(const std::string& name, const std::string& args = "");
// STX body ETX BCC
Bytes dataAnswer(const std::string& body);
// True when `frame` (NAKs ahead skipped) is STX/SOH ... ETX with a right check character.
bool checkOk(const Bytes& frame);

class Client {
 public:
  explicit Client(const std::string& device, speed_t speed = B9600);
  simtest::Port& port() { return port_; }

  // Sends `request` and collects one answer: a line up to CR LF, a frame up
  // to ETX and its check character, a lone ACK or NAK. Empty after silence.
  Bytes exchange(const Bytes& request, int timeout_ms = 700);
  Bytes breakSession() {
    return exchange(bytesOf("\x01"
                            "B0\x03\x75"),
                    300);
  }
  Bytes signOn(const std::string& address) { return exchange(bytesOf("/?" + address + "!\r\n")); }
  Bytes optionSelect(char speed = '5', char mode = '1') {
    return exchange(
        Bytes{ACK, '0', static_cast<uint8_t>(speed), static_cast<uint8_t>(mode), 0x0D, 0x0A});
  }
  // Break, sign-on and option select; true when the programming-mode answer came.
  bool program(const std::string& address);
  Bytes read(const std::string& name, const std::string& args = "") {
    return exchange(readCommand(name, args));
  }
  // The text between STX and ETX of a good answer (NAKs ahead skipped);
  // "<bad: ...>" otherwise.
  std::string body(const std::string& name, const std::string& args = "");

 private:
  simtest::Port port_;
};

}  // namespace iectest
