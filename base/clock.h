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

}  // namespace mtr
