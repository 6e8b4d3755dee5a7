// The serial line itself failing under the connector: the other side of the
// pty goes away (as a USB adapter does when pulled) and a new one appears
// under the same name.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "support/test_support.h"
#include "transport/rs_connector.h"

namespace {

struct Pty {
  int master = -1;
  std::string name;
  Pty() {
    char buf[128];
    int slave;
    // the connector opens its own descriptor by name
    if (openpty(&master, &slave, buf, nullptr, nullptr) == 0) name = buf, close(slave);
  }
  ~Pty() { closeMaster(); }
  void closeMaster() {
    if (master >= 0) close(master);
    master = -1;
  }
  std::string receive(size_t n, int timeout_ms) {
    std::string out;
    while (out.size() < n) {
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, timeout_ms) <= 0) break;
      char buf[64];
      ssize_t r = read(master, buf, std::min(sizeof buf, n - out.size()));
      if (r <= 0) break;
      out.append(buf, r);
    }
    return out;
  }
};

void relink(const std::string& link, const std::string& target) {
  unlink(link.c_str());
  ASSERT_EQ(0, symlink(target.c_str(), link.c_str()));
}

// The other side closes after traffic, or while the line was idle: a read
// fails at once instead of waiting, a write while nothing is there fails and
// keeps trying later, and the next write reopens the line by name.
TEST(LineFaults, HungUpLineIsReopenedByNameOnTheNextWrite) {
  for (bool traffic : {true, false}) {
    SCOPED_TRACE(traffic ? "after traffic" : "idle");
    mtr_test::TempDir dir;
    mtr_test::ScopedEnv root("MTR_ROOT", dir.path().c_str());
    const std::string link = dir / "tty";
    auto first = std::make_unique<Pty>();
    ASSERT_FALSE(first->name.empty());
    relink(link, first->name);
    CRSConnector conn({{"name", link}, {"speed", "9600"}});
    conn.SetTimeout(300);
    const uint8_t ping[] = {'p', 'i', 'n', 'g'};
    uint8_t buf[8];
    if (traffic) {
      // a quiet meter is not a hang-up: it keeps its descriptor
      const int fd = conn.fd();
      EXPECT_EQ(-1, conn.ReadBufferCycle(buf, 4, false, 200));
      ASSERT_EQ(4, conn.WriteBuffer(ping, 4, false));
      EXPECT_EQ(fd, conn.fd());
      EXPECT_EQ("ping", first->receive(4, 1000));
    }
    first->closeMaster();
    if (traffic) {
      EXPECT_GT(0, conn.ReadBufferCycle(buf, sizeof buf, false, 2000));
    }
    relink(link, dir / "absent");
    EXPECT_GT(0, conn.WriteBuffer(ping, 4, false));

    Pty second;
    ASSERT_FALSE(second.name.empty());
    relink(link, second.name);
    ASSERT_EQ(4, conn.WriteBuffer(ping, 4, false));
    EXPECT_EQ("ping", second.receive(4, 1000));
    ASSERT_EQ(5, write(second.master, "hello", 5));
    EXPECT_EQ(5, conn.ReadBufferCycle(buf, 5, false, 1000));
    EXPECT_EQ("hello", std::string(reinterpret_cast<char*>(buf), 5));
    // the reopened line has the configured settings again
    struct termios tio;
    ASSERT_EQ(0, tcgetattr(conn.fd(), &tio));
    EXPECT_EQ(B9600, cfgetospeed(&tio));
  }
}

}  // namespace
