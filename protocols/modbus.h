#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/clock.h"
#include "server/settings.h"
#include "transport/connector.h"

// Modbus RTU requests over a plain byte-stream connector: builds the frame,
// sends it, reads and checks the answer, retrying up to three times. A meter's
// connector class derives from it and may add function codes through the two
// hooks. Failures are reported by return values and log lines, never thrown.
class ModBus {
 public:
  static constexpr uint32_t kRequestSize = 128;
  // Largest RTU answer: address, function, byte count, 255 data bytes, CRC.
  static constexpr uint32_t kAnswerSize = 260;
  static constexpr int kAttempts = 3;

  // The identifier and name for log lines come from the settings, the network
  // address from its "net_address" entry (the derived class may override it).
  ModBus(std::shared_ptr<CConnector> connector, const MeterSettings& settings);
  virtual ~ModBus();

  // Builds the frame of a function code the base does not know. Set `handled`
  // and fill request, request_len, response_len and the CRC to take over.
  virtual bool makeCustomPacket(bool& handled, const char* name, uint8_t function,
                                const uint32_t* params, int count);
  // Full answer length worked out from the received header, or 0.
  virtual uint32_t getCustomResponseLength(const char* name, uint8_t function,
                                           const uint32_t* params, int count,
                                           const uint8_t* header);

  bool makePacket(const char* name, uint8_t function, const uint32_t* params, int count);

  // True when an answer passed all checks, an exception answer included (then
  // LastError() is set). `answer` must hold `capacity` bytes.
  bool SendRequest(const char* name, uint8_t function, const uint32_t* params, int count,
                   uint8_t* answer, uint32_t& answer_len, uint32_t capacity = kAnswerSize);

  void setNetAddress(uint32_t address) { net_address = address; }
  uint32_t NetAddress() const { return net_address; }
  // Fill bytes sent ahead of every frame to wake a sleeping meter; not covered by the CRC.
  void setWakeUp(uint8_t fill, uint32_t count) {
    wakeup_byte = fill;
    wakeup_count = count;
  }
  void setHeaderLength(uint32_t len) { header_len = len; }
  void setClock(mtr::Clock* c) { clock = c ? c : &mtr::systemClock(); }

  uint32_t LastError() const { return last_error; }
  const uint8_t* Request() const { return request; }
  uint32_t RequestLength() const { return request_len; }
  uint32_t ResponseLength() const { return response_len; }

 protected:
  // Appends CRC-16/MODBUS (low byte first) over the frame after the wake-up prefix.
  void appendCrc();
  // Room left in the request buffer for data bytes, keeping two for the CRC.
  uint32_t roomForData() const;

  std::shared_ptr<CConnector> connector;
  long long meter_id = 0;
  std::string meter_name;
  uint32_t net_address = 0;
  uint8_t wakeup_byte = 0;
  uint32_t wakeup_count = 0;
  uint8_t request[kRequestSize] = {};
  uint32_t request_len = 0;
  uint32_t header_len = 5;
  uint32_t response_len = 0;  // 0: taken from the answer's header
  uint32_t last_error = 0;
  mtr::Clock* clock;

 private:
  // One write and read-back; true with `answer_len` set when the answer checks out.
  bool attempt(const char* name, uint8_t function, const uint32_t* params, int count,
               uint8_t* answer, uint32_t& answer_len, uint32_t capacity, bool& built);
  // Reads `want` bytes one ReadBuffer call at a time; returns how many arrived.
  uint32_t readBytewise(uint8_t* dst, uint32_t want);
  void dump(const char* name, const char* what, const uint8_t* bytes, size_t count);
};

// Connector of the ADI heat meter: adds function code 20, whose parameters go
// out as two bytes each, high byte first.
class cADIConnector : public ModBus {
 public:
  cADIConnector(std::shared_ptr<CConnector> connector, const MeterSettings& settings);

  bool makeCustomPacket(bool& handled, const char* name, uint8_t function, const uint32_t* params,
                        int count) override;
};
