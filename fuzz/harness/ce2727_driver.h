#pragma once

#include <memory>
#include <vector>

#include "base/crc.h"
#include "drivers/models/ce2727/mtr_ce2727.h"
#include "fuzz/harness/driver_common.h"

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
  return runOperation(h, d, in, std::move(line), clock);
}

// Requests: 0x02, length, address 4242, password 0, good CRC-16/X-25.
inline void ce2727DriverOne(const uint8_t* data, size_t size) {
  static const char* h = "ce2727_driver";
  auto line = driverOne(h, data, size, crcFixer(mtr::crc16_x25, 1), ce2727Session);
  const std::vector<uint8_t>& w = line->written;
  for (size_t pos = 0, len; pos < w.size(); pos += len) {
    FUZZ_CHECK(h, w[pos] == 0x02);
    FUZZ_CHECK(h, pos + 1 < w.size());
    if (pos + 1 >= w.size()) return;
    len = w[pos + 1];
    FUZZ_CHECK(h, len >= 14 && len <= 19 && pos + len <= w.size());
    if (len < 14 || pos + len > w.size()) return;
    FUZZ_CHECK(h, crcLowFirst(w, pos, len, mtr::crc16_x25));
    FUZZ_CHECK(h, w[pos + 2] == 0x92 && w[pos + 3] == 0x10 && w[pos + 4] == 0 && w[pos + 5] == 0);
    FUZZ_CHECK(h, w[pos + 6] == 0 && w[pos + 10] == 0x01);
  }
}

}  // namespace mtr_fuzz
