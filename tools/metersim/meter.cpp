#include "meter.h"

#include <cmath>

#include "simtime.h"

namespace msim {

void EnergyTimeline::addPoint(time_t at, const Registers& regs) {
  points_.push_back({at, regs});
}

void EnergyTimeline::setGrowth(int tariff, const std::array<double, kDirections>& rate_w) {
  tariff_ = tariff;
  rate_w_ = rate_w;
}

double EnergyTimeline::wh(Direction d, int tariff, double t) const {
  if (tariff < 1 || tariff > kTariffs || points_.empty()) return 0;
  int ti = tariff - 1;
  double rate = tariff == tariff_ ? rate_w_[d] / 3600.0 : 0.0;  // Wh per second
  const Point& last = points_.back();
  if (t >= static_cast<double>(last.at))
    return last.regs[d][ti] + rate * (t - static_cast<double>(last.at));
  const Point& first = points_.front();
  if (t <= static_cast<double>(first.at))
    return std::max(0.0, first.regs[d][ti] - rate * (static_cast<double>(first.at) - t));
  for (size_t i = 1; i < points_.size(); ++i) {
    const Point& a = points_[i - 1];
    const Point& b = points_[i];
    if (t <= static_cast<double>(b.at)) {
      double span = static_cast<double>(b.at - a.at);
      double f = span > 0 ? (t - static_cast<double>(a.at)) / span : 1.0;
      return a.regs[d][ti] + f * (b.regs[d][ti] - a.regs[d][ti]);
    }
  }
  return last.regs[d][ti];
}

uint64_t EnergyTimeline::reading(Direction d, int tariff, double t) const {
  if (tariff != 0) return static_cast<uint64_t>(std::floor(wh(d, tariff, t) + 1e-6));
  uint64_t sum = 0;
  for (int i = 1; i <= kTariffs; ++i) sum += reading(d, i, t);
  return sum;
}

double MeterCore::meterNow() const {
  return wallNow() + static_cast<double>(clock_offset + meterClockShift());
}

time_t MeterCore::meterSeconds() const {
  return static_cast<time_t>(std::floor(meterNow()));
}

double MeterCore::activeW(int phase) const {
  return phase == 0 ? power[0] + power[1] + power[2] : power[phase - 1];
}

double MeterCore::reactiveVar(int phase) const {
  return phase == 0 ? reactive[0] + reactive[1] + reactive[2] : reactive[phase - 1];
}

const std::vector<std::string>& MeterCore::keys() {
  static const std::vector<std::string> k = {
      "protocol",     "name",      "clock_offset", "voltage",   "current", "power",  "reactive",
      "power_factor", "frequency", "energy",       "energy_at", "history", "tariff", "installed"};
  return k;
}

namespace {

const char* const kDirNames[kDirections] = {"A+", "A-", "R+", "R-"};

// {"A+": [t1, t2, t3, t4] or one number for tariff 1, ...} in kWh.
Registers readRegisters(const JsonFields& f, const Json::Value& obj, const std::string& key) {
  if (!obj.isObject()) f.fail(key, "expected an object with \"A+\", \"A-\", \"R+\", \"R-\"");
  Registers regs{};
  for (const auto& name : obj.getMemberNames()) {
    int d = -1;
    for (int i = 0; i < kDirections; ++i)
      if (name == kDirNames[i]) d = i;
    if (d < 0) f.fail(key, "unknown direction \"" + name + "\" (A+, A-, R+, R-)");
    const Json::Value& v = obj[name];
    std::string what = "\"" + name + "\" expects kWh: a number (tariff 1) or 4 numbers";
    if (v.isNumeric()) {
      regs[d][0] = v.asDouble() * 1000.0;
    } else if (v.isArray() && v.size() == kTariffs) {
      for (int t = 0; t < kTariffs; ++t) {
        if (!v[t].isNumeric()) f.fail(key, what);
        regs[d][t] = v[t].asDouble() * 1000.0;
      }
    } else {
      f.fail(key, what);
    }
    for (double e : regs[d])
      if (e < 0) f.fail(key, "energy cannot be negative");
  }
  return regs;
}

}  // namespace

std::unique_ptr<MeterCore> MeterCore::fromJson(const JsonFields& f) {
  auto m = std::make_unique<MeterCore>();
  m->name = f.text("name", "");
  m->clock_offset = f.integer("clock_offset", 0, -50L * 365 * 86400, 50L * 365 * 86400);
  m->start = static_cast<time_t>(std::floor(wallNow())) + m->clock_offset;
  auto v = f.numbers("voltage", 3, {230.0, 230.0, 230.0});
  auto i = f.numbers("current", 3, {0, 0, 0});
  auto p = f.numbers("power", 3, {0, 0, 0});
  auto q = f.numbers("reactive", 3, {0, 0, 0});
  for (int k = 0; k < 3; ++k) {
    if (v[k] < 0 || i[k] < 0) f.fail(v[k] < 0 ? "voltage" : "current", "cannot be negative");
    m->voltage[k] = v[k];
    m->current[k] = i[k];
    m->power[k] = p[k];
    m->reactive[k] = q[k];
  }
  // Power factor defaults to P / S of each phase and of the sum.
  for (int ph = 0; ph <= 3; ++ph) {
    double pw = m->activeW(ph), qv = m->reactiveVar(ph);
    double s = std::sqrt(pw * pw + qv * qv);
    m->power_factor[ph] = s > 0 ? std::fabs(pw) / s : 1.0;
  }
  if (f.has("power_factor")) {
    const Json::Value& pf = f.raw("power_factor");
    std::vector<double> vals;
    if (pf.isArray() && (pf.size() == 3 || pf.size() == 4)) {
      for (const auto& e : pf) {
        if (!e.isNumeric() || e.asDouble() < 0 || e.asDouble() > 1)
          f.fail("power_factor", "expected numbers 0..1");
        vals.push_back(e.asDouble());
      }
    } else {
      f.fail("power_factor", "expected [a, b, c] or [sum, a, b, c]");
    }
    if (vals.size() == 4) {
      for (int k = 0; k < 4; ++k) m->power_factor[k] = vals[k];
    } else {
      for (int k = 0; k < 3; ++k) m->power_factor[k + 1] = vals[k];
      m->power_factor[0] = (vals[0] + vals[1] + vals[2]) / 3.0;
    }
  }
  m->frequency = f.number("frequency", 50.0, 0, 1000);
  m->tariff = static_cast<int>(f.integer("tariff", 1, 1, kTariffs));

  time_t energy_at = f.time("energy_at", m->start);
  time_t prev = 0;
  bool have_prev = false;
  Registers prev_regs{};
  auto add = [&](time_t at, const Registers& regs, const std::string& what) {
    if (have_prev) {
      if (at <= prev)
        f.fail(what, "history points must be in ascending time, before \"energy_at\"");
      for (int d = 0; d < kDirections; ++d)
        for (int t = 0; t < kTariffs; ++t)
          if (regs[d][t] + 1e-9 < prev_regs[d][t]) f.fail(what, "registers cannot decrease");
    }
    m->energy.addPoint(at, regs);
    prev = at;
    prev_regs = regs;
    have_prev = true;
  };
  if (f.has("history")) {
    const Json::Value& h = f.raw("history");
    if (!h.isArray()) f.fail("history", "expected an array of {\"at\": time, \"A+\": [...], ...}");
    for (Json::ArrayIndex n = 0; n < h.size(); ++n) {
      std::string what = "history[" + std::to_string(n) + "]";
      if (!h[n].isObject() || !h[n].isMember("at")) f.fail(what, "expected {\"at\": time, ...}");
      Json::Value regs_obj = h[n];
      time_t at = f.timeValue(regs_obj["at"], what + ".at");
      regs_obj.removeMember("at");
      add(at, readRegisters(f, regs_obj, what), what);
    }
  }
  Registers now_regs{};
  if (f.has("energy")) now_regs = readRegisters(f, f.raw("energy"), "energy");
  add(energy_at, now_regs, "energy");

  double pa = m->activeW(0), qr = m->reactiveVar(0);
  m->energy.setGrowth(
      m->tariff, {std::max(0.0, pa), std::max(0.0, -pa), std::max(0.0, qr), std::max(0.0, -qr)});
  m->installed_given = f.has("installed");
  m->installed = f.time("installed", 0);
  return m;
}

}  // namespace msim
