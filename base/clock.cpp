#include "base/clock.h"

#include <cerrno>

namespace mtr {

namespace {
class SystemClock : public Clock {
 public:
  time_t now() override { return time(nullptr); }
  void sleepMs(long ms) override {
    if (ms <= 0) return;
    struct timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
  }
};
}  // namespace

Clock& systemClock() {
  static SystemClock clock;
  return clock;
}

}  // namespace mtr
