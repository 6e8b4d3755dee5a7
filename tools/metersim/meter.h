#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "jsonfields.h"

namespace msim {

enum Direction { kAPlus = 0, kAMinus = 1, kRPlus = 2, kRMinus = 3 };
constexpr int kDirections = 4;
constexpr int kTariffs = 4;

// Energy in Wh (varh for R) by direction and tariff 1..4.
using Registers = std::array<std::array<double, kTariffs>, kDirections>;

// The history of a meter's energy registers. Known points are joined by
// straight lines; after the last point the registers grow with the configured
// power in the active tariff, and before the first one they are extended
// backwards at the same rate, never below zero.
class EnergyTimeline {
 public:
  void addPoint(time_t at, const Registers& regs);  // in ascending time
  void setGrowth(int tariff, const std::array<double, kDirections>& rate_w);

  double wh(Direction d, int tariff, double t) const;  // tariff 1..4
  // What the meter's register shows: whole Wh; tariff 0 is the sum of the four.
  uint64_t reading(Direction d, int tariff, double t) const;

 private:
  struct Point {
    time_t at;
    Registers regs;
  };
  std::vector<Point> points_;
  int tariff_ = 1;
  std::array<double, kDirections> rate_w_{};
};

// What every simulated meter has, whatever its protocol: a clock that runs at
// an offset from the system clock, instantaneous electrical values, and energy.
// All times of a meter are its own clock's readings.
class MeterCore {
 public:
  static std::unique_ptr<MeterCore> fromJson(const JsonFields& f);
  static const std::vector<std::string>& keys();

  std::string name;
  long clock_offset = 0;                 // meter clock minus system clock, seconds
  std::array<double, 3> voltage{};       // V
  std::array<double, 3> current{};       // A
  std::array<double, 3> power{};         // W, negative when exporting
  std::array<double, 3> reactive{};      // var
  std::array<double, 4> power_factor{};  // sum, phases 1..3; sign ignored
  double frequency = 50.0;
  int tariff = 1;
  EnergyTimeline energy;
  time_t installed = 0;  // registers hold nothing before this
  bool installed_given = false;
  time_t start = 0;  // meter clock when the simulator started

  double meterNow() const;
  time_t meterSeconds() const;
  bool recorded(double t) const { return t >= static_cast<double>(installed); }
  // Phase 0 is the sum of the three.
  double activeW(int phase) const;
  double reactiveVar(int phase) const;
};

}  // namespace msim
