#include "drivers/models/mercury/mercury23x_requests.h"

#include <cstdio>
#include <cstring>

#include "base/clock.h"
#include "base/crc.h"
#include "base/logger.h"
#include "transport/connector.h"

namespace CmtrMercury23XRequets {

// ---- number formats ----

bool isBcd(uint8_t b) {
  return (b >> 4) <= 9 && (b & 0x0F) <= 9;
}

int bcd(uint8_t b) {
  return (b >> 4) * 10 + (b & 0x0F);
}

uint32_t value3(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[2]) << 8) | p[1];
}

uint32_t value3Masked(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0] & 0x3F) << 16) | (static_cast<uint32_t>(p[2]) << 8) | p[1];
}

uint32_t register4(const uint8_t* p) {
  uint32_t v = (static_cast<uint32_t>(p[1]) << 24) | (static_cast<uint32_t>(p[0]) << 16) |
               (static_cast<uint32_t>(p[3]) << 8) | p[2];
  return v == 0xFFFFFFFFu ? 0 : v;
}

time_t localTime(int year, int month, int day, int hour, int minute, int second) {
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 || minute < 0 ||
      minute > 59 || second < 0 || second > 59)
    return -1;
  time_t t = mtr::localMoment(year, month, day, hour, minute, second);
  // 31 April and the like roll over into the next month: not a date.
  struct tm tm = {};
  if (t == -1 || !localtime_r(&t, &tm) || tm.tm_mday != day || tm.tm_mon != month - 1) return -1;
  return t;
}

bool timeStamp6(const uint8_t* p, time_t* out) {
  for (int i = 0; i < 6; ++i)
    if (!isBcd(p[i])) return false;
  time_t t = localTime(2000 + bcd(p[5]), bcd(p[4]), bcd(p[3]), bcd(p[2]), bcd(p[1]), bcd(p[0]));
  if (t < 0) return false;
  *out = t;
  return true;
}

int meterConstant(uint8_t variant1) {
  static const int kConstants[6] = {5000, 25000, 1250, 500, 1000, 250};
  int code = variant1 & 0x0F;
  return code < 6 ? kConstants[code] : 1;
}

time_t dayStart(time_t t) {
  struct tm tm;
  localtime_r(&t, &tm);
  tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
  tm.tm_isdst = -1;
  return mktime(&tm);
}

time_t addDays(time_t t, int days) {
  struct tm tm;
  localtime_r(&t, &tm);
  tm.tm_mday += days;
  tm.tm_isdst = -1;
  return mktime(&tm);
}

namespace {

struct tm localFields(time_t t) {
  struct tm tm;
  localtime_r(&t, &tm);
  return tm;
}

}  // namespace

time_t addMonths(time_t t, int months) {
  struct tm tm;
  localtime_r(&t, &tm);
  tm.tm_mon += months;
  tm.tm_isdst = -1;
  return mktime(&tm);
}

