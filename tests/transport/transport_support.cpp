#include "transport/transport_support.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/fsutil.h"
#include "base/logger.h"

namespace transport_test {

TestLog& TestLog::get() {
  static TestLog log;
  return log;
}

TestLog::TestLog() {
  path_ = "/tmp/mtr_transport_test." + std::to_string(getpid()) + ".log";
  unlink(path_.c_str());
  logger* l = logger::getInstance(path_.c_str(), false);
  l->setLevel(TL_DEBUG);
  std::string p = path_;
  static std::string at_exit_path;
  at_exit_path = p;
  atexit([] { unlink(at_exit_path.c_str()); });
}

void TestLog::setLevel(int level) {
  logger::instance()->setLevel(level);
}

size_t TestLog::mark() const {
  struct stat st;
  return stat(path_.c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
}

std::string TestLog::since(size_t mark) const {
  std::string all = mtr_test::readFile(path_);
  return mark < all.size() ? all.substr(mark) : std::string();
}

Pty::Pty() {
  char name[256] = {};
  struct termios raw;
  memset(&raw, 0, sizeof raw);
  cfmakeraw(&raw);
  if (openpty(&master_, &slave_, name, &raw, nullptr) == 0) slave_path_ = name;
}

Pty::~Pty() {
  if (master_ >= 0) close(master_);
  if (slave_ >= 0) close(slave_);
}

void Pty::send(const std::vector<uint8_t>& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = write(master_, bytes.data() + off, bytes.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    off += static_cast<size_t>(n);
  }
}

void Pty::closeMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

void Pty::send(const std::string& text) {
  send(std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<uint8_t> Pty::receive(size_t count, int timeout_ms) {
  std::vector<uint8_t> out;
  while (out.size() < count) {
    struct pollfd p = {master_, POLLIN, 0};
    int r = poll(&p, 1, timeout_ms);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    uint8_t buf[512];
    ssize_t n = read(master_, buf, std::min(sizeof buf, count - out.size()));
    if (n <= 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  return out;
}

bool ptyKeepsCharacterFormat() {
  Pty pty;
  int fd = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) return false;
  struct termios t;
  tcgetattr(fd, &t);
  t.c_cflag = (t.c_cflag & ~CSIZE) | CS7 | PARENB;
  tcsetattr(fd, TCSANOW, &t);
  tcgetattr(fd, &t);
  close(fd);
  return (t.c_cflag & CSIZE) == CS7 && (t.c_cflag & PARENB);
}

LedProbe::LedProbe() {
  mtr::makeDirs(dir_ / "proc/leds");
  std::string a = dir_ / "proc/leds/kr_red", b = dir_ / "proc/leds/lan";
  mkfifo(a.c_str(), 0644);
  mkfifo(b.c_str(), 0644);
  // Readers first, so that the LEDs' opening for writing does not block.
  a_.fd = open(a.c_str(), O_RDONLY | O_NONBLOCK);
  b_.fd = open(b.c_str(), O_RDONLY | O_NONBLOCK);
  env_.reset(new mtr_test::ScopedEnv("MTR_ROOT", dir_.path().c_str()));
}

LedProbe::~LedProbe() {
  env_.reset();
  if (a_.fd >= 0) close(a_.fd);
  if (b_.fd >= 0) close(b_.fd);
}

void LedProbe::drain(Fifo& f) {
  char buf[256];
  for (;;) {
    ssize_t n = read(f.fd, buf, sizeof buf);
    if (n <= 0) break;
    f.seen.append(buf, static_cast<size_t>(n));
  }
}

std::string LedProbe::transmit() {
  drain(a_);
  return a_.seen;
}

std::string LedProbe::receive() {
  drain(b_);
  return b_.seen;
}

int LedProbe::flashes(const std::string& states) {
  int n = 0;
  for (char c : states) n += c == '1';
  return n;
}

SocatPair::SocatPair() {
  socat_.reset(new mtr_test::Child(
      {"/usr/bin/socat", "-d", "-d", "pty,raw,echo=0,link=" + a(), "pty,raw,echo=0,link=" + b()},
      dir_ / "socat.out", dir_ / "socat.err"));
  ready_ = mtr_test::waitFor(
      [&] { return access(a().c_str(), F_OK) == 0 && access(b().c_str(), F_OK) == 0; }, 5000, 5);
}

SocatPair::~SocatPair() {
  socat_->kill(SIGTERM);
  socat_->wait(2000);
}

ModbusSlave::ModbusSlave(const std::string& device, int slave_id) {
  ctx_ = modbus_new_rtu(device.c_str(), 9600, 'N', 8, 1);
  if (!ctx_) return;
  modbus_set_slave(ctx_, slave_id);
  // A bounded wait for requests lets the loop notice the stop flag.
  modbus_set_indication_timeout(ctx_, 0, 50000);
  if (modbus_connect(ctx_) == -1) return;
  map_ = modbus_mapping_new(0, 0, kRegisters, kRegisters);
  if (!map_) return;
  for (int i = 0; i < kRegisters; ++i) {
    map_->tab_registers[i] = static_cast<uint16_t>(i);
    map_->tab_input_registers[i] = static_cast<uint16_t>(1000 + i);
  }
  ready_ = true;
  thread_ = std::thread([this] { run(); });
}

ModbusSlave::~ModbusSlave() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (map_) modbus_mapping_free(map_);
  if (ctx_) {
    modbus_close(ctx_);
    modbus_free(ctx_);
  }
}

uint16_t ModbusSlave::holding(int addr) {
  std::lock_guard<std::mutex> lock(map_mutex_);
  return map_->tab_registers[addr];
}

void ModbusSlave::run() {
  uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
  while (!stop_.load()) {
    int rc = modbus_receive(ctx_, query);
    if (rc > 0) {
      ++requests_;
      std::lock_guard<std::mutex> lock(map_mutex_);
      modbus_reply(ctx_, query, rc, map_);
    } else if (rc == -1 && errno != ETIMEDOUT) {
      // A garbled or interleaved frame: CRC error or a broken length.
      ++errors_;
    }
  }
}

}  // namespace transport_test
