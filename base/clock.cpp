#include "base/clock.h"

#include <pthread.h>

#include <cerrno>

namespace mtr {

namespace {
class SystemClock : public Clock {
 public:
  time_t now() override { return time(nullptr); }
  void sleepMs(long ms) override {
    if (ms <= 0) return;
    CancellableScope cancellable;
    struct timespec ts {
      ms / 1000, (ms % 1000) * 1000000L
    };
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
  }
};
}  // namespace

CancellableScope::CancellableScope() {
  pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &old_);
}
CancellableScope::~CancellableScope() {
  pthread_setcancelstate(old_, nullptr);
}

Clock& systemClock() {
  static SystemClock clock;
  return clock;
}

time_t localMoment(int year, int month, int day, int hour, int minute, int second) {
  struct tm tm = {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return mktime(&tm);
}

}  // namespace mtr
