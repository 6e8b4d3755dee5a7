#pragma once

#include <memory>
#include <string>
#include <vector>

#include "base/crc.h"
#include "drivers/models/mercury/mercury23x.h"
#include "fuzz/harness/driver_common.h"
#include "fuzz/harness/framed_script.h"
#include "fuzz/harness/log.h"

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

// The model strings the factory hands this driver.
inline const char* mercuryModel(int index) {
  static const char* const kModels[] = {"mercury230", "mercury231", "mercury233", "mercury234",
                                        "mercury236", "mercury238", "mercury204", "mercury208"};
  return kModels[index & 7];
}

// One operation of the driver on `line`; option bit 0: ASCII password.
inline MeasuredValueList mercurySession(const char* h, const DriverInput& in,
                                        std::shared_ptr<CConnector> line, mtr::Clock& clock) {
  fuzzTimeZone();
  FuzzMercury d(mercuryModel(in.model()), in.option(0));
  d.setClock(&clock);
  d.SaveConnector(std::move(line));
  return runOperation(h, d, in, clock.now());
}

inline FrameFixer mercuryFixer() {
  FrameFixer fix;
  fix.checksum = [](std::vector<uint8_t>& f) {
    if (f.size() < 3) return;
    uint16_t crc = mtr::crc16_modbus(f.data(), f.size() - 2);
    f[f.size() - 2] = static_cast<uint8_t>(crc);
    f[f.size() - 1] = static_cast<uint8_t>(crc >> 8);
  };
  return fix;
}

// Input: DriverInput, then the meter's replies as frames (see framedScript;
// no length byte, CRC-16/MODBUS low byte first).
inline void mercuryDriverOne(const uint8_t* data, size_t size) {
  static const char* h = "mercury_driver";
  Reader in(data, size);
  DriverInput din;
  din.read(in);
  fuzzLogging(din.verbose());
  Script script = framedScript(in, mercuryFixer());
  auto line = std::make_shared<ScriptConnector>(script.bytes.data(), script.bytes.size(), 0xFFFF,
                                                script.gaps, script.bursts);
  NullClock clock;
  MeasuredValueList values = mercurySession(h, din, line, clock);
  // Every request: the meter's address, a command byte, a good CRC.
  for (const std::vector<uint8_t>& f : line->frames) {
    FUZZ_CHECK(h, f.size() >= 4);
    if (f.size() < 4) continue;
    FUZZ_CHECK(h, f[0] == 77);
    uint16_t crc = mtr::crc16_modbus(f.data(), f.size() - 2);
    FUZZ_CHECK(h, f[f.size() - 2] == (crc & 0xFF) && f[f.size() - 1] == (crc >> 8));
  }
  for (const MeasuredValue& v : values) FUZZ_CHECK(h, v.opc_quality == 0xC0);
}

}  // namespace mtr_fuzz