std::string formatTime(time_t t) {
  struct tm tm;
  localtime_r(&t, &tm);
  char buf[32];
  strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

std::string fixed(double value, int decimals) {
  char buf[64];
  snprintf(buf, sizeof buf, "%.*f", decimals, value);
  return buf;
}

// ---- one exchange ----

void Request::add(MeasuredValueList& values, uint32_t code, uint32_t kind, const std::string& text,
                  int64_t timestamp, uint8_t sys) const {
  MeasuredValue v;
  v.param_code = code;
  v.kind = kind;
  v.value = text;
  v.opc_quality = kQuality;
  v.sys = sys;
  v.timestamp = static_cast<int32_t>(timestamp);
  values.push_back(std::move(v));
}

int Request::parseErrorCode(uint8_t status) {
  int code = status & 0x0F;
  if (code == 0) return 0;
  static const char* const kText[] = {
      "",          "Invalid command", "Mercury internal error", "Access denied", "Clock error",
      "Not opened"};
  LOG_ERR("[%s][%s] Request::parseErrorCode: code = %X", id(), sn(), code);
  LOG_ERR("[%s][%s] Request::parseErrorCode: status = %s", id(), sn(),
          code <= 5 ? kText[code] : "Unknown error");
  return code;
}

void Request::parseFrame(uint16_t size) {
  const uint8_t* rx = ll_->rxBuffer();
  if (size == CMercury23XLowLevelConnector::kNoFrame) {
    LOG_ERR("[%s][%s] Request::parseFrame: no frame, size = %d", id(), sn(), size);
    throw CWrongPacketException();
  }
  if (size < 4) {
    LOG_ERR("[%s][%s] Request::parseFrame: Short frame size = %d", id(), sn(), size);
    throw CWrongPacketException();
  }
  if (rx[0] != ll_->address()) {
    LOG_ERR("[%s][%s] Request::parseFrame: Invalid address = %d", id(), sn(), rx[0]);
    throw CWrongPacketException();
  }
  uint16_t crc = mtr::crc16_modbus(rx, size - 2);
  if (rx[size - 2] != (crc & 0xFF) || rx[size - 1] != (crc >> 8)) {
    LOG_ERR("[%s][%s] Request::parseFrame: Invalid checksum in reply", id(), sn());
    throw CWrongPacketException();
  }
}

void Request::sendRequest(MeasuredValueList& values) {
  if (!ll_) throw CDisconnectException();
  uint8_t* tx = ll_->txBuffer();
  tx[0] = ll_->address();
  uint16_t len = static_cast<uint16_t>(fillCMD(tx + 1) - tx);
  uint16_t crc = mtr::crc16_modbus(tx, len);
  tx[len++] = crc & 0xFF;
  tx[len++] = crc >> 8;
  ll_->WriteBuffer(len);

  const uint16_t expected = dataSize() + 3;
  uint16_t size = ll_->ReadBufferCycle(expected);
  parseFrame(size);
  const uint8_t* rx = ll_->rxBuffer();
  if (size == expected && size != 4) {
    parseData(rx + 1, size - 3, values);
    return;
  }
  if (size == 4) {
    int code = rx[1] & 0x0F;
    if (expected != 4) {
      LOG_ERR("[%s][%s] Request::parseFrame: Invalid frame size = %d", id(), sn(), size);
      parseErrorCode(rx[1]);
    }
    if (code != 0)
      LOG_WARNING(
          "[%s][%s] Request::parseReply: ERROR CODE %d. DEVICE DOESN'T SUPPORT THIS "
          "REQUEST !!!",
          id(), sn(), code);
    else
      LOG_INFO("[%s][%s] Request::parseReply: Ok response from device !!!", id(), sn());
    return;
  }
  LOG_ERR("[%s][%s] Request::parseFrame: Invalid frame size = %d", id(), sn(), size);
  throw CWrongPacketException();
}

// ---- status-only requests ----

uint8_t* TestRequest::fillCMD(uint8_t* p) {
  *p++ = 0x00;
  return p;
}

uint8_t* OpenChannelRequest::fillCMD(uint8_t* p) {
  *p++ = 0x01;
  *p++ = 0x01;  // access level
  const char* pw = ll_->password();
  const bool ascii = ll_->passwordAscii();
  for (int i = 0; i < 6; ++i) {
    uint8_t c = static_cast<uint8_t>(pw[i]);
    *p++ = ascii ? c : (c == 0 ? 0 : static_cast<uint8_t>(c - '0'));
  }
  return p;
}

uint8_t* CloseChannelRequest::fillCMD(uint8_t* p) {
  *p++ = 0x02;
  return p;
}

// ---- measured quantities ----

uint8_t* ReadExtendedRequest::fillCMD(uint8_t* p) {
  *p++ = 0x08;
  *p++ = static_cast<uint8_t>(paramCode());
  *p++ = static_cast<uint8_t>(bwri());
  return p;
}

void VoltageRequest::parseData(const uint8_t* d, uint16_t, MeasuredValueList& values) {
  add(values, 39 + phase_ - 1, Current, fixed(value3(d) * 0.01, 2), st_->now());
}

void CurrentRequest::parseData(const uint8_t* d, uint16_t, MeasuredValueList& values) {
  add(values, 42 + phase_ - 1, Current, fixed(value3(d) * 0.001, 3), st_->now());
}

void FrequencyRequest::parseData(const uint8_t* d, uint16_t, MeasuredValueList& values) {
  add(values, 49, Current, fixed(value3(d) * 0.01, 2), st_->now());
}

void PowerRequest::parseData(const uint8_t* d, uint16_t, MeasuredValueList& values) {
  double kw = value3Masked(d) * 0.00001;
  bool negative = power_kind_ == 0 ? (d[0] & 0x80) != 0 : (d[0] & 0x40) != 0;
  if (negative && kw != 0) kw = -kw;
  uint32_t code = (power_kind_ == 0 ? 31 : 35) + phase_;
  add(values, code, Current, fixed(kw, 5), st_->now());
}

void CosRequest::parseData(const uint8_t* d, uint16_t, MeasuredValueList& values) {
  add(values, 45 + phase_, Current, fixed(value3Masked(d) * 0.001, 3), st_->now());
}

namespace {

// Second, minute, hour, weekday, day, month, year, season (BCD).
time_t meterClock(const uint8_t* d) {
  for (int i = 0; i < 7; ++i)
    if (!isBcd(d[i])) throw CWrongPacketException();
  time_t t = localTime(2000 + bcd(d[6]), bcd(d[5]), bcd(d[4]), bcd(d[2]), bcd(d[1]), bcd(d[0]));
  if (t < 0) throw CWrongPacketException();
  return t;
}

}  // namespace

void DateTime2Request::parseData(const uint8_t* d, uint16_t, MeasuredValueList& values) {
  time_t t = meterClock(d);
  st_->meter_time = t;
  add(values, 85, System, std::to_string(t - st_->dtz), st_->now());
}

void DateTimeRequest::sendRequest(MeasuredValueList& values) {
  if (st_->int_rater == 0) {
    // Such meters keep no usable clock for us: controller time stands in.
    time_t now = st_->now();
    st_->meter_time = now + st_->dtz;
    add(values, 85, System, std::to_string(now), now);
    return;
  }
  Request::sendRequest(values);
}

uint8_t* DateTimeRequest::fillCMD(uint8_t* p) {
  *p++ = 0x04;
  *p++ = 0x00;
  return p;
}

void DateTimeRequest::parseData(const uint8_t* d, uint16_t, MeasuredValueList& values) {
  time_t t = meterClock(d);
  st_->meter_time = t;
  add(values, 85, System, std::to_string(t - st_->dtz), st_->now());
}

// ---- identity ----

uint8_t* SerialRequest::fillCMD(uint8_t* p) {
  *p++ = 0x08;
  *p++ = 0x00;
  return p;
}

void SerialRequest::parseData(const uint8_t* d, uint16_t, MeasuredValueList& values) {
  char serial[32];
  snprintf(serial, sizeof serial, "%02d%02d%02d%02d", d[0], d[1], d[2], d[3]);
  time_t now = st_->now();
  add(values, 74, System, serial, now);
  time_t made = localTime(2000 + d[6], d[5], d[4]);
  if (made >= 0) add(values, 75, System, std::to_string(made), now);
}

uint8_t* IcfUcfRequest::fillCMD(uint8_t* p) {
  *p++ = 0x08;
  *p++ = 0x02;
  return p;
}

void IcfUcfRequest::parseData(const uint8_t* d, uint16_t, MeasuredValueList& values) {
  int icf = (d[0] << 8) | d[1];
  int ucf = (d[2] << 8) | d[3];
  LOG_DEBUG("[%s][%s] IcfUcfRequest::parseData: icf = %d", id(), sn(), icf);
  LOG_DEBUG("[%s][%s] IcfUcfRequest::parseData: ucf = %d", id(), sn(), ucf);
  time_t now = st_->now();
  add(values, 60, System, std::to_string(icf), now);
  add(values, 61, System, std::to_string(ucf), now);
}

uint8_t* FirmwareRequest::fillCMD(uint8_t* p) {
  *p++ = 0x08;
  *p++ = 0x03;
  return p;
}

std::string FirmwareRequest::modelName(int n) {
  switch (n) {
    case 2:
      return "mercury230";
    case 3:
      return "mercury231at";
    case 7:
      return "mercury233";
    case 8:
      return "mercury236";
    case 9:
      return "mercury234";
    case 10:
      return "mercury204";
    case 11:
      return "mercury231art";
    case 12:
      return "mercury238";
    case 13:
      return "mercury208";
    default:
      return "mercury-unknown";
  }
}

void FirmwareRequest::parseData(const uint8_t* d, uint16_t, MeasuredValueList& values) {
  for (int i = 0; i < 3; ++i) st_->firmware[i] = static_cast<uint8_t>(bcd(d[i]));
  st_->firmware_read = true;
  char text[32];
  snprintf(text, sizeof text, "%d.%d.%d", st_->firmware[0], st_->firmware[1], st_->firmware[2]);
  time_t now = st_->now();
  add(values, 73, System, text, now);
  add(values, 72, System, modelName(st_->firmware[0]), now);
}

uint8_t* IndividualParamsRequest::fillCMD(uint8_t* p) {
  *p++ = 0x08;
  *p++ = 0x01;
  *p++ = 0x00;
  return p;
}

void IndividualParamsRequest::parseData(const uint8_t* d, uint16_t, MeasuredValueList&) {
  for (int i = 0; i < 3; ++i) st_->firmware[i] = static_cast<uint8_t>(bcd(d[7 + i]));
  st_->firmware_read = true;
  memcpy(st_->variant, d + 10, 6);
  st_->ext_arch = d[15] & 0x40;
  st_->int_rater = d[12] & 0x40;
}

uint8_t* ModelRequest::fillCMD(uint8_t* p) {
  *p++ = 0x08;
  *p++ = 0x12;
  return p;
}

void ModelRequest::parseData(const uint8_t* d, uint16_t, MeasuredValueList&) {
  memcpy(st_->variant, d, 6);
  LOG_DEBUG("[%s][%s] ModelRequest::parseData: %X %X %X %X %X %X", id(), sn(), d[0], d[1], d[2],
            d[3], d[4], d[5]);
}

uint8_t* LastOnOffRequest::fillCMD(uint8_t* p) {
  *p++ = 0x04;
  *p++ = 0x01;
  *p++ = 0xFF;
  return p;
}

void LastOnOffRequest::parseData(const uint8_t* d, uint16_t, MeasuredValueList& values) {
  time_t now = st_->now();
  time_t t;
  if (timeStamp6(d, &t)) {
    long on = static_cast<long>(t - st_->dtz);
    LOG_DEBUG("[%s][%s] LastOnOffRequest::parseData: LastOn = %ld", id(), sn(), on);
    add(values, 84, System, std::to_string(on), now);
  }
  if (timeStamp6(d + 6, &t)) {
    long off = static_cast<long>(t - st_->dtz);
    LOG_DEBUG("[%s][%s] LastOnOffRequest::parseData: LastOff = %ld", id(), sn(), off);
    add(values, 83, System, std::to_string(off), now);
  }
}

void TsrRequest::sendRequest(MeasuredValueList& values) {
  if (!st_->firmware_read || st_->firmware[1] <= 2) return;
  Request::sendRequest(values);
}

uint8_t* TsrRequest::fillCMD(uint8_t* p) {
  *p++ = 0x08;
  *p++ = 0x21;
  return p;
}

void TsrRequest::parseData(const uint8_t* d, uint16_t, MeasuredValueList& values) {
  char text[32];
  snprintf(text, sizeof text, "%f", d[0] / 60.0);
  add(values, 62, System, text, st_->now());
}

uint8_t* StateRequest::fillCMD(uint8_t* p) {
  *p++ = 0x08;
  *p++ = 0x0A;
  return p;
}

uint32_t StateRequest::stateWord(const uint8_t* d) {
  // Which bit of the state word each status bit (from bit 1 on) sets; 0 sets none.
  static const uint8_t kBit[48] = {16, 3, 15, 0, 3, 2, 3, 0,                          // 0-7
                                   3,  3, 3,  3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3,  // 8-23
                                   3,  3, 3,  3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3,     // 24-38
                                   0,                                                 // 39
                                   3,  3,                                             // 40-41
                                   0,  0, 0,  0,                                      // 42-45
                                   4,  16};                                           // 46-47
  uint32_t word = 0;
  for (int k = 1; k < 48; ++k) {
    if (!(d[k / 8] & (1u << (k % 8)))) continue;
    uint8_t bit = kBit[k - 1];
    if (bit) word |= 1u << bit;
  }
  return word;
}

void StateRequest::parseData(const uint8_t* d, uint16_t, MeasuredValueList& values) {
  add(values, 14, Current, std::to_string(stateWord(d)), st_->now());
}

// ---- journals ----

uint8_t* ErrorHistoryRequest::fillCMD(uint8_t* p) {
  *p++ = 0x04;
  *p++ = static_cast<uint8_t>(journal_);
  *p++ = 0xFE;
  return p;
}

void ErrorHistoryRequest::parseData(const uint8_t* d, uint16_t size, MeasuredValueList& values) {
  const std::string event = std::to_string(1u << event_bit_);
  auto take = [&](const uint8_t* stamp) {
    time_t t;
    if (!timeStamp6(stamp, &t)) return;  // empty slot
    int64_t ctl = t - st_->dtz;
    if (ctl > from_ && ctl <= till_) add(values, 69, Hourly, event, t);
  };
  for (int i = 0; (i + 1) * record_size_ <= size; ++i) {
    const uint8_t* rec = d + i * record_size_;
    take(rec);
    if (record_size_ >= 12) take(rec + 6);
  }
}

// ---- energy registers ----

uint8_t* IntegratorsRequest::fillCMD(uint8_t* p) {
  *p++ = 0x05;
  *p++ = static_cast<uint8_t>(code_);
  *p++ = static_cast<uint8_t>(tariff_);
  return p;
}

bool IntegratorsRequest::arrayTime(int code, time_t meter_time, time_t reading_time, time_t* t,
                                   uint32_t* kind) {
  const int array = code & 0xF0;
  const int m = code & 0x0F;
  struct tm now = localFields(meter_time);
  const int year = now.tm_year + 1900;
  const int month = now.tm_mon + 1;
  const bool whole = m == 0;
  switch (array) {
    case 0x00:
      if (!whole) return false;
      *t = reading_time;
      *kind = Current;
      return true;
    case 0x20:
      if (!whole) return false;
      *t = localTime(year - 1, 1, 1);
      *kind = Yearly;
      return true;
    case 0x30:
      if (m < 1 || m > 12 || m == month) return false;
      *t = localTime(m > month ? year - 1 : year, m, 1);
      *kind = Monthly;
      return true;
    case 0x50:
      if (!whole) return false;
      *t = addDays(dayStart(meter_time), -1);
      *kind = Daily;
      return true;
    case 0x90:
      if (!whole) return false;
      *t = localTime(year, 1, 1);
      *kind = Integral_yearly;
      return true;
    case 0xA0:
      if (!whole) return false;
      *t = localTime(year - 1, 1, 1);
      *kind = Integral_yearly;
      return true;
    case 0xB0:
      if (m < 1 || m > 12) return false;
      *t = localTime(m > month ? year - 1 : year, m, 1);
      *kind = Integral_monthly;
      return true;
    case 0xC0:
      if (!whole) return false;
      *t = dayStart(meter_time);
      *kind = Integral_daily;
      return true;
    case 0xD0:
      if (!whole) return false;
      *t = addDays(dayStart(meter_time), -1);
      *kind = Integral_daily;
      return true;
    default:
      return false;
  }
}

void IntegratorsRequest::addRegisters(const uint8_t* d, int divisor, uint32_t kind, time_t t,
                                      int tariff, MeasuredValueList& values) {
  for (int r = 0; r < 4; ++r) {
    double value = register4(d + 4 * r) / static_cast<double>(divisor) * 0.001;
    MeasuredValue v;
    v.param_code = 50 + r;
    v.kind = kind;
    v.value = fixed(value, divisor == 1 ? 3 : 4);
    v.opc_quality = kQuality;
    v.sys = static_cast<uint8_t>(tariff);
    v.timestamp = static_cast<int32_t>(t);
    values.push_back(std::move(v));
  }
}

void IntegratorsRequest::parseData(const uint8_t* d, uint16_t, MeasuredValueList& values) {
  time_t t;
  uint32_t kind;
  if (!arrayTime(code_, st_->meter_time, st_->now(), &t, &kind)) return;
  addRegisters(d, divisor_, kind, t, tariff_, values);
}

uint16_t DmaIntegratorsRequest::address() const {
  int base;
  int array = code_ & 0xF0;
  if (code_ == 0xC0)
    base = 0x6A6;
  else if (code_ == 0xD0)
    base = 0x6FB;
  else if (array == 0xB0 && (code_ & 0x0F) >= 1)
    base = 0x2AA + 85 * ((code_ & 0x0F) - 1);
  else
    base = 0x200;
  return static_cast<uint16_t>(base + 17 * tariff_);
}

uint8_t* DmaIntegratorsRequest::fillCMD(uint8_t* p) {
  uint16_t a = address();
  *p++ = 0x06;
  *p++ = 0x02;
  *p++ = static_cast<uint8_t>(a >> 8);
  *p++ = static_cast<uint8_t>(a & 0xFF);
  *p++ = 0x10;
  return p;
}

void IntegratorsRequestExt::sendRequest(MeasuredValueList& values) {
  if (from_ <= 0 || till_ < from_) return;
  time_t step = dayStart(static_cast<time_t>(from_ + st_->dtz));
  if (monthly_) {
    struct tm tm = localFields(step);
    step = localTime(tm.tm_year + 1900, tm.tm_mon + 1, 1);
  }
  MeasuredValueList got;
  for (; step <= till_; step = monthly_ ? addMonths(step, 1) : addDays(step, 1)) {
    step_ = step;
    size_t before = got.size();
    Request::sendRequest(got);
    if (got.size() == before) break;  // the meter holds nothing more
  }
  values.splice(values.end(), got);
}

uint8_t* IntegratorsRequestExt::fillCMD(uint8_t* p) {
  struct tm tm = localFields(step_);
  uint8_t day = static_cast<uint8_t>(tm.tm_mday);
  uint8_t month = static_cast<uint8_t>(tm.tm_mon + 1);
  uint8_t year = static_cast<uint8_t>(tm.tm_year + 1900 - 2000);
  LOG_DEBUG("[%s][%s] IntegratorsRequestExt::fillCMD %02x/%02x/%02x", id(), sn(), day, month, year);
  *p++ = 0x18;
  *p++ = monthly_ ? 1 : 0;
  *p++ = day;
  *p++ = month;
  *p++ = year;
  *p++ = static_cast<uint8_t>(tariff_);
  return p;
}

void IntegratorsRequestExt::parseData(const uint8_t* d, uint16_t, MeasuredValueList& values) {
  IntegratorsRequest::addRegisters(d, 1, monthly_ ? Integral_monthly : Integral_daily, step_,
                                   tariff_, values);
}

// ---- power profile ----

uint8_t* LastProfileRequest::fillCMD(uint8_t* p) {
  *p++ = 0x08;
  *p++ = 0x13;
  return p;
}

void LastProfileRequest::parseData(const uint8_t* d, uint16_t, MeasuredValueList&) {
  uint32_t addr = (static_cast<uint32_t>(d[0]) << 8) | d[1];
  // Larger models count the address in 16-byte units.
  if (st_->model_number > 232 || st_->model_number == 204) addr *= 16;
  st_->last_profile_addr = addr;
  time_t t = -1;
  if (isBcd(d[3]) && isBcd(d[4]) && isBcd(d[5]) && isBcd(d[6]) && isBcd(d[7]))
    t = localTime(2000 + bcd(d[7]), bcd(d[6]), bcd(d[5]), bcd(d[3]), bcd(d[4]));
  st_->last_profile_time = t < 0 ? 0 : t;
  st_->last_profile_period = d[8];
  LOG_DEBUG("[%s][%s] LastProfileRequest::parseData: address = %u, state = %X, time = %s, T = %d",
            id(), sn(), addr, d[2], formatTime(st_->last_profile_time).c_str(), d[8]);
}

uint32_t ProfileMemoryRequest::address() const {
  // The profile is a ring in a 17-bit address space.
  return (st_->last_profile_addr - offset_) & 0x1FFFF;
}

uint8_t* ProfileMemoryRequest::fillCMD(uint8_t* p) {
  uint32_t a = address();
  *p++ = 0x06;
  *p++ = static_cast<uint8_t>(((a >> 16) & 1) << 7 | 0x03);
  *p++ = static_cast<uint8_t>((a >> 8) & 0xFF);
  *p++ = static_cast<uint8_t>(a & 0xFF);
  *p++ = 0x78;
  return p;
}

void ProfileMemoryRequest::parseData(const uint8_t* d, uint16_t size, MeasuredValueList& values) {
  const double c = meterConstant(st_->variant[1]);
  for (int i = size / 15 - 1; i >= 0; --i) {
    const uint8_t* rec = d + 15 * i;
    bool bcd_ok = true;
    for (int k = 1; k <= 5; ++k) bcd_ok = bcd_ok && isBcd(rec[k]);
    if (!bcd_ok) continue;  // empty or erased slot
    time_t t = localTime(2000 + bcd(rec[5]), bcd(rec[4]), bcd(rec[3]), bcd(rec[1]), bcd(rec[2]));
    if (t < 0 || t < from_ || t > till_) continue;
    const int period = rec[6];
    if (period == 0) continue;
    for (int j = 0; j < 4; ++j) {
      const uint8_t* n = rec + 7 + 2 * j;
      if (n[0] == 0xFF && n[1] == 0xFF) continue;  // not counted
      uint32_t count = n[0] | (static_cast<uint32_t>(n[1]) << 8);
      double value = count * 60.0 / period / (2.0 * c);
      if (value < 0) continue;
      add(values, 54 + j, Hourly, fixed(value, 5), t);
    }
  }
}

// ---- tariff calendar ----

uint8_t* HolidaysRequest::fillCMD(uint8_t* p) {
  *p++ = 0x06;
  *p++ = 0x02;
  *p++ = 0x1D;
  *p++ = static_cast<uint8_t>(((month_ & 0x3F) * 4 + month_ - 5) & 0xFF);
  *p++ = 0x04;
  return p;
}

void HolidaysRequest::parseData(const uint8_t* d, uint16_t, MeasuredValueList&) {
  st_->timetable.clearHolidays(month_);
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 8; ++j) {
      if (!(d[i] & (1u << j))) continue;
      int day = 8 * i + j + 1;
      LOG_DEBUG("[%s][%s] HolidaysRequest::parseData: day = %d, month = %d", id(), sn(), day,
                month_);
      if (day <= 31) st_->timetable.addHoliday(month_, day);
    }
}

