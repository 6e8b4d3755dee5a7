// The Mercury 230 family (230, 231, 233, 234, 236, 238, 204, 208, vector-3) as
// the meters answer on the line: binary request/response frames of address,
// command, parameters and CRC-16/MODBUS (low byte first), one status byte for
// anything that is not data.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>

#include "base/crc.h"
#include "family.h"
#include "simtime.h"

namespace msim {

namespace {

enum Status : uint8_t {
  kOk = 0,
  kBadCommand = 1,  // unknown command or parameter
  kInternal = 2,
  kDenied = 3,   // wrong password
  kNotOpen = 5,  // no channel opened
};

struct ModelInfo {
  const char* name;
  int number;
  int firmware_major;  // what the meter reports as the first firmware number
};

const ModelInfo kModels[] = {
    {"mercury230", 230, 2},     {"mercury231at", 231, 3}, {"mercury233", 233, 7},
    {"mercury236", 236, 8},     {"mercury234", 234, 9},   {"mercury204", 204, 10},
    {"mercury231art", 231, 11}, {"mercury238", 238, 12},  {"mercury208", 208, 13},
    {"vector-3", 3, 2},
};

// Impulses per kWh by the low nibble of variant byte 1; other codes count single impulses.
int meterConstant(uint8_t variant1) {
  static const int table[] = {5000, 25000, 1250, 500, 1000, 250};
  int code = variant1 & 0x0F;
  return code < 6 ? table[code] : 1;
}

struct JournalEntry {
  time_t first = 0;
  time_t second = 0;  // 0: not yet (or a one-stamp journal)
};

struct Switch {
  int hour;
  int minute;
  int tariff;
};

constexpr int kDayTypes = 8;

void appendCrc(Bytes& b) {
  uint16_t crc = mtr::crc16_modbus(b.data(), b.size());
  b.push_back(static_cast<uint8_t>(crc & 0xFF));
  b.push_back(static_cast<uint8_t>(crc >> 8));
}

// Three-byte measured value: B0 carries bits 16..21 and the direction flags,
// then the low byte, then bits 8..15.
void put3(Bytes& b, double scaled, uint8_t dir_bits) {
  long long v = std::llround(std::fabs(scaled));
  if (v > 0x3FFFFF) v = 0x3FFFFF;
  b.push_back(static_cast<uint8_t>(((v >> 16) & 0x3F) | dir_bits));
  b.push_back(static_cast<uint8_t>(v & 0xFF));
  b.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
}

// Four-byte register: bits 16..23, 24..31, 0..7, 8..15. FF FF FF FF means
// "holds nothing", so a full register stops one below it.
void put4(Bytes& b, uint64_t v) {
  if (v >= 0xFFFFFFFFULL) v = 0xFFFFFFFEULL;
  b.push_back(static_cast<uint8_t>((v >> 16) & 0xFF));
  b.push_back(static_cast<uint8_t>((v >> 24) & 0xFF));
  b.push_back(static_cast<uint8_t>(v & 0xFF));
  b.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
}

// Six BCD bytes: second, minute, hour, day, month, year - 2000; zeros for "never".
void putStamp(Bytes& b, time_t t) {
  if (t == 0) {
    b.insert(b.end(), 6, 0);
    return;
  }
  std::tm tm = localTm(t);
  for (int v : {tm.tm_sec, tm.tm_min, tm.tm_hour, tm.tm_mday, tm.tm_mon + 1, tm.tm_year - 100})
    b.push_back(toBcd(v));
}

std::string hex2(unsigned v) {
  char buf[8];
  snprintf(buf, sizeof buf, "%02X", v & 0xFF);
  return buf;
}

class MercuryMeter {
 public:
  std::unique_ptr<MeterCore> core;
  uint8_t address = 0;
  std::array<uint8_t, 6> password{};
  std::array<uint8_t, 6> admin_password{};
  std::array<uint8_t, 4> serial{};
  int made_day = 1, made_month = 1, made_year = 2020;
  const ModelInfo* model = &kModels[0];
  std::array<uint8_t, 6> variant{};
  std::array<uint8_t, 3> firmware{};
  uint16_t ct_ratio = 1, vt_ratio = 1;
  std::array<uint8_t, 6> state{};
  std::array<uint8_t, 2> tsr{};
  int profile_period = 30;  // minutes
  long profile_depth = 0;   // records; 0: as many as the memory holds
  int ext_days = 124, ext_months = 12;
  std::map<int, std::vector<JournalEntry>> journals;  // oldest first
  std::set<std::pair<int, int>> holidays;             // (month, day)
  std::array<std::array<std::vector<Switch>, kDayTypes>, 12> schedule;
  double channel_timeout = 240;

  int level = 0;  // opened access level, 0 = closed
  double last_seen = 0;

