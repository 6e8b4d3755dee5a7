#pragma once

#include <stdlib.h>
#include <time.h>

#include <exception>
#include <memory>
#include <vector>

#include "drivers/framework/base_driver.h"
#include "fuzz/harness/check.h"
#include "fuzz/harness/script_connector.h"
#include "transport/connector.h"

namespace mtr_fuzz {

// The head of a driver harness input: operation, model and archive window.
struct DriverInput {
  // bits 0-1 operation, bit 3 verbose log, bit 4 a driver option, bit 5 system
  // values first (as the polling cycle reads them once before anything else)
  uint8_t op = 0;
  uint8_t sel = 0;    // bits 0-1 archive kind, bits 2-4 model
  uint16_t back = 0;  // window start, in quarter units before now
  uint8_t span = 0;   // window length in units (mod 16)

  enum Operation { kSystem = 0, kCurrent = 1, kTimestamps = 2, kArchive = 3 };
  int operation() const { return op & 3; }
  bool verbose() const { return op & 8; }
  bool option(int bit) const { return op & (0x10 << bit); }
  bool systemFirst() const { return op & 0x20; }
  int kindIndex() const { return sel & 3; }
  int model() const { return (sel >> 2) & 7; }

  void read(Reader& in) {
    op = in.byte();
    sel = in.byte();
    back = in.u16();
    span = in.byte();
  }
  std::vector<uint8_t> bytes() const {
    return {op, sel, static_cast<uint8_t>(back >> 8), static_cast<uint8_t>(back), span};
  }

  uint32_t kind() const {
    static const uint32_t kKinds[] = {Hourly, Daily, Monthly, Yearly};
    return kKinds[kindIndex()];
  }
  // [from, till] of an archive read; two-digit years: none before 2002.
  void window(time_t now, time_t& from, time_t& till) const {
    static const long kUnit[] = {3600, 86400, 30 * 86400L, 365 * 86400L};
    long unit = kUnit[kindIndex()];
    from = now - static_cast<time_t>(back) * unit / 4;
    if (from < 1009843200) from = 1009843200;
    till = from + static_cast<time_t>(span % 16) * unit;
  }
};

// Fixed zone, so that local-time arithmetic is the same on every run.
inline void fuzzTimeZone() {
  static bool done = [] {
    setenv("TZ", "MSK-3", 1);
    tzset();
    return true;
  }();
  (void)done;
}

// init() and the chosen operation on `line`; only transport exceptions may escape.
template <class Driver>
MeasuredValueList runOperation(const char* h, Driver& d, const DriverInput& in,
                               std::shared_ptr<CConnector> line, mtr::Clock& clock) {
  d.setClock(&clock);
  d.SaveConnector(std::move(line));
  MeasuredValueList values;
  try {
    d.init();
    if (in.systemFirst() && in.operation() != DriverInput::kSystem)
      values = d.get_all_system_values();
    switch (in.operation()) {
      case DriverInput::kSystem:
        values = d.get_all_system_values();
        break;
      case DriverInput::kCurrent:
        values.splice(values.end(), d.get_all_curtime_cur_integ_values());
        break;
      case DriverInput::kTimestamps: {
        timestamps ts;
        d.GetTimestamps(ts);
        break;
      }
      case DriverInput::kArchive: {
        time_t from, till;
        in.window(clock.now(), from, till);
        d.get_arch_values(in.kind(), from, till, values);
        break;
      }
    }
  } catch (const CDisconnectException&) {
  } catch (const CWrongPacketException&) {
  } catch (const CNoDateTimeException&) {
  } catch (const SerialErrorException&) {
  } catch (const std::exception& e) {
    fail(h, e.what());
  }
  return values;
}

// Writes a CRC-16 over the rest into the frame's last two bytes, low byte first.
inline FrameFixer crcFixer(uint16_t (*crc)(const uint8_t*, size_t), int length_offset = -1) {
  FrameFixer fix;
  fix.length_offset = length_offset;
  fix.checksum = [crc](std::vector<uint8_t>& f) {
    if (f.size() < 3) return;
    uint16_t c = crc(f.data(), f.size() - 2);
    f[f.size() - 2] = static_cast<uint8_t>(c);
    f[f.size() - 1] = static_cast<uint8_t>(c >> 8);
  };
  return fix;
}
inline bool crcLowFirst(const std::vector<uint8_t>& f, size_t at, size_t len,
                        uint16_t (*crc)(const uint8_t*, size_t)) {
  uint16_t c = crc(&f[at], len - 2);
  return f[at + len - 2] == (c & 0xFF) && f[at + len - 1] == (c >> 8);
}

using Session = MeasuredValueList (*)(const char*, const DriverInput&, std::shared_ptr<CConnector>,
                                      mtr::Clock&);

// Input: DriverInput, then the meter's frames; the family checks the requests returned.
inline std::shared_ptr<ScriptConnector> driverOne(const char* h, const uint8_t* data, size_t size,
                                                  const FrameFixer& fix, Session session) {
  Reader in(data, size);
  DriverInput din;
  din.read(in);
  fuzzLogging(din.verbose());
  Script script = framedScript(in, fix);
  auto line = std::make_shared<ScriptConnector>(script.bytes.data(), script.bytes.size(), 0xFFFF,
                                                script.gaps, script.bursts);
  NullClock clock;
  for (const MeasuredValue& v : session(h, din, line, clock)) FUZZ_CHECK(h, v.opc_quality == 192);
  return line;
}

}  // namespace mtr_fuzz