uint8_t* HolidaysRequest236::fillCMD(uint8_t* p) {
  *p++ = 0x08;
  *p++ = 0x23;
  *p++ = static_cast<uint8_t>(month_);
  return p;
}

void HolidaysRequest236::parseData(const uint8_t* d, uint16_t, MeasuredValueList&) {
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 8; ++j)
      if (d[i] & (1u << j))
        LOG_DEBUG("[%s][%s] HolidaysRequest236::parseData: day = %d, month = %d", id(), sn(),
                  8 * i + j + 1, month_);
}

uint16_t ScheduleRequest::address() const {
  return static_cast<uint16_t>(0xFEF + 272 * (month_ - 1) + 34 * (day_type_ - 1) + 17 * part_);
}

uint8_t* ScheduleRequest::fillCMD(uint8_t* p) {
  uint16_t a = address();
  *p++ = 0x06;
  *p++ = 0x02;
  *p++ = static_cast<uint8_t>(a >> 8);
  *p++ = static_cast<uint8_t>(a & 0xFF);
  *p++ = 0x10;
  return p;
}

void ScheduleRequest::parseData(const uint8_t* d, uint16_t, MeasuredValueList&) {
  if (part_ == 1) st_->timetable.clearDay(month_, day_type_);
  for (int e = 0; e < 8; ++e) {
    int minute = d[2 * e];
    int hour = d[2 * e + 1] & 0x1F;
    int tariff = d[2 * e + 1] >> 5;
    if (hour >= 24 || minute >= 60) continue;
    LOG_DEBUG(
        "[%s][%s] ScheduleRequest::parseData: month = %d, weekday = %d, part = %d, "
        "tariff = %d, %02d:%02d",
        id(), sn(), month_, day_type_, part_, tariff, hour, minute);
    st_->timetable.addSwitch(month_, day_type_, (hour * 60 + minute) * 60, tariff);
  }
}

