#pragma once

#include <ctime>

namespace mtr {

// Time and sleeping of the polling cycle and the archive logic, so that unit
// tests can run them on a fake clock.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual time_t now() = 0;
  // A cancellation point on the real clock.
  virtual void sleepMs(long ms) = 0;
};

// The process clock: time(2) and nanosleep(2).
Clock& systemClock();

// A local wall-clock moment as mktime(3) makes it, daylight saving decided by
// the zone; fields out of range roll over (month 13 is January of the next year).
time_t localMoment(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

// Worker threads run with cancellation disabled, so that a cancel can never
// unwind through a destructor that happens to hit a cancellation point; they
// open it only while they wait, inside one of these scopes.
class CancellableScope {
 public:
  CancellableScope();
  ~CancellableScope();
  CancellableScope(const CancellableScope&) = delete;
  CancellableScope& operator=(const CancellableScope&) = delete;

 private:
  int old_;
};

}  // namespace mtr
