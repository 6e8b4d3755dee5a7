#include "sim_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "base/crc.h"

namespace simtest {

Bytes hex(const std::string& text) {
  Bytes out;
  unsigned v;
  int used;
  const char* p = text.c_str();
  while (sscanf(p, " %2x%n", &v, &used) == 1) {
    out.push_back(static_cast<uint8_t>(v));
    p += used;
  }
  return out;
}

std::string hexText(const Bytes& b) {
  std::string s;
  char buf[4];
  for (size_t i = 0; i < b.size(); ++i) {
    snprintf(buf, sizeof buf, i ? " %02X" : "%02X", b[i]);
    s += buf;
  }
  return s;
}

Bytes withCrc(Bytes frame) {
  uint16_t crc = mtr::crc16_modbus(frame.data(), frame.size());
  frame.push_back(static_cast<uint8_t>(crc & 0xFF));
  frame.push_back(static_cast<uint8_t>(crc >> 8));
  return frame;
}

bool crcOk(const Bytes& f) {
  if (f.size() < 3) return false;
  uint16_t crc = mtr::crc16_modbus(f.data(), f.size() - 2);
  return f[f.size() - 2] == (crc & 0xFF) && f[f.size() - 1] == (crc >> 8);
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
      5000);
  if (out.compare(0, 7, "device=") != 0)
    throw std::runtime_error("simulator did not start: " + mtr_test::readFile(dir_ / "err"));
  device_ = out.substr(7, out.find('\n') - 7);
}

Sim::~Sim() {
  stop();
}

int Sim::stop(int timeout_ms) {
  if (!child_->running()) {
    mtr_test::ProcessResult r;
    child_->wait(0, &r);
    return r.status;
  }
  child_->kill(SIGTERM);
  mtr_test::ProcessResult r;
  if (!child_->wait(timeout_ms, &r)) return -1;
  return r.status;
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
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  tcsetattr(fd_, TCSAFLUSH, &t);
}

void Port::sendRaw(const Bytes& bytes) {
  ssize_t n = write(fd_, bytes.data(), bytes.size());
  if (n != static_cast<ssize_t>(bytes.size())) throw std::runtime_error("short write");
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

Bytes Port::ask(const std::string& body_hex, size_t want, int silence_ms) {
  sendRaw(withCrc(hex(body_hex)));
  return receive(want, silence_ms);
}

Bytes Port::open(uint8_t address, const std::string& password_hex) {
  char head[16];
  snprintf(head, sizeof head, "%02X 01 01 ", address);
  return ask(head + password_hex, 4);
}

Bytes body(const Bytes& reply) {
  if (reply.size() < 3) return {};
  return Bytes(reply.begin() + 1, reply.end() - 2);
}

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

time_t bcdStamp(const Bytes& d, size_t at) {
  return localTimeOf(2000 + bcd(d[at + 5]), bcd(d[at + 4]), bcd(d[at + 3]), bcd(d[at + 2]),
                     bcd(d[at + 1]), bcd(d[at]));
}

std::string localText(time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[32];
  strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

}  // namespace simtest
