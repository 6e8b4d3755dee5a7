#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace msim {

enum class Fault { kNone, kSilence, kTruncate, kBadCrc, kWrongAddress, kErrorStatus, kDelay };

const char* faultName(Fault f);

struct FaultRule {
  Fault kind = Fault::kNone;
  double rate = 0;    // probability per answered request
  std::string meter;  // empty: every meter; else its address or name
};

// "KIND:RATE" or "KIND:RATE:METER". Kinds: silence (none-reply), truncate,
// badcrc, wrongaddr, error, delay.
bool parseFault(const std::string& spec, FaultRule& out, std::string& err);

// Draws at most one fault per request from the rules, with its own generator so
// that a seed gives the same faults on every run.
class FaultInjector {
 public:
  FaultInjector(std::vector<FaultRule> rules, uint64_t seed);
  Fault roll(const std::string& meter_id, const std::string& meter_name);
  // Uniform in [lo, hi].
  uint64_t between(uint64_t lo, uint64_t hi);
  bool empty() const { return rules_.empty(); }

 private:
  uint64_t next();
  double unit();

  std::vector<FaultRule> rules_;
  uint64_t state_;
};

}  // namespace msim
