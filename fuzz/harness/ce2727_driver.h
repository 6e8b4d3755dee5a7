#pragma once

#include <memory>
#include <vector>

#include "base/crc.h"
#include "drivers/models/ce2727/mtr_ce2727.h"
#include "fuzz/harness/driver_common.h"
#include "fuzz/harness/framed_script.h"
#include "fuzz/harness/log.h"

namespace mtr_fuzz {

class FuzzCE2727 : public CmtrCE2727 {
 public:
  explicit FuzzCE2727(int model) : CmtrCE2727(model) {
    settings.meter_number = 11;
    settings.serial_text = "2727";
    params["net_address"] = "4242";
    params["pu_tz"] = "4";
    params["srv_tz"] = "3";
  }
};

// One operation of a CE2727 (model bit 0 clear) or CE2727A driver on `line`.
inline MeasuredValueList ce2727Session(const char* h, const DriverInput& in,
                                       std::shared_ptr<CConnector> line, mtr::Clock& clock) {
  fuzzTimeZone();
  FuzzCE2727 d((in.model() & 1) ? 1 : 2);
  d.setClock(&clock);
  d.SaveConnector(std::move(line));
  return runOperation(h, d, in, clock.now());
}

// Every request the driver wrote is a whole frame: 0x02, its own length,
// address 4242 and password 0, a CRC-16/X-25 over the rest, low byte first.
inline void checkCE2727Requests(const char* h, const std::vector<uint8_t>& w) {
  size_t pos = 0;
  while (pos < w.size()) {
    FUZZ_CHECK(h, w[pos] == 0x02);
    FUZZ_CHECK(h, pos + 1 < w.size());
    if (pos + 1 >= w.size()) return;
    size_t len = w[pos + 1];
    FUZZ_CHECK(h, len >= 14 && len <= 19 && pos + len <= w.size());
    if (len < 14 || pos + len > w.size()) return;
    uint16_t crc = mtr::crc16_x25(&w[pos], len - 2);
    FUZZ_CHECK(h, w[pos + len - 2] == (crc & 0xFF) && w[pos + len - 1] == (crc >> 8));
    FUZZ_CHECK(h, w[pos + 2] == 0x92 && w[pos + 3] == 0x10 && w[pos + 4] == 0 && w[pos + 5] == 0);
    FUZZ_CHECK(h, w[pos + 6] == 0 && w[pos + 10] == 0x01);
    pos += len;
  }
}

inline FrameFixer ce2727Fixer() {
  FrameFixer fix;
  fix.length_offset = 1;
  fix.checksum = [](std::vector<uint8_t>& f) {
    if (f.size() < 3) return;
    uint16_t crc = mtr::crc16_x25(f.data(), f.size() - 2);
    f[f.size() - 2] = static_cast<uint8_t>(crc);
    f[f.size() - 1] = static_cast<uint8_t>(crc >> 8);
  };
  return fix;
}

// Input: DriverInput, then the meter's answers as frames (see framedScript;
// the length byte is at 1, the CRC is CRC-16/X-25).
inline void ce2727DriverOne(const uint8_t* data, size_t size) {
  static const char* h = "ce2727_driver";
  Reader in(data, size);
  DriverInput din;
  din.read(in);
  fuzzLogging(din.verbose());
  Script script = framedScript(in, ce2727Fixer());
  auto line = std::make_shared<ScriptConnector>(script.bytes.data(), script.bytes.size(), 0xFFFF,
                                                script.gaps, script.bursts);
  NullClock clock;
  MeasuredValueList values = ce2727Session(h, din, line, clock);
  checkCE2727Requests(h, line->written);
  for (const MeasuredValue& v : values) FUZZ_CHECK(h, v.opc_quality == 192);
}

}  // namespace mtr_fuzz