uint8_t* TimeTableChangeRequest::fillCMD(uint8_t* p) {
  *p++ = 0x04;
  *p++ = static_cast<uint8_t>(journal_);
  *p++ = 0xFF;
  return p;
}

void TimeTableChangeRequest::parseData(const uint8_t* d, uint16_t, MeasuredValueList& values) {
  time_t t;
  if (!timeStamp6(d, &t)) return;  // never changed
  add(values, code_, System, std::to_string(t), st_->now());
}

// ---- sequences ----

void RequestSequence::setConnector(LowLevel connector) {
  BaseRequest::setConnector(connector);
  open_.setConnector(connector);
  for (auto& r : requests_) r->setConnector(connector);
}

void RequestSequence::setPeriod(int64_t from, int64_t till) {
  BaseRequest::setPeriod(from, till);
  for (auto& r : requests_) r->setPeriod(from, till);
}

void RequestSequence::add(std::shared_ptr<BaseRequest> request) {
  if (!request) return;
  if (made_) requests();  // made members come first: keep the order
  requests_.push_back(std::move(request));
}

const std::vector<std::shared_ptr<BaseRequest>>& RequestSequence::requests() {
  for (size_t i = 0; i < made_; ++i)
    if (auto r = make(i)) requests_.push_back(std::move(r));
  made_ = 0;
  make_ = nullptr;
  return requests_;
}

