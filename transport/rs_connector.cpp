#include "transport/rs_connector.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/logger.h"
#include "base/paths.h"

const char* const kLedTransmitPath = "/proc/leds/kr_red";
const char* const kLedReceivePath = "/proc/leds/lan";

const std::map<int, speed_t>& speedTable() {
  static const std::map<int, speed_t> table = {
      {0, B0},
      {50, B50},
      {75, B75},
      {110, B110},
      {134, B134},
      {150, B150},
      {200, B200},
      {300, B300},
      {600, B600},
      {1200, B1200},
      {1800, B1800},
      {2400, B2400},
      {4800, B4800},
      {9600, B9600},
      {19200, B19200},
      {38400, B38400},
      {57600, B57600},
      {115200, B115200},
      {230400, B230400},
      {460800, B460800},
      {500000, B500000},
      {576000, B576000},
      {921600, B921600},
      {1000000, B1000000},
      {1152000, B1152000},
      {1500000, B1500000},
      {2000000, B2000000},
      {2500000, B2500000},
      {3000000, B3000000},
      {3500000, B3500000},
      {4000000, B4000000},
  };
  return table;
}

long decimalOf(const std::string& text) {
  return strtol(text.c_str(), nullptr, 10);
}

std::string devicePathOf(const SettingsMap& params) {
  auto it = params.find("name");
  return it != params.end() ? it->second : std::string("/dev/ttyS1");
}

namespace {

const std::string* lookup(const SettingsMap& params, const char* key) {
  auto it = params.find(key);
  return it != params.end() ? &it->second : nullptr;
}

}  // namespace

CRSConnector::CRSConnector(const SettingsMap& port_params) {
  pthread_mutex_init(&mutex, nullptr);
  params = port_params;
  device_ = devicePathOf(params);
  led_a_.reset(new CLed(mtr::rootedPath(kLedTransmitPath), kLedOnTimeUs));
  led_b_.reset(new CLed(mtr::rootedPath(kLedReceivePath), kLedOnTimeUs));
  led_a_->Start(led_a_.get(), "manager LED \"A\"");
  led_b_->Start(led_b_.get(), "manager LED \"B\"");
  // A device missing at start-up (an adapter plugged in later) is looked for
  // at each write, as one that went away.
  if (!open_device()) {
    outage_.store(true);
    hung_up_.store(true);
  }
}

CRSConnector::~CRSConnector() {
  led_a_.reset();
  led_b_.reset();
  int fd = fd_.exchange(-1);
  if (fd > 0) close(fd);
  pthread_mutex_destroy(&mutex);
}

bool CRSConnector::open_device() {
  return openLine(true);
}

bool CRSConnector::openLine(bool log_failure) {
  // Reopening must not leak the line already held.
  close_device();
  int fd = open(device_.c_str(), O_RDWR | O_NOCTTY);
  if (fd <= 0) {
    if (fd == 0) close(fd);
    if (log_failure)
      LOG_CRIT("CRSConnector::open_device - Unable open device %s.", device_.c_str());
    return false;
  }

  speed_t speed = B9600;
  if (const std::string* s = lookup(params, "speed")) {
    // Text that is no number keeps 9600 rather than hanging the line up with B0.
    char* end = nullptr;
    long baud = strtol(s->c_str(), &end, 10);
    auto it = speedTable().find(static_cast<int>(baud));
    if (end != s->c_str() && it != speedTable().end()) speed = it->second;
  }

  struct termios tio;
  memset(&tio, 0, sizeof tio);
  cfsetispeed(&tio, speed);
  cfsetospeed(&tio, speed);

  tio.c_cflag |= CREAD | CLOCAL;
  tcflag_t size = CS8;
  if (const std::string* d = lookup(params, "data")) {
    switch (decimalOf(*d)) {
      case 5:
        size = CS5;
        break;
      case 6:
        size = CS6;
        break;
      case 7:
        size = CS7;
        break;
      default:
        size = CS8;
        break;
    }
  }
  tio.c_cflag |= size;

  if (const std::string* p = lookup(params, "parity")) {
    if (*p == "E")
      tio.c_cflag |= PARENB;
    else if (*p == "O")
      tio.c_cflag |= PARENB | PARODD;
  }
  if (const std::string* s = lookup(params, "stop")) {
    if (*s == "2") tio.c_cflag |= CSTOPB;
  }

  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = static_cast<cc_t>((timeout_.load() / 100) & 0xFF);
  requested_ = tio;
  tcsetattr(fd, TCSAFLUSH, &tio);
  fd_.store(fd);
  hung_up_.store(false);
  if (outage_.exchange(false))
    LOG_NOTICE("CRSConnector::open_device - Device %s is back.", device_.c_str());
  return true;
}

