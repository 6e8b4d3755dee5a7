#include "probe.h"

#include <pthread.h>

#include "base/clock.h"
#include "drivers/framework/base_driver.h"
#include "drivers/models/ce2727/ce2727_connector.h"
#include "drivers/models/ce30x/ce30x.h"
#include "drivers/models/ce30x/ce_models.h"
#include "drivers/models/mercury/mercury23x_requests.h"
#include "protocols/iec61107.h"
#include "transport/rs_connector.h"

namespace probe {

namespace {

constexpr uint32_t kSerialNumber = 74;
constexpr uint32_t kFirmware = 73;
constexpr uint32_t kMeterModel = 72;

// Bits on the wire per character: start, data, parity, stop.
int bitsPerChar(const std::string& format) {
  return 1 + (format[0] - '0') + (format[1] == 'N' ? 0 : 1) + (format[2] - '0');
}

std::string valueOf(const MeasuredValueList& values, uint32_t code) {
  for (const MeasuredValue& v : values)
    if (v.param_code == code) return v.value;
  return std::string();
}

void setClock(Meter& out, time_t meter_clock) {
  out.clock = meter_clock;
  out.offset = static_cast<long>(meter_clock - mtr::systemClock().now());
}

}  // namespace

bool ParseFormat(const std::string& text, SettingsMap& params) {
  if (text.size() != 3 || text[0] < '5' || text[0] > '8' || (text[2] != '1' && text[2] != '2'))
    return false;
  const char parity = text[1];
  if (parity != 'N' && parity != 'E' && parity != 'O') return false;
  params["data"] = std::string(1, text[0]);
  params["parity"] = std::string(1, parity);
  params["stop"] = std::string(1, text[2]);
  return true;
}

TapConnector::TapConnector(const std::string& device, int speed, const std::string& format,
                           uint32_t silence_ms) {
  pthread_mutex_init(&mutex, nullptr);
  params["name"] = device;
  params["speed"] = std::to_string(speed);
  ParseFormat(format, params);
  line_.reset(new CRSConnector(params));
  // The meter hears the request only once it is on the wire; the silence
  // allowed after it counts from there.
  const uint32_t wire_ms = static_cast<uint32_t>(32L * bitsPerChar(format) * 1000 / speed);
  line_->SetTimeout(silence_ms + wire_ms);
}

TapConnector::~TapConnector() {
  line_.reset();
  pthread_mutex_destroy(&mutex);
}

int32_t TapConnector::WriteBuffer(const uint8_t* buf, uint16_t len, bool flash) {
  return line_->WriteBuffer(buf, len, flash);
}
int32_t TapConnector::ReadBuffer(uint8_t* buf, uint16_t len, bool flash) {
  return count(line_->ReadBuffer(buf, len, flash));
}
int32_t TapConnector::ReadBufferCycle(uint8_t* buf, uint16_t len, bool flash, uint32_t timeout_ms) {
  return count(line_->ReadBufferCycle(buf, len, flash, timeout_ms));
}
bool TapConnector::open_device() {
  return line_->open_device();
}
void TapConnector::close_device() {
  line_->close_device();
}
int TapConnector::FlushBuffer() {
  return line_->FlushBuffer();
}
int TapConnector::DrainBuffer() {
  return line_->DrainBuffer();
}
void TapConnector::SetTimeout(uint32_t ms) {
  line_->SetTimeout(ms);
}
bool TapConnector::isOpen() const {
  return line_->fd() >= 0;
}

Outcome ProbeMercury(const Line& line, uint8_t address, const Credentials& cred, Meter& out) {
  using namespace CmtrMercury23XRequets;
  MeterState state;
  state.clock = &mtr::systemClock();
  auto ll = std::make_shared<CMercury23XLowLevelConnector>(line, "probe", std::to_string(address));
  ll->setAddress(address);
  ll->setPassword(cred.password.empty() ? "111111" : cred.password);
  ll->setPasswordAscii(cred.ascii);
  MeasuredValueList values;

  line->resetCount();
  TestRequest test(&state);
  test.setConnector(ll);
  try {
    test.sendRequest(values);
  } catch (const CWrongPacketException&) {
    return line->received() > 0 ? Outcome::kBadFrames : Outcome::kSilent;
  }
  out.family = "mercury";
  out.address = std::to_string(address);

  OpenChannelRequest open(&state);
  open.setConnector(ll);
  try {
    open.sendRequest(values);
  } catch (const CWrongPacketException&) {
    return Outcome::kBadFrames;
  }
  // The open-channel reply is one status byte.
  const bool accepted = (ll->rxBuffer()[1] & 0x0F) == 0;
  out.password = accepted ? "accepted" : "refused";
  if (!accepted) return Outcome::kFound;

  FirmwareRequest firmware(&state);
  SerialRequest serial(&state);
  DateTimeRequest clock(&state);
  Request* reads[] = {&firmware, &serial, &clock};
  for (Request* r : reads) {
    r->setConnector(ll);
    // One more try after a glitch; a status reply (no such request) adds nothing.
    for (int attempt = 0; attempt < 2; ++attempt) {
      try {
        r->sendRequest(values);
        break;
      } catch (const CWrongPacketException&) {
      }
    }
  }
  out.model = valueOf(values, kMeterModel);
  out.firmware = valueOf(values, kFirmware);
  out.serial = valueOf(values, kSerialNumber);
  if (!valueOf(values, 85).empty()) setClock(out, static_cast<time_t>(state.meter_time));
  return Outcome::kFound;
}

Outcome ProbeCe2727(const Line& line, uint32_t address, const Credentials& cred, Meter& out) {
  using namespace CmtrCE2727Requests;
  const RequestSet* set = RequestSetFor(2);
  const Request* info = nullptr;
  const Request* state = nullptr;
  for (const Request& r : set->system)
    if (r.cmd == 0) info = &r;
  for (const Request& r : set->current)
    if (r.cmd == 27) state = &r;
  CCE2727Connector ce(line, 0, std::to_string(address), address,
                      cred.password.empty() ? "0" : cred.password, cred.ascii ? "ascii" : "hex");
  if (!info || !state || set->time.empty() || !ce.init()) return Outcome::kSilent;

  line->resetCount();
  if (!ce.SendRequestOnce(*info))
    return line->received() > 0 ? Outcome::kBadFrames : Outcome::kSilent;
  out.family = "ce2727";
  out.address = std::to_string(address);
  if (!ce.answerHasData()) {
    // The meter's "no" to a plain read: reason 1 is the password.
    out.password = ce.answerCode() == kCodeAccessDenied ? "refused" : "accepted";
    return Outcome::kFound;
  }
  out.password = "accepted";
  SystemInfo si;
  if (ParseSystemInfo(ce.answerData(), ce.answerDataLength(), si)) {
    out.serial = std::to_string(si.serial);
    out.firmware = si.firmware;
  }
  // Only the CE2727A knows the current-state command.
  if (ce.SendRequest(*state)) out.model = ce.answerHasData() ? "CE2727A" : "CE2727";
  if (ce.SendRequest(set->time.front()) && ce.answerHasData()) {
    time_t t = ParseMeterClock(ce.answerData(), ce.answerDataLength());
    if (t > 0) setClock(out, t);
  }
  return Outcome::kFound;
}

Outcome ProbeIec61107(const Line& line, const std::string& address, const Credentials& cred,
                      Meter& out) {
  Gost61107Settings settings;
  settings.name = address;
  settings.address = address;
  settings.password = cred.password;
  auto conn = std::make_shared<CGost61107Connector>(line, settings, CmtrGost61107::kAnswerCapacity);
  line->resetCount();
  std::string ident;
  try {
    ident = CeIdentify(*conn, address);
  } catch (const CDisconnectException&) {
    return line->received() > 0 ? Outcome::kBadFrames : Outcome::kSilent;
  }
  out.family = "iec61107";
  out.address = address;
  out.model = ident;
  auto model = std::dynamic_pointer_cast<CCE102M>(
      CeModelFor(ident, conn, std::make_shared<CeMeterMemory>()));
  if (!model) return Outcome::kFound;
  try {
    if (!model->Init(0, settings)) return Outcome::kBadFrames;
    MeasuredValueList values;
    for (const CCE102M::Descriptor& d : model->systemList()) {
      if (d.param == kSerialNumber || d.param == kFirmware || d.param == kMeterModel)
        model->sendRequest(d, "", values);
    }
    out.serial = valueOf(values, kSerialNumber);
    out.firmware = valueOf(values, kFirmware);
    const std::string ident_text = valueOf(values, kMeterModel);
    if (!ident_text.empty()) out.model = ident_text;
    timestamps ts{};
    if (model->ReadTimestamps(ts)) setClock(out, static_cast<time_t>(ts.curr_time));
  } catch (const CDisconnectException&) {
    return Outcome::kBadFrames;
  }
  return Outcome::kFound;
}

}  // namespace probe
