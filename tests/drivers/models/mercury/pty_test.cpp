#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>

#include <atomic>
#include <thread>

#include "mercury_test_util.h"
#include "transport/rs_connector.h"

using namespace mercury_test;

namespace {

// The meter on the master side of a pty: a frame ends when the line has been
// quiet for 15 ms, as a meter's receiver decides. The driver, on a serial
// connector at the other end (9600 8N1, time-out 300 ms), runs in MTR_ROOT.
struct PtyRig {
  mtr_test::TempDir root;
  mtr_test::ScopedEnv env{"MTR_ROOT", root.path().c_str()};
  TableMeter meter;  // touched by the meter thread only until finish()
  std::atomic<int> byte_gap_us{0};
  int master = -1, slave = -1;
  std::shared_ptr<CRSConnector> line;
  TestDriver driver{"mercury230", {{"net_address", "35"}}, "12345678"};
  std::atomic<bool> stop{false};
  std::thread thread;

  explicit PtyRig(TableMeter m) : meter(std::move(m)) {
    char name[128];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
    line = std::make_shared<CRSConnector>(
        SettingsMap{{"name", name}, {"speed", "9600"}, {"data", "8"}, {"parity", "N"}});
    line->SetTimeout(300);
    driver.SaveConnector(line);
    thread = std::thread([this] {
      Bytes frame;
      uint8_t buf[512];
      for (struct pollfd p = {master, POLLIN, 0}; !stop;) {
        ssize_t n = poll(&p, 1, 15) > 0 ? read(master, buf, sizeof buf) : 0;
        if (n > 0) {
          frame.insert(frame.end(), buf, buf + n);
          continue;
        }
        if (frame.empty()) continue;
        Bytes reply = meter(frame);
        frame.clear();
        for (uint8_t b : reply) {
          if (write(master, &b, 1) != 1) break;
          std::this_thread::sleep_for(std::chrono::microseconds(byte_gap_us));
        }
      }
    });
  }
  TableMeter& finish() {
    stop = true;
    if (thread.joinable()) thread.join();
    return meter;
  }
  ~PtyRig() {
    finish();
    close(master);
    close(slave);
  }
};

TEST(MercuryPty, SessionOverASlowRealLineWithALostRequest) {
  TableMeter m;  // a Mercury 230 without tariff clock: a short session
  m.table = {
      {"08 12", "11 00 00 04 05 00"}, {"08 03", "02 01 05"}, {"08 00", "0C 22 38 4E 0F 06 15"}};
  int drops = 0;
  m.drop = [&](const std::string& cmd) { return cmd == "08 00" && drops++ < 2; };
  PtyRig rig(m);
  ASSERT_NE(nullptr, rig.line);
  rig.byte_gap_us = 3000;  // slower than 9600 baud, well within the time-out
  EXPECT_TRUE(rig.driver.init());
  MeasuredValueList v = rig.driver.get_all_system_values();
  // Icf and Ucf are refused with a short status reply, which waits out the time-out.
  EXPECT_EQ("12345678 mercury230 <absent>",
            value(v, 10, 74) + " " + value(v, 10, 72) + " " + value(v, 10, 60));
  EXPECT_EQ(3, rig.finish().asked["08 00"]);
}

TEST(MercuryPty, SilentMeterFailsInitAfterThreeTimeouts) {
  TableMeter m;
  m.drop = [](const std::string&) { return true; };
  PtyRig rig(m);
  auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(rig.driver.init(), CDisconnectException);
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  EXPECT_NEAR(took.count(), 1.5, 0.65);  // three 300 ms time-outs, and some slack
  EXPECT_EQ(3, rig.finish().asked["00"]);
}

}  // namespace
