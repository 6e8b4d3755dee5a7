#pragma once

#include <memory>
#include <string>
#include <vector>

#include "base/crc.h"
#include "drivers/models/mercury/mercury23x.h"
#include "fuzz/harness/driver_common.h"

namespace mtr_fuzz {

class FuzzMercury : public CmtrMercury23X {
 public:
  FuzzMercury(const std::string& model, bool ascii) : CmtrMercury23X(model, 0) {
    settings.meter_id = "2301";
    settings.meter_number = 2301;
    settings.serial_text = "41027356";
    settings.password = "111111";
    settings.password_type = ascii ? "ascii" : "";
    params["net_address"] = "77";
    params["pu_tz"] = "3";
    params["srv_tz"] = "3";
  }
};

// As one of the factory's model strings; option bit 0: ASCII password.
inline MeasuredValueList mercurySession(const char* h, const DriverInput& in,
                                        std::shared_ptr<CConnector> line, mtr::Clock& clock) {
  static const char* const kModels[] = {"mercury230", "mercury231", "mercury233", "mercury234",
                                        "mercury236", "mercury238", "mercury204", "mercury208"};
  fuzzTimeZone();
  FuzzMercury d(kModels[in.model()], in.option(0));
  return runOperation(h, d, in, std::move(line), clock);
}

// CRC-16/MODBUS, no length byte. Each request: the address, a command, a good CRC.
inline void mercuryDriverOne(const uint8_t* data, size_t size) {
  static const char* h = "mercury_driver";
  auto line = driverOne(h, data, size, crcFixer(mtr::crc16_modbus), mercurySession);
  for (const std::vector<uint8_t>& f : line->frames) {
    FUZZ_CHECK(h, f.size() >= 4);
    if (f.size() < 4) continue;
    FUZZ_CHECK(h, f[0] == 77);
    FUZZ_CHECK(h, crcLowFirst(f, 0, f.size(), mtr::crc16_modbus));
  }
}

}  // namespace mtr_fuzz
