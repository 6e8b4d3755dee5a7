#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace msim {

// System clock with sub-second part, and a monotonic clock for pacing.
double wallNow();
double monoNow();

// Moves every meter's clock (not the system's) by `seconds`, as a meter whose
// clock is set or jumps; meterClockShift() is the sum of the moves so far.
void shiftMeterClocks(long seconds);
long meterClockShift();

// Local time helpers. Meters keep local time; every function here works on
// Unix seconds and lets mktime settle daylight saving.
std::tm localTm(time_t t);
time_t localTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);
time_t dayStart(time_t t, int days_back = 0);
time_t monthStart(time_t t, int months_back = 0);
time_t yearStart(time_t t, int years_back = 0);
// True when the fields name a real calendar date and time.
bool validDate(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

// Times as the meter description writes them, relative forms taken from `base`
// (the meter's clock when the simulator started):
//   number                      Unix seconds
//   "YYYY-MM-DD[ hh:mm[:ss]]"   local time ('T' may separate date and time)
//   "now", "now-90s", "now+2h"  base moved by s, m, h or d
//   "day-N[ hh:mm[:ss]]"        local midnight N days before base's day (then the time)
//   "month-N", "year-N"         first day of the month / year N back
bool parseTimeSpec(const std::string& text, time_t base, time_t& out, std::string& err);

uint8_t toBcd(int value);
std::string hexBytes(const uint8_t* data, size_t n);
std::string localStamp(double t);  // "YYYY-MM-DD hh:mm:ss.mmm"

}  // namespace msim