void CRSConnector::close_device() {
  int fd = fd_.load();
  if (fd >= 1 && fd_.compare_exchange_strong(fd, -1)) close(fd);
}

int32_t CRSConnector::WriteBuffer(const uint8_t* buf, uint16_t len, bool flash) {
  // A line that hung up earlier: one reopen per write until it is back.
  if (hung_up_.load()) reopen();
  if (flash) led_a_->Blink();
  ssize_t n = write(fd_.load(), buf, len);
  // A line that hung up while idle shows it only now: open it again at once.
  if (noteHangUp(n) && reopen()) noteHangUp(n = write(fd_.load(), buf, len));
  return static_cast<int32_t>(n);
}

bool CRSConnector::reopen() {
  // An outage is logged when it starts and when it ends, not at every write
  // in between: a meter port can stay unplugged for weeks.
  if (openLine(!outage_.load())) return true;
  outage_.store(true);
  return false;
}

bool CRSConnector::noteHangUp(ssize_t result) {
  // EIO is how a terminal reports that its line is gone; it never comes back.
  if (result >= 0 || errno != EIO) return false;
  hung_up_.store(true);
  return true;
}

int CRSConnector::waitReadable(uint32_t timeout_ms) {
  for (;;) {
    // A closed line (fd -1) is ignored by poll, which then just waits out the time.
    struct pollfd p = {fd_.load(), POLLIN, 0};
    int timeout = timeout_ms > static_cast<uint32_t>(INT32_MAX) ? -1 : static_cast<int>(timeout_ms);
    int r = poll(&p, 1, timeout);
    if (r < 0 && errno == EINTR) continue;
    if (r > 0 && (p.revents & POLLNVAL)) {
      errno = EBADF;
      return -1;
    }
    return r;
  }
}

int32_t CRSConnector::ReadBuffer(uint8_t* buf, uint16_t len, bool flash) {
  int r = waitReadable(timeout_.load());
  if (r <= 0) {
    LOG_ERR("CRSConnector::ReadBuffer - Timeout receiving data. %d - %d", r, r < 0 ? errno : 0);
    return -1;
  }
  if (flash) led_b_->Blink();
  ssize_t n = read(fd_.load(), buf, len);
  noteHangUp(n);
  return static_cast<int32_t>(n);
}

int32_t CRSConnector::ReadBufferCycle(uint8_t* buf, uint16_t len, bool flash, uint32_t timeout_ms) {
  uint32_t timeout = timeout_ms != 0 ? timeout_ms : timeout_.load();
  uint16_t got = 0;
  while (got < len) {
    int r = waitReadable(timeout);
    if (r <= 0) {
      LOG_ERR("CRSConnector::ReadBufferCycle - Timeout receiving data.");
      return got > 0 ? got : -1;
    }
    if (flash) led_b_->Blink();
    ssize_t n = read(fd_.load(), buf + got, len - got);
    noteHangUp(n);
    if (n < 0) return static_cast<int32_t>(n);
    if (n == 0) {
      hung_up_.store(true);
      // Readable yet empty: the line hung up, and waiting again would spin.
      LOG_ERR("CRSConnector::ReadBufferCycle - Timeout receiving data.");
      return got > 0 ? got : -1;
    }
    got = static_cast<uint16_t>(got + n);
  }
  return got;
}

int CRSConnector::FlushBuffer() {
  return tcflush(fd_.load(), TCIOFLUSH);
}

int CRSConnector::DrainBuffer() {
  return tcdrain(fd_.load());
}

void CRSConnector::SetTimeout(uint32_t ms) {
  timeout_.store(ms);
}
