// The other side of the serial line goes away after traffic (a USB adapter
// pulled) and a new one appears under the same name.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include "transport/serial_peers.h"

namespace {

void relink(const std::string& link, const std::string& target) {
  unlink(link.c_str());
  ASSERT_EQ(0, symlink(target.c_str(), link.c_str()));
}

// A quiet meter keeps its descriptor; a read on the hung-up line fails, and
// the next write after a failed reopen opens the new line by name, with the
// configured settings again.
TEST(LineFaults, HungUpLineIsReopenedByNameOnTheNextWrite) {
  mtr_test::TempDir dir;
  mtr_test::ScopedEnv root("MTR_ROOT", dir.path().c_str());
  const std::string link = dir / "tty";
  peers::Pty first;
  relink(link, first.path());
  CRSConnector conn({{"name", link}, {"speed", "9600"}});
  conn.SetTimeout(300);
  const peers::Bytes ping{'p', 'i', 'n', 'g'};
  uint8_t buf[8];
  const int fd = conn.fd();
  EXPECT_EQ(-1, conn.ReadBufferCycle(buf, 4, false, 200));
  ASSERT_EQ(4, conn.WriteBuffer(ping.data(), 4, false));
  EXPECT_EQ(fd, conn.fd());
  EXPECT_EQ(ping, first.receive(4, 1000));
  close(first.master);
  first.master = -1;
  EXPECT_GT(0, conn.ReadBufferCycle(buf, sizeof buf, false, 2000));
  relink(link, dir / "absent");
  EXPECT_GT(0, conn.WriteBuffer(ping.data(), 4, false));

  peers::Pty second;
  relink(link, second.path());
  ASSERT_EQ(4, conn.WriteBuffer(ping.data(), 4, false));
  EXPECT_EQ(ping, second.receive(4, 1000));
  second.send("hello");
  EXPECT_EQ(5, conn.ReadBufferCycle(buf, 5, false, 1000));
  EXPECT_EQ("hello", std::string(reinterpret_cast<char*>(buf), 5));
  struct termios tio;
  ASSERT_EQ(0, tcgetattr(conn.fd(), &tio));
  EXPECT_EQ(B9600, cfgetospeed(&tio));
}

}  // namespace