  Bytes respond(const uint8_t* req, size_t n, std::string& note);

 private:
  Bytes registers(double t, int tariff, int scale) const;
  Bytes consumption(double t0, double t1, int tariff) const;
  Bytes openChannel(const uint8_t* p, std::string& note);
  Bytes journal(uint8_t jj, uint8_t which, std::string& note) const;
  Bytes energy(uint8_t code, uint8_t tariff, std::string& note) const;
  Bytes extArchive(const uint8_t* p, std::string& note) const;
  Bytes readParams(const uint8_t* p, size_t n, std::string& note) const;
  Bytes auxValue(uint8_t bwri, std::string& note) const;
  Bytes memoryRead(const uint8_t* p, std::string& note) const;
  Bytes memory2(uint32_t addr, size_t len) const;
  Bytes profileMemory(uint32_t addr, size_t len) const;
  Bytes profileRecord(long long interval) const;
  Bytes lastProfile(std::string& note) const;
  Bytes dateTime() const;
  Bytes holidayMask(int month) const;
  time_t monthSnapshot(time_t now, int month) const;

  bool profileUnits16() const { return model->number > 232 || model->number == 204; }
  uint32_t profileRingBytes() const { return profileUnits16() ? 0x20000 : 0x10000; }
  long long newestInterval() const;
  long long oldestInterval(long long newest) const;
};

Bytes status(uint8_t s) {
  return Bytes{s};
}

Bytes MercuryMeter::registers(double t, int tariff, int scale) const {
  if (!core->recorded(t)) return Bytes(16, 0xFF);
  Bytes b;
  for (int d = 0; d < kDirections; ++d)
    put4(b,
         core->energy.reading(static_cast<Direction>(d), tariff, t) * static_cast<uint64_t>(scale));
  return b;
}

Bytes MercuryMeter::consumption(double t0, double t1, int tariff) const {
  if (!core->recorded(t0)) return Bytes(16, 0xFF);
  Bytes b;
  for (int d = 0; d < kDirections; ++d) {
    uint64_t r0 = core->energy.reading(static_cast<Direction>(d), tariff, t0);
    uint64_t r1 = core->energy.reading(static_cast<Direction>(d), tariff, t1);
    put4(b, r1 > r0 ? r1 - r0 : 0);
  }
  return b;
}

Bytes MercuryMeter::openChannel(const uint8_t* p, std::string& note) {
  uint8_t lvl = p[0];
  const std::array<uint8_t, 6>* expected = lvl == 1   ? &password
                                           : lvl == 2 ? &admin_password
                                                      : nullptr;
  if (!expected) {
    level = 0;
    note = "open channel: no access level " + std::to_string(lvl);
    return status(kBadCommand);
  }
  if (!std::equal(expected->begin(), expected->end(), p + 1)) {
    level = 0;
    note = "open channel level " + std::to_string(lvl) + ": wrong password";
    return status(kDenied);
  }
  level = lvl;
  note = "open channel level " + std::to_string(lvl);
  return status(kOk);
}

Bytes MercuryMeter::dateTime() const {
  time_t t = core->meterSeconds();
  std::tm tm = localTm(t);
  int weekday = tm.tm_wday == 0 ? 7 : tm.tm_wday;  // Monday 1 .. Sunday 7
  Bytes b;
  for (int v : {tm.tm_sec, tm.tm_min, tm.tm_hour, weekday, tm.tm_mday, tm.tm_mon + 1,
                tm.tm_year - 100, tm.tm_isdst > 0 ? 0 : 1})
    b.push_back(toBcd(v));
  return b;
}

// Journals 7 and 8 (changes of the tariff schedule and of the holiday list)
// hold one stamp per record, the others two.
Bytes MercuryMeter::journal(uint8_t jj, uint8_t which, std::string& note) const {
  if (jj < 1 || jj > 0x17) {
    note = "journal " + hex2(jj) + ": no such journal";
    return status(kBadCommand);
  }
  size_t rec = (jj == 7 || jj == 8) ? 6 : 12;
  std::vector<JournalEntry> newest_first;
  auto it = journals.find(jj);
  time_t now = core->meterSeconds();
  if (it != journals.end()) {
    for (auto e = it->second.rbegin(); e != it->second.rend() && newest_first.size() < 10; ++e)
      if (e->first <= now) newest_first.push_back(*e);
  }
  auto put = [&](Bytes& b, size_t k) {
    JournalEntry e = k < newest_first.size() ? newest_first[k] : JournalEntry{};
    putStamp(b, e.first);
    if (rec == 12) putStamp(b, e.second <= now ? e.second : 0);
  };
  Bytes b;
  if (which == 0xFE) {
    note = "journal " + hex2(jj) + ": all 10 records";
    for (size_t k = 0; k < 10; ++k) put(b, k);
  } else if (which == 0xFF) {
    note = "journal " + hex2(jj) + ": newest record";
    put(b, 0);
    b.push_back(static_cast<uint8_t>(newest_first.empty() ? 0 : (newest_first.size() - 1) % 10));
  } else if (which < 10) {
    note = "journal " + hex2(jj) + ": record " + std::to_string(which);
    put(b, which);
  } else {
    note = "journal " + hex2(jj) + ": bad record number";
    return status(kBadCommand);
  }
  return b;
}

time_t MercuryMeter::monthSnapshot(time_t now, int month) const {
  std::tm tm = localTm(now);
  int year = tm.tm_year + 1900;
  return localTime(month <= tm.tm_mon + 1 ? year : year - 1, month, 1);
}

Bytes MercuryMeter::energy(uint8_t code, uint8_t tariff, std::string& note) const {
  int hi = code >> 4, m = code & 0x0F;
  note = "energy " + hex2(code) + " tariff " + std::to_string(tariff);
  if (tariff > 4) return status(kBadCommand);
  bool with_month = hi == 0x3 || hi == 0xB;
  if (with_month ? (m < 1 || m > 12) : m != 0) return status(kBadCommand);
  double now_d = core->meterNow();
  time_t now = static_cast<time_t>(std::floor(now_d));
  std::tm tm = localTm(now);
  int cur = tm.tm_mon + 1;
  switch (hi) {
    case 0x0:
      return registers(now_d, tariff, 1);
    case 0x1:
      return consumption(static_cast<double>(yearStart(now)), now_d, tariff);
    case 0x2:
      return consumption(static_cast<double>(yearStart(now, 1)),
                         static_cast<double>(yearStart(now)), tariff);
    case 0x3: {
      time_t from = monthSnapshot(now, m);
      if (m == cur) return consumption(static_cast<double>(from), now_d, tariff);
      std::tm f = localTm(from);
      time_t till = localTime(f.tm_year + 1900, m + 1, 1);
      return consumption(static_cast<double>(from), static_cast<double>(till), tariff);
    }
    case 0x4:
      return consumption(static_cast<double>(dayStart(now)), now_d, tariff);
    case 0x5:
      return consumption(static_cast<double>(dayStart(now, 1)), static_cast<double>(dayStart(now)),
                         tariff);
    case 0x9:
      return registers(static_cast<double>(yearStart(now)), tariff, 1);
    case 0xA:
      return registers(static_cast<double>(yearStart(now, 1)), tariff, 1);
    case 0xB:
      return registers(static_cast<double>(monthSnapshot(now, m)), tariff, 1);
    case 0xC:
      return registers(static_cast<double>(dayStart(now)), tariff, 1);
    case 0xD:
      return registers(static_cast<double>(dayStart(now, 1)), tariff, 1);
    default:
      return status(kBadCommand);
  }
}

// Registers at the start of a given day or month, from the extended archive.
Bytes MercuryMeter::extArchive(const uint8_t* p, std::string& note) const {
  int monthly = p[0], day = p[1], month = p[2], year = 2000 + p[3], tariff = p[4];
  char buf[64];
  snprintf(buf, sizeof buf, "%s archive %02d.%02d.%04d tariff %d", monthly ? "monthly" : "daily",
           day, month, year, tariff);
  note = buf;
  if (!(variant[5] & 0x40)) {
    note += ": no extended archive";
    return status(kBadCommand);
  }
  if (monthly > 1 || tariff > 4) return status(kBadCommand);
  time_t now = core->meterSeconds();
  time_t t;
  bool too_old;
  if (monthly) {
    if (month < 1 || month > 12) return status(kBadCommand);
    t = localTime(year, month, 1);
    if (t > monthStart(now)) {
      note += ": not yet";
      return status(kBadCommand);
    }
    too_old = t < monthStart(now, ext_months - 1);
  } else {
    if (!validDate(year, month, day)) return status(kBadCommand);
    t = localTime(year, month, day);
    if (t > dayStart(now)) {
      note += ": not yet";
      return status(kBadCommand);
    }
    too_old = t < dayStart(now, ext_days - 1);
  }
  if (too_old) return Bytes(16, 0xFF);
  return registers(static_cast<double>(t), tariff, 1);
}

Bytes MercuryMeter::auxValue(uint8_t bwri, std::string& note) const {
  int kind = bwri >> 4, phase = bwri & 0x03, sub = (bwri >> 2) & 0x03;
  static const char* const kKinds[] = {"power", "voltage", "current", "power factor", "frequency"};
  note = std::string(kind < 5 ? kKinds[kind] : "aux") + " " + hex2(bwri);
  Bytes b;
  auto dir = [&](int ph) {
    return static_cast<uint8_t>((core->activeW(ph) < 0 ? 0x80 : 0) |
                                (core->reactiveVar(ph) < 0 ? 0x40 : 0));
  };
  switch (kind) {
    case 0: {
      double p = core->activeW(phase), q = core->reactiveVar(phase);
      double v = sub == 0 ? p : sub == 1 ? q : sub == 2 ? std::sqrt(p * p + q * q) : -1;
      if (v == -1) return status(kBadCommand);
      put3(b, v * 100.0, dir(phase));
      return b;
    }
    case 1:
    case 2:
      if (phase == 0 || sub != 0) return status(kBadCommand);
      if (kind == 1)
        put3(b, core->voltage[phase - 1] * 100.0, 0);
      else
        put3(b, core->current[phase - 1] * 1000.0, 0);
      return b;
    case 3:
      if (sub != 0) return status(kBadCommand);
      put3(b, core->power_factor[phase] * 1000.0, dir(phase));
      return b;
    case 4:
      if (phase != 0 || sub != 0) return status(kBadCommand);
      put3(b, core->frequency * 100.0, 0);
      return b;
    default:
      return status(kBadCommand);
  }
}

long long MercuryMeter::newestInterval() const {
  double len = profile_period * 60.0;
  return static_cast<long long>(std::floor(core->meterNow() / len)) - 1;
}

long long MercuryMeter::oldestInterval(long long newest) const {
  long long len = profile_period * 60LL;
  long long slots = profileRingBytes() / 16;
  long long depth = profile_depth > 0 ? std::min<long long>(profile_depth, slots) : slots;
  long long first_installed = (static_cast<long long>(core->installed) + len - 1) / len;
  return std::max(newest - depth + 1, first_installed);
}

// A profile record: state, hour, minute, day, month, year of the interval's
// start (BCD), period, then A+, A-, R+, R- impulse counts (little-endian), the
// energy of the interval times twice the meter constant.
Bytes MercuryMeter::profileRecord(long long interval) const {
  long long len = profile_period * 60LL;
  double t0 = static_cast<double>(interval * len), t1 = t0 + static_cast<double>(len);
  std::tm tm = localTm(static_cast<time_t>(t0));
  Bytes r{0};
  for (int v : {tm.tm_hour, tm.tm_min, tm.tm_mday, tm.tm_mon + 1, tm.tm_year - 100})
    r.push_back(toBcd(v));
  r.push_back(static_cast<uint8_t>(profile_period));
  int c = meterConstant(variant[1]);
  for (int d = 0; d < kDirections; ++d) {
    double wh = 0;
    for (int t = 1; t <= kTariffs; ++t)
      wh += core->energy.wh(static_cast<Direction>(d), t, t1) -
            core->energy.wh(static_cast<Direction>(d), t, t0);
    long long n = std::llround(wh * 2.0 * c / 1000.0);
    n = std::max(0LL, std::min(n, 0xFFFELL));
    r.push_back(static_cast<uint8_t>(n & 0xFF));
    r.push_back(static_cast<uint8_t>(n >> 8));
  }
  return r;
}

// Memory 3 holds the profile as a ring of 16-byte slots, one record each; a
// read returns the records of consecutive slots packed as 15 bytes.
Bytes MercuryMeter::profileMemory(uint32_t addr, size_t len) const {
  long long slots = profileRingBytes() / 16;
  long long first_slot = (addr % profileRingBytes()) / 16;
  long long newest = newestInterval();
  long long oldest = oldestInterval(newest);
  long long newest_slot = ((newest % slots) + slots) % slots;
  Bytes out;
  for (long long k = 0; out.size() < len; ++k) {
    long long slot = (first_slot + k) % slots;
    long long interval = newest - ((newest_slot - slot + slots) % slots);
    Bytes rec = interval >= oldest ? profileRecord(interval) : Bytes(15, 0xFF);
    out.insert(out.end(), rec.begin(), rec.end());
  }
  out.resize(len);
  return out;
}

Bytes MercuryMeter::lastProfile(std::string& note) const {
  long long newest = newestInterval();
  long long oldest = oldestInterval(newest);
  Bytes b;
  if (newest < oldest) {
    note = "last profile record: none";
    b.assign(8, 0);
    b.push_back(static_cast<uint8_t>(profile_period));
    return b;
  }
  long long slots = profileRingBytes() / 16;
  uint32_t addr = static_cast<uint32_t>(((newest % slots) + slots) % slots) * 16;
  uint32_t shown = profileUnits16() ? addr / 16 : addr;
  b.push_back(static_cast<uint8_t>(shown >> 8));
  b.push_back(static_cast<uint8_t>(shown & 0xFF));
  b.push_back(0);  // state
  std::tm tm = localTm(static_cast<time_t>(newest * profile_period * 60LL));
  for (int v : {tm.tm_hour, tm.tm_min, tm.tm_mday, tm.tm_mon + 1, tm.tm_year - 100})
    b.push_back(toBcd(v));
  b.push_back(static_cast<uint8_t>(profile_period));
  note = "last profile record at " + hex2(addr >> 8) + hex2(addr);
  return b;
}

Bytes MercuryMeter::holidayMask(int month) const {
  Bytes b(4, 0);
  for (const auto& h : holidays)
    if (h.first == month) b[(h.second - 1) / 8] |= static_cast<uint8_t>(1 << ((h.second - 1) % 8));
  return b;
}

// Memory 2: the energy snapshots as the vector-3 keeps them (half-Wh, 17 bytes
// per tariff), the tariff schedule and the holiday list.
Bytes MercuryMeter::memory2(uint32_t addr, size_t len) const {
  std::vector<uint8_t> img(0x10000, 0xFF);
  auto put = [&](uint32_t at, const Bytes& b) {
    for (size_t i = 0; i < b.size() && at + i < img.size(); ++i) img[at + i] = b[i];
  };
  time_t now = core->meterSeconds();
  for (int t = 0; t <= 4; ++t) {
    uint32_t off = 17 * static_cast<uint32_t>(t);
    put(0x200 + off, registers(static_cast<double>(yearStart(now)), t, 2));
    put(0x255 + off, registers(static_cast<double>(yearStart(now, 1)), t, 2));
    for (int m = 1; m <= 12; ++m)
      put(0x2AA + 85 * static_cast<uint32_t>(m - 1) + off,
          registers(static_cast<double>(monthSnapshot(now, m)), t, 2));
    put(0x6A6 + off, registers(static_cast<double>(dayStart(now)), t, 2));
    put(0x6FB + off, registers(static_cast<double>(dayStart(now, 1)), t, 2));
  }
  for (int m = 1; m <= 12; ++m) {
    for (int dt = 1; dt <= kDayTypes; ++dt) {
      const auto& sw = schedule[m - 1][dt - 1];
      for (int part = 1; part <= 2; ++part) {
        Bytes b;
        for (size_t e = 8 * (part - 1); e < 8 * static_cast<size_t>(part); ++e) {
          if (e < sw.size()) {
            b.push_back(static_cast<uint8_t>(sw[e].minute));
            b.push_back(static_cast<uint8_t>(sw[e].tariff << 5 | sw[e].hour));
          } else {
            b.push_back(0xFF);
            b.push_back(0xFF);
          }
        }
        put(0xFEF + 272 * static_cast<uint32_t>(m - 1) + 34 * static_cast<uint32_t>(dt - 1) +
                17 * static_cast<uint32_t>(part),
            b);
      }
    }
    put(0x1D00 + 5 * static_cast<uint32_t>(m - 1), holidayMask(m));
  }
  Bytes out(len, 0xFF);
  for (size_t i = 0; i < len && addr + i < img.size(); ++i) out[i] = img[addr + i];
  return out;
}

Bytes MercuryMeter::memoryRead(const uint8_t* p, std::string& note) const {
  int mem = p[0] & 0x0F;
  uint32_t addr = static_cast<uint32_t>((p[0] >> 7) & 1) << 16 | p[1] << 8 | p[2];
  size_t len = p[3];
  note = "memory " + std::to_string(mem) + " at " + hex2(addr >> 16) + hex2(addr >> 8) +
         hex2(addr) + ", " + std::to_string(len) + " bytes";
  if (len == 0) return status(kBadCommand);
  if (mem == 2) return memory2(addr, len);
  if (mem == 3) return profileMemory(addr, len);
  return status(kBadCommand);
}

Bytes MercuryMeter::readParams(const uint8_t* p, size_t n, std::string& note) const {
  uint8_t param = p[0];
  note = "parameter " + hex2(param);
  Bytes b;
  if (n == 1) {
    switch (param) {
      case 0x00:
        note = "serial and manufacture date";
        b.assign(serial.begin(), serial.end());
        b.push_back(static_cast<uint8_t>(made_day));
        b.push_back(static_cast<uint8_t>(made_month));
        b.push_back(static_cast<uint8_t>(made_year - 2000));
        return b;
      case 0x02:
        note = "transformer ratios";
        return Bytes{static_cast<uint8_t>(ct_ratio >> 8), static_cast<uint8_t>(ct_ratio),
                     static_cast<uint8_t>(vt_ratio >> 8), static_cast<uint8_t>(vt_ratio)};
      case 0x03:
        note = "firmware";
        for (uint8_t f : firmware) b.push_back(toBcd(f));
        return b;
      case 0x0A:
        note = "state word";
        return Bytes(state.begin(), state.end());
      case 0x12:
        note = "variant";
        return Bytes(variant.begin(), variant.end());
      case 0x13:
        return lastProfile(note);
      case 0x21:
        note = "tsr";
        return Bytes(tsr.begin(), tsr.end());
      default:
        return status(kBadCommand);
    }
  }
  if (n == 2) {
    switch (param) {
      case 0x01:
        if (p[1] != 0) return status(kBadCommand);
        note = "individual parameters";
        b.assign(serial.begin(), serial.end());
        b.push_back(static_cast<uint8_t>(made_day));
        b.push_back(static_cast<uint8_t>(made_month));
        b.push_back(static_cast<uint8_t>(made_year - 2000));
        for (uint8_t f : firmware) b.push_back(toBcd(f));
        b.insert(b.end(), variant.begin(), variant.end());
        b.resize(24, 0);
        return b;
      case 0x11:
        return auxValue(p[1], note);
      case 0x14:
        if (p[1] != 0xE0) return status(kBadCommand);
        note = "date and time";
        return dateTime();
      case 0x23:
        if (p[1] < 1 || p[1] > 12) return status(kBadCommand);
        note = "holidays of month " + std::to_string(p[1]);
        return holidayMask(p[1]);
      default:
        return status(kBadCommand);
    }
  }
  return status(kBadCommand);
}

Bytes MercuryMeter::respond(const uint8_t* req, size_t n, std::string& note) {
  uint8_t cmd = req[0];
  double now = core->meterNow();
  if (level > 0 && now - last_seen > channel_timeout) level = 0;
  last_seen = now;
  const uint8_t* p = req + 1;
  size_t np = n - 1;
  switch (cmd) {
    case 0x00:
      note = "test channel";
      return np == 0 ? status(kOk) : status(kBadCommand);
    case 0x01:
      if (np != 7) {
        note = "open channel: bad length";
        return status(kBadCommand);
      }
      return openChannel(p, note);
    case 0x02:
      note = "close channel";
      level = 0;
      return status(kOk);
    default:
      break;
  }
  if (level == 0) {
    note = "command " + hex2(cmd) + ": channel not open";
    return status(kNotOpen);
  }
  switch (cmd) {
    case 0x04:
      if (np == 1 && p[0] == 0x00) {
        note = "date and time";
        return dateTime();
      }
      if (np == 2) return journal(p[0], p[1], note);
      break;
    case 0x05:
      if (np == 2) return energy(p[0], p[1], note);
      break;
    case 0x06:
      if (np == 4) return memoryRead(p, note);
      break;
    case 0x08:
      if (np >= 1 && np <= 2) return readParams(p, np, note);
      break;
    case 0x18:
      if (np == 5) return extArchive(p, note);
      break;
    default:
      break;
  }
  if (note.empty()) note = "command " + hex2(cmd) + ": not supported";
  return status(kBadCommand);
}

// ---------------------------------------------------------------------------

std::array<uint8_t, 6> passwordBytes(const JsonFields& f, const char* key, const std::string& def,
                                     bool ascii) {
  std::string pw = f.text(key, def);
  if (pw.size() > 6) f.fail(key, "at most 6 characters");
  std::array<uint8_t, 6> out{};
  for (size_t i = 0; i < pw.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(pw[i]);
    if (ascii) {
      out[i] = c;
    } else {
      if (c < '0' || c > '9')
        f.fail(key, "digit mode takes digits only (or set \"password_mode\": \"ascii\")");
      out[i] = static_cast<uint8_t>(c - '0');
    }
  }
  return out;
}

time_t journalTime(const JsonFields& f, const Json::Value& v, const std::string& what) {
  return f.timeValue(v, what);
}

class Mercury230Family : public Family {
 public:
  std::vector<std::string> keys() const override {
    return {"address",      "password", "password_mode", "admin_password", "serial",
            "manufactured", "model",    "variant",       "firmware",       "ct_ratio",
            "vt_ratio",     "state",    "tsr",           "profile",        "ext_archive",
            "journals",     "holidays", "schedule",      "channel_timeout"};
  }

