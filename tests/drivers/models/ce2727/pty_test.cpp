#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "ce2727_test_util.h"
#include "drivers/models/ce2727/mtr_ce2727.h"
#include "transport/rs_connector.h"

using namespace ce2727_test;
using Steady = std::chrono::steady_clock;

namespace {

// The meter end of a pseudo-terminal: gathers request frames and answers them
// in 7-byte pieces with pauses, as a slow line delivers them.
class PtyMeter {
 public:
  FakeMeter meter;

  PtyMeter() {
    struct termios raw {};
    cfmakeraw(&raw);
    cfsetspeed(&raw, B9600);
    char name[256] = {};
    if (openpty(&master_, &slave_, name, &raw, nullptr) == 0) path_ = name;
    thread_ = std::thread([this] { loop(); });
  }
  ~PtyMeter() {
    stop_ = true;
    thread_.join();
    close(master_);
    close(slave_);
  }
  const std::string& path() const { return path_; }

 private:
  void loop() {
    Bytes buf;
    while (!stop_) {
      struct pollfd p = {master_, POLLIN, 0};
      uint8_t chunk[256];
      ssize_t n = poll(&p, 1, 20) > 0 ? read(master_, chunk, sizeof chunk) : 0;
      if (n > 0) buf.insert(buf.end(), chunk, chunk + n);
      while (buf.size() >= 2 && buf.size() >= buf[1]) {
        Bytes out = meter(Bytes(buf.begin(), buf.begin() + buf[1]));
        buf.erase(buf.begin(), buf.begin() + buf[1]);
        for (size_t i = 0; i < out.size(); i += 7) {
          if (write(master_, out.data() + i, std::min<size_t>(7, out.size() - i)) < 0) break;
          std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
      }
    }
  }

  int master_ = -1, slave_ = -1;
  std::string path_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
};

TEST(CE2727Pty, DriverReadsAMeterOverARealSerialLine) {
  TestLog::get();
  mtr_test::TempDir root;
  mtr_test::ScopedEnv env("MTR_ROOT", root.path().c_str());
  mtr_test::ScopedEnv tz("TZ", "MSK-3");
  tzset();
  PtyMeter pty;
  ASSERT_FALSE(pty.path().empty());
  pty.meter.handlers[1] = [](const SeenRequest&, uint8_t&) {  // 5 March 2024 09:30:00
    return Bytes{0x00, 0x30, 0x09, 0x02, 0x05, 0x03, 0x24, 0x00, 0x00};
  };
  pty.meter.handlers[15] = [](const SeenRequest& r, uint8_t&) {
    Bytes d = r.params;
    for (uint32_t t = 0; t <= 4; ++t) putLE(d, 2000 + t, 4);
    return d;
  };

  std::shared_ptr<CConnector> line(CreateConnector({{"name", pty.path()}, {"speed", "9600"}}));
  line->SetTimeout(500);
  struct Driver : CmtrCE2727 {
    Driver() : CmtrCE2727(1) { params["net_address"] = "4242"; }
  } d;
  d.SaveConnector(line);
  ASSERT_TRUE(d.init());

  timestamps ts;
  ASSERT_TRUE(d.GetTimestamps(ts));
  EXPECT_EQ(1709596800 - 10800 + 9 * 3600 + 30 * 60, ts.curr_time);
  time_t mar4 = 1709510400 - 10800;
  MeasuredValueList arch;
  EXPECT_EQ(5, d.get_arch_values(Daily, mar4, mar4, arch));
  EXPECT_EQ((Bytes{0x03, 0x03, 0x24}), pty.meter.paramsOf(15).front());
  EXPECT_EQ(mar4, arch.front().timestamp);
  EXPECT_EQ("2.004", arch.back().value);

  // A silent meter costs the three attempts, each bounded by the line timeout.
  pty.meter.address = 1;
  auto t0 = Steady::now();
  EXPECT_THROW(d.GetTimestamps(ts), CDisconnectException);
  double ms = std::chrono::duration<double, std::milli>(Steady::now() - t0).count();
  EXPECT_GE(ms, 3 * 500 - 50);
  EXPECT_LT(ms, 3 * 500 + 1500);
}

}  // namespace
