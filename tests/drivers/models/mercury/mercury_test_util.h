#pragma once

#include <unistd.h>

#include <cstring>
#include <functional>
#include <map>

#include "drivers/models/mercury/mercury23x.h"
#include "support/test_support.h"
#include "transport/connector.h"
#include "transport/serial_peers.h"

namespace mercury_test {

using namespace peers;
using namespace CmtrMercury23XRequets;

// Every test of this binary runs in UTC.
inline const bool kUtc = (setenv("TZ", "UTC", 1), tzset(), true);

// Records the frames written and answers each through `meter`; an empty
// answer is silence.
struct ScriptedLine : CConnector {
  std::function<Bytes(const Bytes&)> meter;
  std::vector<Bytes> writes;
  Bytes pending;

  int32_t WriteBuffer(const uint8_t* buf, uint16_t len, bool) override {
    writes.emplace_back(buf, buf + len);
    pending = meter ? meter(writes.back()) : Bytes{};
    return len;
  }
  int32_t ReadBufferCycle(uint8_t* buf, uint16_t len, bool, uint32_t) override {
    if (pending.empty()) return -1;
    size_t n = std::min<size_t>(len, pending.size());
    memcpy(buf, pending.data(), n);
    pending.clear();
    return static_cast<int32_t>(n);
  }
  int32_t ReadBuffer(uint8_t* buf, uint16_t len, bool f) override {
    return ReadBufferCycle(buf, len, f, 0);
  }
  bool open_device() override { return true; }
  void close_device() override {}
  int FlushBuffer() override { return 0; }
  int DrainBuffer() override { return 0; }
  void SetTimeout(uint32_t) override {}
  // Commands (address and CRC cut off) of every frame written.
  std::vector<std::string> commands() const {
    std::vector<std::string> out;
    for (const Bytes& f : writes) out.push_back(hexText(Bytes(f.begin() + 1, f.end() - 2)));
    return out;
  }
};

// A meter answering from a table of commands (the bytes after the address) to
// reply data. It opens its channel only to `open` (03, access denied, to another
// password), says 05 (not opened) while closed and 01 (invalid command) to what
// it does not know.
struct TableMeter {
  std::map<std::string, std::string> table;
  std::string open = "01 01 01 01 01 01 01 01";  // password 111111, digits
  std::function<bool(const std::string&)> drop;  // true: no reply
  std::map<std::string, int> asked;
  bool channel_open = false;

  Bytes operator()(const Bytes& request) {
    if (request.size() < 4 || request[0] != 0x23 ||
        withCrc(Bytes(request.begin(), request.end() - 2)) != request)
      return {};
    const std::string command = hexText(Bytes(request.begin() + 1, request.end() - 2));
    asked[command]++;
    if (drop && drop(command)) return {};
    if (request[1] == 0x01) channel_open = command == open;
    auto it = table.find(command);
    std::string data = request[1] == 0x00 || (request[1] == 0x01 && channel_open) ? "00"
                       : request[1] == 0x01                                       ? "03"
                       : !channel_open                                            ? "05"
                       : it == table.end()                                        ? "01"
                                                                                  : it->second;
    return withCrc(hex("23 " + data));
  }
};

// "2024-03-15 10:20:30" (or a date alone) as UTC seconds.
inline time_t utc(const char* text) {
  struct tm tm = {};
  strptime(text, "%Y-%m-%d %H:%M:%S", &tm);
  return timegm(&tm);
}

// A low-level connector (meter 42, serial SN1) on a scripted line, and the state
// requests share: the meter's clock read 10:00, the controller's 10:20:30.
struct Line {
  std::shared_ptr<ScriptedLine> line = std::make_shared<ScriptedLine>();
  std::shared_ptr<CMercury23XLowLevelConnector> ll =
      std::make_shared<CMercury23XLowLevelConnector>(line, "42", "SN1");
  MeterState st;
  mtr_test::FakeClock clock{1710498030};
  explicit Line(uint8_t address = 0x23, const char* password = "111111", bool ascii = false) {
    logLevel(TL_INFO);
    ll->setAddress(address);
    ll->setPassword(password);
    ll->setPasswordAscii(ascii);
    st.clock = &clock;
    st.meter_time = utc("2024-03-15 10:00");
  }
  // Runs a request whose reply from meter 0x23 carries `data`; "" is silence.
  MeasuredValueList run(BaseRequest& r, const std::string& data) {
    Bytes reply = data.empty() ? Bytes{} : withCrc(hex("23" + data));
    line->meter = [reply](const Bytes&) { return reply; };
    r.setConnector(ll);
    MeasuredValueList values;
    r.sendRequest(values);
    return values;
  }
};

// The driver with its settings set directly, on a fake clock.
class TestDriver : public CmtrMercury23X {
 public:
  TestDriver(const std::string& model, const SettingsMap& params = {},
             const std::string& serial = "", const std::string& password = "111111")
      : CmtrMercury23X(model, 0), fake_clock(1710498030) {  // 2024-03-15 10:20:30
    logLevel(TL_INFO);
    setClock(&fake_clock);
    settings.meter_id = "7001";
    settings.meter_number = 7001;
    settings.serial_text = serial;
    settings.password = password;
    save_init_params(params);
  }
  MeterState& mutableState() { return state_; }
  mtr_test::FakeClock fake_clock;
};

// Value of the first record of (kind, code, sys), stamped `at` when given, or "<absent>".
inline std::string value(const MeasuredValueList& values, uint32_t kind, uint32_t code,
                         uint8_t sys = 0, time_t at = 0) {
  for (const auto& v : values)
    if (v.kind == kind && v.param_code == code && v.sys == sys && (!at || v.timestamp == at))
      return v.value;
  return "<absent>";
}

}  // namespace mercury_test