  void addMeter(const JsonFields& f, std::unique_ptr<MeterCore> core) override;

  bool answer(const Bytes& frame, LineState& line, Answer& out) override {
    (void)line;
    if (frame.size() < 4) {
      out.note = "short frame";
      return false;
    }
    uint16_t crc = mtr::crc16_modbus(frame.data(), frame.size() - 2);
    if (frame[frame.size() - 2] != (crc & 0xFF) || frame[frame.size() - 1] != (crc >> 8)) {
      out.note = "bad CRC: ignored";
      return false;
    }
    uint8_t addr = frame[0];
    MercuryMeter* m = nullptr;
    for (auto& mm : meters_)
      if (mm->address == addr) m = mm.get();
    // Address 0 reaches any meter; only a lone meter can answer it sensibly.
    if (!m && addr == 0 && meters_.size() == 1) m = meters_[0].get();
    if (!m) {
      out.note = "address " + std::to_string(addr) + ": no such meter";
      return false;
    }
    Bytes body = m->respond(frame.data() + 1, frame.size() - 3, out.note);
    out.bytes.clear();
    out.bytes.push_back(addr);
    out.bytes.insert(out.bytes.end(), body.begin(), body.end());
    appendCrc(out.bytes);
    out.meter_id = std::to_string(m->address);
    out.meter_name = m->core->name;
    return true;
  }

