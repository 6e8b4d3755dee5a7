#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "server/settings.h"
#include "transport/connector.h"

class CRSConnector;

namespace probe {

// "8N1", "7E1", ...: data bits 5-8, parity N/E/O, stop bits 1-2, as port
// parameters; false for any other text.
bool ParseFormat(const std::string& text, SettingsMap& params);

// The serial connector with a count of the bytes received, so that a meter
// whose frames do not check can be told from a silent address.
class TapConnector : public CConnector {
 public:
  TapConnector(const std::string& device, int speed, const std::string& format,
               uint32_t silence_ms);
  ~TapConnector() override;

  int32_t WriteBuffer(const uint8_t* buf, uint16_t len, bool flash) override;
  int32_t ReadBuffer(uint8_t* buf, uint16_t len, bool flash) override;
  int32_t ReadBufferCycle(uint8_t* buf, uint16_t len, bool flash, uint32_t timeout_ms) override;
  bool open_device() override;
  void close_device() override;
  int FlushBuffer() override;
  int DrainBuffer() override;
  void SetTimeout(uint32_t ms) override;

  bool isOpen() const;
  void resetCount() { received_ = 0; }
  long received() const { return received_; }

 private:
  int32_t count(int32_t n) {
    if (n > 0) received_ += n;
    return n;
  }
  std::unique_ptr<CRSConnector> line_;
  long received_ = 0;
};

struct Meter {
  std::string family;
  std::string address;
  std::string model;
  std::string serial;
  std::string firmware;
  time_t clock = 0;      // the meter's clock as local time; 0 when not read
  long offset = 0;       // meter clock minus system clock, seconds
  std::string password;  // "accepted", "refused", or empty when not asked
  int speed = 0;
  std::string format;
};

enum class Outcome { kSilent, kFound, kBadFrames };

struct Credentials {
  std::string password;  // empty: the family's factory default
  bool ascii = false;
};

using Line = std::shared_ptr<TapConnector>;

Outcome ProbeMercury(const Line& line, uint8_t address, const Credentials& cred, Meter& out);
Outcome ProbeCe2727(const Line& line, uint32_t address, const Credentials& cred, Meter& out);
Outcome ProbeIec61107(const Line& line, const std::string& address, const Credentials& cred,
                      Meter& out);

}  // namespace probe
