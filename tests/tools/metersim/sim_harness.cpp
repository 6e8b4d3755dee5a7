#include "sim_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace simtest {

uint32_t reg4(const Bytes& d, size_t at) {
  return static_cast<uint32_t>(d[at + 1]) << 24 | static_cast<uint32_t>(d[at]) << 16 |
         static_cast<uint32_t>(d[at + 3]) << 8 | d[at + 2];
}

int bcd(uint8_t b) {
  return (b >> 4) * 10 + (b & 0x0F);
}

time_t localTimeOf(int y, int mo, int d, int h, int mi, int s) {
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  return mktime(&tm);
}

std::tm tmOf(time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}

time_t midnight(int days_back) {
  std::tm tm = tmOf(time(nullptr));
  return localTimeOf(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday - days_back);
}

Sim::Sim(const std::string& meters_json, const std::vector<std::string>& args) {
  mtr_test::writeFile(dir_ / "meters.json", meters_json);
  std::vector<std::string> argv = {mtr_test::binPath("mtr-metersim"), "--log", logPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  argv.push_back(dir_ / "meters.json");
  child_ = std::make_unique<mtr_test::Child>(argv, dir_ / "out", dir_ / "err");
  std::string out;
  mtr_test::waitFor(
      [&] {
        out = mtr_test::readFile(dir_ / "out");
        return out.find('\n') != std::string::npos || !child_->running();
      },
      20000);
  if (out.compare(0, 7, "device=") != 0)
    throw std::runtime_error("simulator did not start: " + mtr_test::readFile(dir_ / "err"));
  device_ = out.substr(7, out.find('\n') - 7);
}

int Sim::stop(int timeout_ms) {
  if (child_->running()) child_->kill(SIGTERM);
  mtr_test::ProcessResult r;
  return child_->wait(timeout_ms, &r) ? r.status : -1;
}

Port::Port(const std::string& device, speed_t speed) {
  fd_ = ::open(device.c_str(), O_RDWR | O_NOCTTY);
  if (fd_ < 0) throw std::runtime_error("cannot open " + device);
  setSpeed(speed);
}

Port::~Port() {
  if (fd_ >= 0) close(fd_);
}

void Port::setSpeed(speed_t speed) {
  termios t{};
  t.c_cflag = CREAD | CLOCAL | CS8;
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  tcsetattr(fd_, TCSAFLUSH, &t);
}

void Port::sendRaw(const Bytes& bytes) {
  if (write(fd_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
    throw std::runtime_error("short write");
}

Bytes Port::receive(size_t want, int silence_ms) {
  Bytes out;
  uint8_t buf[512];
  while (out.size() < want) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, silence_ms) <= 0) break;
    ssize_t n = read(fd_, buf, sizeof buf);
    if (n <= 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  return out;
}

Bytes Port::open(uint8_t address, const std::string& password_hex) {
  char head[16];
  snprintf(head, sizeof head, "%02X 01 01 ", address);
  return ask(head + password_hex, 4);
}

}  // namespace simtest
