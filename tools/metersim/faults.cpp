#include "faults.h"

#include <cstdlib>

namespace msim {

namespace {
struct KindName {
  const char* name;
  Fault kind;
};
const KindName kKinds[] = {
    {"silence", Fault::kSilence},
    {"none-reply", Fault::kSilence},
    {"noreply", Fault::kSilence},
    {"truncate", Fault::kTruncate},
    {"truncated", Fault::kTruncate},
    {"badcrc", Fault::kBadCrc},
    {"bad-crc", Fault::kBadCrc},
    {"wrongaddr", Fault::kWrongAddress},
    {"wrong-address", Fault::kWrongAddress},
    {"error", Fault::kErrorStatus},
    {"error-status", Fault::kErrorStatus},
    {"delay", Fault::kDelay},
};
}  // namespace

const char* faultName(Fault f) {
  switch (f) {
    case Fault::kNone:
      return "none";
    case Fault::kSilence:
      return "silence";
    case Fault::kTruncate:
      return "truncate";
    case Fault::kBadCrc:
      return "badcrc";
    case Fault::kWrongAddress:
      return "wrongaddr";
    case Fault::kErrorStatus:
      return "error";
    case Fault::kDelay:
      return "delay";
  }
  return "?";
}

bool parseFault(const std::string& spec, FaultRule& out, std::string& err) {
  size_t c1 = spec.find(':');
  if (c1 == std::string::npos) {
    err = "fault \"" + spec + "\": expected KIND:RATE[:METER]";
    return false;
  }
  std::string kind = spec.substr(0, c1);
  size_t c2 = spec.find(':', c1 + 1);
  std::string rate = spec.substr(c1 + 1, c2 == std::string::npos ? std::string::npos : c2 - c1 - 1);
  out = FaultRule{};
  for (const auto& k : kKinds)
    if (kind == k.name) out.kind = k.kind;
  if (out.kind == Fault::kNone) {
    err =
        "fault \"" + spec + "\": unknown kind (silence, truncate, badcrc, wrongaddr, error, delay)";
    return false;
  }
  char* end = nullptr;
  out.rate = strtod(rate.c_str(), &end);
  if (rate.empty() || *end != 0 || !(out.rate >= 0 && out.rate <= 1)) {
    err = "fault \"" + spec + "\": RATE must be a probability 0..1";
    return false;
  }
  if (c2 != std::string::npos) {
    out.meter = spec.substr(c2 + 1);
    if (out.meter.empty()) {
      err = "fault \"" + spec + "\": empty METER";
      return false;
    }
  }
  return true;
}

FaultInjector::FaultInjector(std::vector<FaultRule> rules, uint64_t seed)
    : rules_(std::move(rules)), state_(seed) {}

// splitmix64: small, and the same sequence on every platform.
uint64_t FaultInjector::next() {
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

double FaultInjector::unit() {
  return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0);
}

uint64_t FaultInjector::between(uint64_t lo, uint64_t hi) {
  if (hi <= lo) return lo;
  return lo + next() % (hi - lo + 1);
}

Fault FaultInjector::roll(const std::string& meter_id, const std::string& meter_name) {
  if (rules_.empty()) return Fault::kNone;
  // One draw per request: the rules that apply share the unit interval.
  double u = unit();
  double acc = 0;
  for (const auto& r : rules_) {
    if (!r.meter.empty() && r.meter != meter_id && r.meter != meter_name) continue;
    acc += r.rate;
    if (u < acc) return r.kind;
  }
  return Fault::kNone;
}

}  // namespace msim
