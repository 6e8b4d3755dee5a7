#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "transport/connector.h"

// Moves the frames of one Mercury 230-family meter through the shared line and
// keeps what every request of that meter needs: buffers, address and password.
class CMercury23XLowLevelConnector {
 public:
  static constexpr uint16_t kBufferSize = 2048;
  // ReadBufferCycle's "nothing arrived" (-1 as 16 bits).
  static constexpr uint16_t kNoFrame = 0xFFFF;

  CMercury23XLowLevelConnector(std::shared_ptr<CConnector> connector, const std::string& meter_id,
                               const std::string& serial);

  void setAddress(uint8_t address) { address_ = address; }
  uint8_t address() const { return address_; }
  // Keeps the first 6 characters, zero-padded.
  void setPassword(const std::string& password);
  const char* password() const { return password_; }
  void setPasswordAscii(bool ascii) { password_ascii_ = ascii; }
  bool passwordAscii() const { return password_ascii_; }

  // The buffers are made zeroed when first needed and kept until
  // releaseBuffers: an idle meter holds no 4 kB for the hour between sessions.
  uint8_t* txBuffer() { return buffers().tx; }
  const uint8_t* rxBuffer() { return buffers().rx; }
  void releaseBuffers() { buffers_.reset(); }

  // Sends the first `len` bytes of the transmit buffer.
  int32_t WriteBuffer(uint16_t len);
  // Gathers up to `expected` bytes into the receive buffer; the count, or
  // kNoFrame when nothing arrived.
  uint16_t ReadBufferCycle(uint16_t expected);

  const char* meterId() const { return meter_id_.c_str(); }
  const char* serial() const { return serial_.c_str(); }

 private:
  struct Buffers {
    uint8_t rx[kBufferSize];
    uint8_t tx[kBufferSize];
  };
  Buffers& buffers() {
    if (!buffers_) buffers_.reset(new Buffers());
    return *buffers_;
  }

  std::shared_ptr<CConnector> connector_;
  std::unique_ptr<Buffers> buffers_;
  std::string meter_id_;
  std::string serial_;
  uint8_t address_ = 0;
  char password_[7] = {};
  bool password_ascii_ = false;
};
