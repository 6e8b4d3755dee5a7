#include <gtest/gtest.h>

#include "mercury_test_util.h"
#include "transport/rs_connector.h"

using namespace mercury_test;

namespace {

// The meter on a pty: a frame ends when the line has been quiet for 15 ms, as
// a meter's receiver decides; replies go out byte by byte. The driver uses a
// serial connector at the other end (9600 8N1, time-out 300 ms).
struct PtyRig {
  TableMeter meter;  // touched by the meter thread only until pty.stop()
  PtyMeter pty{[](const Bytes& b, bool quiet) { return quiet ? b.size() : 0; },
               [this](const Bytes& frame) { return meter(frame); }};
  TestDriver driver{"mercury230", {{"net_address", "35"}}, "12345678"};
  Leds leds{pty.root.path()};
  explicit PtyRig(TableMeter m, int byte_gap_us) : meter(std::move(m)) {
    pty.piece = 1;
    pty.gap_us = byte_gap_us;
    auto line = std::make_shared<CRSConnector>(
        SettingsMap{{"name", pty.device()}, {"speed", "9600"}, {"data", "8"}, {"parity", "N"}});
    line->SetTimeout(300);
    driver.SaveConnector(line);
  }
};

TEST(MercuryPty, SessionOverASlowRealLineWithALostRequest) {
  TableMeter m;  // a Mercury 230 without tariff clock: a short session
  m.table = {
      {"08 12", "11 00 00 04 05 00"}, {"08 03", "02 01 05"}, {"08 00", "0C 22 38 4E 0F 06 15"}};
  int drops = 0;
  m.drop = [&](const std::string& cmd) { return cmd == "08 00" && drops++ < 2; };
  PtyRig rig(m, 3000);  // slower than 9600 baud, well within the time-out
  EXPECT_TRUE(rig.driver.init());
  MeasuredValueList v = rig.driver.get_all_system_values();
  // Icf and Ucf are refused with a short status reply, which waits out the time-out.
  EXPECT_EQ("12345678 mercury230 <absent>",
            value(v, 10, 74) + " " + value(v, 10, 72) + " " + value(v, 10, 60));
  rig.pty.stop();
  EXPECT_EQ(3, rig.meter.asked["08 00"]);
  // Requests go out without a flash; every answer flashes the receive LED.
  std::string lan;
  auto dark = [&] { return lan = rig.leds.receive(), lan == Leds::history(lan.size() / 2); };
  EXPECT_TRUE(mtr_test::waitFor(dark, 5000, 1));
  EXPECT_GE(lan.size(), 3u);
  EXPECT_EQ("0", rig.leds.send());
}

TEST(MercuryPty, SilentMeterFailsInitAfterThreeTimeouts) {
  TableMeter m;
  m.drop = [](const std::string&) { return true; };
  PtyRig rig(m, 0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(rig.driver.init(), CDisconnectException);
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  EXPECT_NEAR(took.count(), 1.5, 0.65);  // three 300 ms time-outs, and some slack
  rig.pty.stop();
  EXPECT_EQ(3, rig.meter.asked["00"]);
}

}  // namespace
