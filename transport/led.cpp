#include "transport/led.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace {

// Runs with cancellation disabled except inside the waits, so a stop never
// lands in the middle of a stream write.
class CancelGate {
 public:
  CancelGate() { pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &old_); }
  ~CancelGate() {
    int ignored;
    pthread_setcancelstate(old_, &ignored);
  }

 private:
  int old_;
};

constexpr long kPauseUs = 10000;

}  // namespace

CLed::CLed(const std::string& path, uint32_t on_time_us)
    : path_(path),
      out_(path, std::ios::out | std::ios::trunc | std::ios::binary),
      on_time_us_(on_time_us) {
  // The LED driver takes each character as the new state, wherever it lands;
  // a plain file standing in keeps the whole history ("0101...0").
  wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  put('0');
}

CLed::~CLed() {
  Stop();
  put('0');
  if (wake_fd_ >= 0) close(wake_fd_);
}

void CLed::Blink() {
  // Only the request that raises the flag needs to wake the thread; later ones
  // are folded into the flash it is about to give.
  if (pending_.exchange(1) == 0 && wake_fd_ >= 0) {
    uint64_t one = 1;
    ssize_t r = write(wake_fd_, &one, sizeof one);
    (void)r;
  }
}

void CLed::put(char state) {
  if (!out_.good()) return;
  out_.put(state);
  out_.flush();
}

void CLed::sleepUs(long us) {
  CancelGate gate;
  struct timespec ts = {us / 1000000, (us % 1000000) * 1000};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

void CLed::waitForRequest() {
  if (wake_fd_ < 0) {
    // Without an eventfd fall back to the plain 10 ms poll of the flag.
    while (pending_.exchange(0) == 0) sleepUs(kPauseUs);
    return;
  }
  for (;;) {
    {
      CancelGate gate;
      struct pollfd p = {wake_fd_, POLLIN, 0};
      int r = poll(&p, 1, -1);
      if (r < 0 && errno != EINTR) {
        sleepUs(kPauseUs);
        continue;
      }
    }
    uint64_t count;
    ssize_t r = read(wake_fd_, &count, sizeof count);
    (void)r;
    // Taking the flag before lighting up means anything requested from here on
    // gives one more flash.
    if (pending_.exchange(0) != 0) return;
  }
}

void CLed::functionThread(myThreadAttached*) {
  tid_.store(static_cast<pid_t>(syscall(SYS_gettid)));
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  sleepUs(kPauseUs);
  for (;;) {
    waitForRequest();
    put('1');
    sleepUs(on_time_us_);
    put('0');
    // The dark pause that makes a request made while lit a visible second flash.
    sleepUs(kPauseUs);
  }
}
