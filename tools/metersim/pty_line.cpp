#include "pty_line.h"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace msim {

namespace {
struct Rate {
  int baud;
  speed_t constant;
};
const Rate kRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};
}  // namespace

unsigned speedConstant(int baud) {
  for (const auto& r : kRates)
    if (r.baud == baud) return r.constant;
  return B0;
}

int speedBaud(unsigned constant) {
  for (const auto& r : kRates)
    if (r.constant == constant) return r.baud;
  return 0;
}

PtyLine::~PtyLine() {
  if (master_ >= 0) close(master_);
  if (slave_ >= 0) close(slave_);
}

bool PtyLine::open(int baud, std::string& err) {
  termios tio{};
  cfmakeraw(&tio);
  tio.c_cflag |= CREAD | CLOCAL;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  speed_t sp = baud > 0 ? speedConstant(baud) : B9600;
  cfsetispeed(&tio, sp);
  cfsetospeed(&tio, sp);
  char name[256] = {0};
  if (openpty(&master_, &slave_, name, &tio, nullptr) != 0) {
    err = std::string("openpty: ") + strerror(errno);
    return false;
  }
  path_ = name;
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_, F_SETFD, FD_CLOEXEC);
  int fl = fcntl(master_, F_GETFL);
  fcntl(master_, F_SETFL, fl | O_NONBLOCK);
  return true;
}

int PtyLine::peerBaud() const {
  termios tio{};
  // On Linux the master reports the slave's settings; only the speed survives
  // there (the pty driver forces CS8 and clears parity).
  if (tcgetattr(master_, &tio) != 0) return 0;
  return speedBaud(cfgetospeed(&tio));
}

}  // namespace msim