  Bytes errorStatus(const Answer& normal) override {
    Bytes b{normal.bytes.empty() ? uint8_t(0) : normal.bytes[0], kInternal};
    appendCrc(b);
    return b;
  }

  Bytes wrongAddress(const Answer& normal) override {
    Bytes b(normal.bytes.begin(), normal.bytes.end() - 2);
    b[0] = static_cast<uint8_t>(b[0] % 255 + 1);
    appendCrc(b);
    return b;
  }

 private:
  std::vector<std::unique_ptr<MercuryMeter>> meters_;
};

void Mercury230Family::addMeter(const JsonFields& f, std::unique_ptr<MeterCore> core) {
  auto m = std::make_unique<MercuryMeter>();
  m->address = static_cast<uint8_t>(f.integer("address", 1, 1, 255));
  if (!f.has("address")) f.fail("address", "required (1..255)");
  for (const auto& other : meters_)
    if (other->address == m->address) f.fail("address", "another meter on the line has it");

  std::string mode = f.text("password_mode", "digit");
  if (mode != "digit" && mode != "ascii") f.fail("password_mode", "\"digit\" or \"ascii\"");
  bool ascii = mode == "ascii";
  m->password = passwordBytes(f, "password", "111111", ascii);
  m->admin_password = passwordBytes(f, "admin_password", "222222", ascii);

  std::string serial = f.text("serial", "00000001");
  if (serial.size() != 8 || serial.find_first_not_of("0123456789") != std::string::npos)
    f.fail("serial", "expected 8 digits");
  for (int i = 0; i < 4; ++i)
    m->serial[i] = static_cast<uint8_t>((serial[2 * i] - '0') * 10 + serial[2 * i + 1] - '0');

  time_t made = f.time("manufactured", localTime(2020, 1, 15));
  std::tm tm = localTm(made);
  m->made_day = tm.tm_mday;
  m->made_month = tm.tm_mon + 1;
  m->made_year = tm.tm_year + 1900;
  if (m->made_year < 2000 || m->made_year > 2099) f.fail("manufactured", "year 2000..2099");
  if (!core->installed_given) core->installed = dayStart(made);

  std::string model = f.text("model", "mercury230");
  m->model = nullptr;
  for (const auto& mi : kModels)
    if (model == mi.name) m->model = &mi;
  if (!m->model) {
    std::string known;
    for (const auto& mi : kModels) known += (known.empty() ? "" : ", ") + std::string(mi.name);
    f.fail("model", "unknown \"" + model + "\" (" + known + ")");
  }

  const Json::Value* ext = f.has("ext_archive") ? &f.raw("ext_archive") : nullptr;
  if (ext) {
    JsonFields e(*ext, f.where() + ": ext_archive", f.base());
    e.allowOnly({"days", "months"});
    m->ext_days = static_cast<int>(e.integer("days", 124, 1, 10000));
    m->ext_months = static_cast<int>(e.integer("months", 12, 1, 1200));
  }
  auto variant = f.bytes("variant", 6,
                         {0x00, 0x03, 0x40, 0x00, 0x00, static_cast<uint8_t>(ext ? 0x40 : 0x00)});
  std::copy(variant.begin(), variant.end(), m->variant.begin());

  std::vector<double> fw = f.numbers("firmware", 3, {double(m->model->firmware_major), 4, 1});
  for (int i = 0; i < 3; ++i) {
    if (fw[i] < 0 || fw[i] > 99 || fw[i] != std::floor(fw[i]))
      f.fail("firmware", "three numbers 0..99");
    m->firmware[i] = static_cast<uint8_t>(fw[i]);
  }
  m->ct_ratio = static_cast<uint16_t>(f.integer("ct_ratio", 1, 1, 65535));
  m->vt_ratio = static_cast<uint16_t>(f.integer("vt_ratio", 1, 1, 65535));
  auto st = f.bytes("state", 6, Bytes(6, 0));
  std::copy(st.begin(), st.end(), m->state.begin());

  if (f.has("profile")) {
    JsonFields pf(f.raw("profile"), f.where() + ": profile", f.base());
    pf.allowOnly({"period", "depth"});
    m->profile_period = static_cast<int>(pf.integer("period", 30, 1, 60));
    if (60 % m->profile_period != 0) pf.fail("period", "must divide 60 minutes");
    m->profile_depth = pf.integer("depth", 0, 0, 1 << 20);
  }
  auto tsr = f.bytes("tsr", 2, {static_cast<uint8_t>(m->profile_period), 0});
  std::copy(tsr.begin(), tsr.end(), m->tsr.begin());

  if (f.has("journals")) {
    const Json::Value& js = f.raw("journals");
    if (!js.isObject()) f.fail("journals", "expected {\"1\": [entries], ...}");
    for (const auto& key : js.getMemberNames()) {
      char* end = nullptr;
      long jj = strtol(key.c_str(), &end, 0);
      if (key.empty() || *end || jj < 1 || jj > 0x17)
        f.fail("journals", "bad journal number \"" + key + "\" (1..23 or 0x01..0x17)");
      const Json::Value& list = js[key];
      if (!list.isArray()) f.fail("journals", "journal " + key + ": expected an array");
      auto& entries = m->journals[static_cast<int>(jj)];
      for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        std::string what = "journals." + key + "[" + std::to_string(i) + "]";
        JournalEntry e;
        if (list[i].isObject()) {
          JsonFields ef(list[i], f.where() + ": " + what, f.base());
          ef.allowOnly({"first", "second"});
          if (!ef.has("first")) f.fail(what, "needs \"first\"");
          e.first = journalTime(f, list[i]["first"], what + ".first");
          if (ef.has("second")) e.second = journalTime(f, list[i]["second"], what + ".second");
        } else {
          e.first = journalTime(f, list[i], what);
        }
        entries.push_back(e);
      }
      std::stable_sort(
          entries.begin(), entries.end(),
          [](const JournalEntry& a, const JournalEntry& b) { return a.first < b.first; });
    }
  }

