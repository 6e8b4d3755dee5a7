#pragma once

#include <memory>
#include <string>
#include <vector>

#include "drivers/models/ce30x/ce30x.h"
#include "fuzz/harness/driver_common.h"
#include "protocols/iec61107.h"

namespace mtr_fuzz {

class FuzzCE30X : public CmtrGost61107 {
 public:
  explicit FuzzCE30X(bool addressed) {
    settings.meter_number = 301;
    settings.serial_text = "009301";
    settings.password = "777777";
    params["net_address"] = addressed ? "301" : "";
    params["pu_tz"] = "4";
    params["srv_tz"] = "3";
  }
};

// Option bit 0: sign-on without address; the meter's identification picks the model.
inline MeasuredValueList ce30xSession(const char* h, const DriverInput& in,
                                      std::shared_ptr<CConnector> line, mtr::Clock& clock) {
  fuzzTimeZone();
  FuzzCE30X d(!in.option(0));
  return runOperation(h, d, in, std::move(line), clock);
}

// Frames end in the 7-bit sum of all after the first byte; so do the
// driver's command frames (SOH first).
inline void ce30xDriverOne(const uint8_t* data, size_t size) {
  static const char* h = "ce30x_driver";
  FrameFixer fix;
  fix.checksum = [](std::vector<uint8_t>& f) {
    if (f.size() >= 2) f.back() = iec61107::Sum7Bcc(f.data(), static_cast<uint16_t>(f.size()));
  };
  auto line = driverOne(h, data, size, fix, ce30xSession);
  for (const std::vector<uint8_t>& f : line->frames) {
    FUZZ_CHECK(h, !f.empty());
    if (f.size() >= 3 && f[0] == iec61107::SOH)
      FUZZ_CHECK(h, f.back() == iec61107::Sum7Bcc(f.data(), static_cast<uint16_t>(f.size())));
  }
}

}  // namespace mtr_fuzz