std::shared_ptr<BaseRequest> RequestSequence::make(size_t index) const {
  std::shared_ptr<BaseRequest> r = make_(index);
  if (!r) return r;
  if (ll_) r->setConnector(ll_);
  r->setPeriod(from_, till_);
  return r;
}

void RequestSequence::sendRequest(MeasuredValueList& values) {
  MeasuredValueList status;
  open_.sendRequest(status);
  const size_t kept = requests_.size();
  for (size_t n = 0; n < kept + made_; ++n) {
    const std::shared_ptr<BaseRequest> member = n < kept ? requests_[n] : make(n - kept);
    if (!member) continue;
    BaseRequest& request = *member;
    bool done = false;
    for (int attempt = 1; attempt <= 3 && !done; ++attempt) {
      try {
        if (attempt > 1) open_.sendRequest(status);
        // A failed attempt leaves nothing behind.
        MeasuredValueList got;
        request.sendRequest(got);
        values.splice(values.end(), got);
        done = true;
        LOG_DEBUG(
            "[%s][%s] RequestSequence::sendRequest(): for this sequence request number %d "
            "is done",
            id(), sn(), static_cast<int>(n));
      } catch (const CWrongPacketException&) {
        if (attempt < 3) st_->sleepMs(1000);
      }
    }
    if (done) continue;
    LOG_WARNING(
        "[%s][%s] RequestSequence::sendRequest() - FOR THIS SEQUENSE CAN'T DO REQUEST "
        "NUMBER %d",
        id(), sn(), static_cast<int>(n));
    if (date_time_required_) {
      LOG_ERR("[%s][%s] RequestSequence::sendRequest(): CAN'T READ CURRENT DATE TIME !!!", id(),
              sn());
      throw CNoDateTimeException();
    }
    if (request.serialRequired()) {
      LOG_ERR("[%s][%s] RequestSequence::sendRequest(): CAN'T READ SERIAL NUMBER !!!", id(), sn());
      throw SerialErrorException("No Data");
    }
    if (!all_optional_ && !request.optional()) {
      LOG_ERR(
          "[%s][%s] RequestSequence::sendRequest(): NOT OPTIONAL REQUEST. EXCEPTION WILL BE "
          "THROWN !!!",
          id(), sn());
      throw CDisconnectException();
    }
  }
}

}  // namespace CmtrMercury23XRequets