  if (f.has("holidays")) {
    const Json::Value& hs = f.raw("holidays");
    if (!hs.isArray()) f.fail("holidays", "expected [\"MM-DD\", ...]");
    for (const auto& h : hs) {
      int mo = 0, d = 0, used = 0;
      std::string s = h.isString() ? h.asString() : "";
      if (sscanf(s.c_str(), "%2d-%2d%n", &mo, &d, &used) != 2 || s[used] != 0 ||
          !validDate(2024, mo, d))  // a leap year lets 02-29 through
        f.fail("holidays", "bad day \"" + s + "\" (MM-DD)");
      m->holidays.insert({mo, d});
    }
  }

  if (f.has("schedule")) {
    const Json::Value& rules = f.raw("schedule");
    if (!rules.isArray()) f.fail("schedule", "expected an array of {months, day_types, switches}");
    for (Json::ArrayIndex i = 0; i < rules.size(); ++i) {
      std::string what = "schedule[" + std::to_string(i) + "]";
      JsonFields rf(rules[i], f.where() + ": " + what, f.base());
      rf.allowOnly({"months", "day_types", "switches"});
      auto intList = [&](const char* key, int lo, int hi) {
        std::vector<int> out;
        if (!rf.has(key)) {
          for (int v = lo; v <= hi; ++v) out.push_back(v);
          return out;
        }
        const Json::Value& a = rf.raw(key);
        if (!a.isArray()) rf.fail(key, "expected an array");
        for (const auto& v : a) {
          if (!v.isIntegral() || v.asInt() < lo || v.asInt() > hi)
            rf.fail(key, "numbers " + std::to_string(lo) + ".." + std::to_string(hi));
          out.push_back(v.asInt());
        }
        return out;
      };
      auto months = intList("months", 1, 12);
      auto day_types = intList("day_types", 1, kDayTypes);
      const Json::Value& sw = rf.raw("switches");
      if (!sw.isArray() || sw.size() > 16)
        rf.fail("switches", "expected up to 16 [\"hh:mm\", tariff] pairs");
      std::vector<Switch> list;
      for (const auto& e : sw) {
        int hh = 0, mm = 0, used = 0;
        std::string s = e.isArray() && e.size() == 2 && e[0].isString() ? e[0].asString() : "";
        if (sscanf(s.c_str(), "%2d:%2d%n", &hh, &mm, &used) != 2 || s[used] != 0 || hh > 23 ||
            mm > 59 || !e[1].isIntegral() || e[1].asInt() < 0 || e[1].asInt() > 7)
          rf.fail("switches", "expected [\"hh:mm\", tariff 0..7] pairs");
        list.push_back({hh, mm, e[1].asInt()});
      }
      for (int mo : months)
        for (int dt : day_types) m->schedule[mo - 1][dt - 1] = list;
    }
  }
  m->channel_timeout = f.number("channel_timeout", 240, 0.1, 86400);
  m->core = std::move(core);
  meters_.push_back(std::move(m));
}

const bool registered =
    registerFamily("mercury230", [] { return std::unique_ptr<Family>(new Mercury230Family); });

}  // namespace

}  // namespace msim
