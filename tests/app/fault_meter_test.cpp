// Meter faults end to end: the real mtr_main against mtr-metersim lines where
// one meter misbehaves. Each line carries a twin: a meter identical to the
// faulty one in everything it measures, read clean. Whatever the daemon
// writes for the faulty meter must agree with what it writes for the twin.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <ctime>

#include "fault_support.h"

namespace {

using mtr_test::activity;
using mtr_test::FaultLine;
using mtr_test::injectedFaults;
using mtr_test::tornFiles;
using mtr_test::waitFor;

struct Family {
  const char* name;
  // two meters alike in all they measure; the second one gets the faults
  std::string meters;
  std::string config;
  const char* twin_id;
  const char* faulty_id;
  const char* faulty_meter;  // the simulator's name of the faulty meter
  // what the daemon must log for each injected fault kind (any one of them)
  std::map<std::string, std::vector<std::string>> prescribed;
};

// Test names show the family, not the bytes of the struct.
void PrintTo(const Family& f, std::ostream* os) {
  *os << f.name;
}

std::string mercuryMeter(int address, const char* serial, const char* extra = "") {
  return std::string(R"({"protocol": "mercury230", "name": "m)") + std::to_string(address) +
         R"(", "address": )" + std::to_string(address) + R"(, "serial": ")" + serial +
         R"(", "model": "mercury230", "voltage": [229.87, 231.02, 230.44],
   "current": [3.214, 2.108, 1.556], "power": [702.4, 463.8, 341.9],
   "reactive": [120.5, -35.2, 60.0], "frequency": 49.98,
   "energy": {"A+": [31250.512, 12480.25, 0, 0]}, "profile": {"period": 30, "depth": 24})" +
         extra + "}";
}

std::string meterConfig(const char* id, const char* manufacturer, const char* serial,
                        const char* address, const char* password, const char* type,
                        const char* period = "60", const char* speed = "9600") {
  return std::string("\"") + id + R"(": {"manufacturer": ")" + manufacturer + R"(", "serial": ")" +
         serial + R"(", "net_address": ")" + address + R"(", "password": ")" + password +
         R"(", "password_type": ")" + type + R"(", "period_current": ")" + period +
         R"(", "port_params": {"name": "@TTY@", "speed": ")" + speed + R"("}})";
}

Family mercury() {
  return {
      "mercury",
      "{\"meters\": [" + mercuryMeter(2, "41000002") + ",\n" + mercuryMeter(1, "41000001") + "]}",
      "{" + meterConfig("601", "mercury230", "41000002", "2", "111111", "digit") + ",\n" +
          meterConfig("602", "mercury230", "41000001", "1", "111111", "digit") + "}",
      "601",
      "602",
      "m1",
      {{"silence", {"CRSConnector::ReadBufferCycle - Timeout receiving data."}},
       {"truncate", {"CRSConnector::ReadBufferCycle - Timeout receiving data."}},
       {"badcrc", {"Request::parseFrame: Invalid checksum in reply"}},
       {"wrongaddr", {"Request::parseFrame:"}},
       {"error", {"Request::parseReply: ERROR CODE 2"}}}};
}

std::string iecMeter(const char* name, const char* address, const char* serial,
                     const char* extra = "") {
  return std::string(R"({"protocol": "iec61107", "name": ")") + name + R"(", "model": "ce301",
   "address": ")" +
         address + R"(", "serial": ")" + serial + R"(",
   "voltage": [230.1, 229.9, 231.2], "current": [1.5, 2.5, 0.5], "power": [300, 500, 100],
   "energy": {"A+": [1520.1, 2210.875, 0, 0]}, "archive": {"days": 5, "months": 2},
   "profile": {"period": 30, "days": 2})" +
         extra + "}";
}

Family iec(const char* faulty_extra = "") {
  return {"iec61107",
          "{\"meters\": [" + iecMeter("twin", "1002", "009217010002") + ",\n" +
              iecMeter("faulty", "1001", "009217010001", faulty_extra) + "]}",
          "{" + meterConfig("701", "ce301", "009217010002", "1002", "", "ascii") + ",\n" +
              meterConfig("702", "ce301", "009217010001", "1001", "", "ascii") + "}",
          "701",
          "702",
          "faulty",
          {{"silence", {"CRSConnector::ReadBuffer - Timeout receiving data."}},
           {"truncate", {"CRSConnector::ReadBuffer - Timeout receiving data."}},
           {"badcrc", {"RESPONSE ERROR. Wrong checksum", "Received packet isn't identifier"}},
           {"wrongaddr",
            {"RESPONSE ERROR. Packet isn't answer to", "Received packet isn't identifier",
             "RESPONSE ERROR. Packet isn't information message"}},
           {"error",
            {"RESPONSE ERROR. Packet isn't answer to",
             "RESPONSE ERROR. Packet isn't information message"}}}};
}

std::string ce2727Meter(const char* name, long address, long serial) {
  return std::string(R"({"protocol": "ce2727", "model": "ce2727a", "name": ")") + name +
         R"(", "address": )" + std::to_string(address) + R"(, "password": "12345678",
   "password_type": "hex", "serial": )" +
         std::to_string(serial) + R"(,
   "voltage": [229.4, 231.2, 230.1], "current": [4.1, 3.2, 1.8], "power": [900, 700, 400],
   "reactive": [120, 80, 40], "frequency": 50.02,
   "energy": {"A+": [15234.5, 7421.25, 0, 0], "R+": [3200, 1500, 0, 0]},
   "depth": {"days": 5, "months": 3, "profile_days": 2}})";
}

Family ce2727() {
  return {"ce2727",
          "{\"meters\": [" + ce2727Meter("twin", 2727002, 9000002) + ",\n" +
              ce2727Meter("faulty", 2727001, 9000001) + "]}",
          "{" + meterConfig("801", "ce2727a", "9000002", "2727002", "12345678", "hex") + ",\n" +
              meterConfig("802", "ce2727a", "9000001", "2727001", "12345678", "hex") + "}",
          "801",
          "802",
          "faulty",
          {{"silence", {"CAN'T READ HEADER !!!"}},
           {"truncate", {"CAN'T READ FULL PACKET !!!", "CAN'T READ HEADER !!!"}},
           {"badcrc", {"CCE2727Connector::calcCRC CRC ERROR"}},
           {"wrongaddr", {"WRONG ANSWER HEADER"}},
           {"error", {"return code 3"}}}};
}

// Items that depend only on what the meter measures, not on when it is read.
const char* const kStaticItems[] = {"VA",  "VB",   "VC",   "IA",   "IB",         "IC",      "FREQ",
                                    "PA",  "PAA",  "PBA",  "PCA",  "RAA",        "RBA",     "RCA",
                                    "COS", "COSA", "COSB", "COSC", "MeterModel", "Firmware"};

// The faulty meter's files agree with the twin's: equal static items, energy
// within what the meters consume between the two reads, nothing torn.
void expectAgreesWithTwin(FaultLine& line, const Family& f) {
  int compared = 0;
  for (const char* name : kStaticItems) {
    std::string faulty = line.item(f.faulty_id, name);
    if (faulty.empty()) continue;
    EXPECT_EQ(line.item(f.twin_id, name), faulty) << f.name << " item " << name;
    ++compared;
  }
  std::string wa = line.item(f.faulty_id, "WA"), twin_wa = line.item(f.twin_id, "WA");
  if (!wa.empty()) {
    EXPECT_NEAR(std::stod(twin_wa), std::stod(wa), 1.0) << f.name << " WA";
  }
  EXPECT_GT(compared, 0) << f.name << ": the faulty meter never got a value through";
  auto torn = tornFiles(line.root());
  EXPECT_TRUE(torn.empty()) << torn.front();
}

// Sessions back to back: the force-update markers end every wait at once.
bool runSessions(FaultLine& line, const Family& f, int faulty_sessions, int timeout_ms) {
  return waitFor(
      [&] {
        line.forceUpdate();
        auto a = activity(line.log());
        return a[f.faulty_id].sessions >= faulty_sessions || a[f.faulty_id].exceptions > 0;
      },
      timeout_ms, 250);
}

// Every fault kind at a rate the drivers' retries absorb, on one meter of
// three families' lines. Each injected kind leaves its prescribed trace in
// the log, the faulty meter's values match its twin's, and the twin goes on
// being read after the faulty meter's sessions.
class MixedFaults : public ::testing::TestWithParam<Family> {};

TEST_P(MixedFaults, RetriedAwayWithoutWrongValues) {
  const Family& f = GetParam();
  FaultLine line(f.meters, f.config);
  std::vector<std::string> faults;
  for (const char* kind : {"silence", "truncate", "badcrc", "wrongaddr", "error"}) {
    faults.push_back("--fault");
    faults.push_back(std::string(kind) + ":0.02:" + f.faulty_meter);
  }
  faults.insert(faults.end(), {"--seed", "7"});
  ASSERT_TRUE(line.startSim(faults));
  ASSERT_TRUE(line.startServer());
  line.startDaemon({f.twin_id, f.faulty_id});

  // A short session may draw no fault at all: go on until one was injected.
  ASSERT_TRUE(waitFor(
      [&] {
        line.forceUpdate();
        auto a = activity(line.log());
        return a[f.faulty_id].exceptions > 0 ||
               (a[f.faulty_id].sessions >= 2 && !injectedFaults(line.simLog()).empty());
      },
      150000, 250))
      << line.log().substr(0, 4000);
  auto a = activity(line.log());
  const int twin_before = a[f.twin_id].sessions;
  if (a[f.faulty_id].exceptions == 0) {
    // the line is not held: the twin gets its next turn
    EXPECT_TRUE(waitFor(
        [&] {
          line.forceUpdate();
          return activity(line.log())[f.twin_id].sessions > twin_before;
        },
        60000, 250));
  } else {
    // three faults in a row beat the retries; the cycle's pause follows,
    // with the meter marked disconnected
    EXPECT_TRUE(waitFor([&] { return line.item(f.faulty_id, "Connected") == "0\n"; }, 5000));
  }
  EXPECT_TRUE(line.daemonRunning());

  auto injected = injectedFaults(line.simLog());
  ASSERT_FALSE(injected.empty()) << "no fault was injected";
  auto untraced = [&] {
    std::vector<std::string> out;
    for (const auto& [meter, kinds] : injected) {
      for (const auto& kind : kinds) {
        bool found = false;
        for (const auto& t : f.prescribed.at(kind)) {
          found = found || line.log().find(t) != std::string::npos;
        }
        if (!found) out.push_back(kind);
      }
    }
    return out;
  };
  // the last fault's trace may follow a read timeout
  waitFor([&] { return untraced().empty(); }, 60000, 250);
  for (const auto& kind : untraced()) {
    ADD_FAILURE() << f.name << ": fault " << kind << " injected but none of its lines logged";
  }
  expectAgreesWithTwin(line, f);
  // (after an exception the pause would hold an orderly stop for 180 s)
  if (activity(line.log())[f.faulty_id].exceptions == 0) {
    EXPECT_EQ(0, line.stopDaemon(60000));
  }
}

INSTANTIATE_TEST_SUITE_P(Families, MixedFaults, ::testing::Values(mercury(), iec(), ce2727()),
                         [](const auto& info) { return std::string(info.param.name); });

// A NAK storm ahead of every answer: the NAKs are skipped and what follows
// is the answer, so the values are the twin's.
TEST(MeterFaults, NakStormAheadOfEveryAnswer) {
  Family f = iec(R"(, "naks": 12)");
  FaultLine line(f.meters, f.config);
  ASSERT_TRUE(line.startSim());
  ASSERT_TRUE(line.startServer());
  line.startDaemon({f.twin_id, f.faulty_id});
  ASSERT_TRUE(runSessions(line, f, 1, 150000)) << line.log().substr(0, 4000);
  EXPECT_EQ(0, activity(line.log())[f.faulty_id].exceptions);
  EXPECT_NE(std::string::npos, line.simLog().find(" TX 15 15 15 15 15 15 15 15 15 15 15 15 "));
  expectAgreesWithTwin(line, f);
  EXPECT_TRUE(line.daemonRunning());
  EXPECT_EQ(0, line.stopDaemon(60000));
}

// The whole line goes quiet (every meter off the line) in the middle of the
// sessions: requests time out one after the other, the daemon keeps running
// and overwrites no value, and once the meters are back both are read again
// (after the cycle's pause when the silence ended a session).
TEST(MeterFaults, SilentLineThenBack) {
  // Timing-sensitive on a loaded machine: run with the slow set.
  if (!mtr_test::slowTestsEnabled()) GTEST_SKIP() << "slow: set MTR_SLOW_TESTS=1";
  Family f = mercury();
  FaultLine line(f.meters, f.config);
  ASSERT_TRUE(line.startSim());
  ASSERT_TRUE(line.startServer());
  line.startDaemon({f.twin_id, f.faulty_id});
  ASSERT_TRUE(runSessions(line, f, 1, 120000)) << line.log().substr(0, 4000);
  const std::string timeout_line = "CRSConnector::ReadBufferCycle - Timeout receiving data.";
  const int timeouts = mtr_test::countLinesContaining(line.log(), timeout_line);
  line.signalSim(SIGUSR1);  // off the line
  const std::string va = line.item(f.faulty_id, "VA"), twin_va = line.item(f.twin_id, "VA");
  ASSERT_TRUE(waitFor(
      [&] {
        line.forceUpdate();
        return mtr_test::countLinesContaining(line.log(), timeout_line) >= timeouts + 3;
      },
      60000, 250));
  EXPECT_TRUE(line.daemonRunning());
  EXPECT_EQ(va, line.item(f.faulty_id, "VA"));
  EXPECT_EQ(twin_va, line.item(f.twin_id, "VA"));
  auto torn = tornFiles(line.root());
  EXPECT_TRUE(torn.empty()) << torn.front();

  line.signalSim(SIGUSR1);  // back
  auto before = activity(line.log());
  const bool resumed = waitFor(
      [&] {
        line.forceUpdate();
        auto a = activity(line.log());
        return a[f.twin_id].sessions > before[f.twin_id].sessions &&
               a[f.faulty_id].sessions > before[f.faulty_id].sessions + 1;
      },
      mtr_test::slowTestsEnabled() ? 400000 : 150000, 250);
  auto a = activity(line.log());
  const bool paused = a[f.twin_id].exceptions + a[f.faulty_id].exceptions > 0;
  if (paused && !mtr_test::slowTestsEnabled()) return;  // the rest waits out the 180 s pause
  ASSERT_TRUE(resumed);
  EXPECT_EQ("1\n", line.item(f.twin_id, "Connected"));
  expectAgreesWithTwin(line, f);
  EXPECT_EQ(0, line.stopDaemon(240000));
}

// The simulator dies in the middle of a session and a new one takes the
// line's link: the dead pty is reopened by path and reading goes on.
TEST(MeterFaults, PtyClosedMidSessionThenNewLine) {
  Family f = mercury();
  FaultLine line(f.meters, f.config);
  ASSERT_TRUE(line.startSim());
  ASSERT_TRUE(line.startServer());
  line.startDaemon({f.twin_id, f.faulty_id});
  ASSERT_TRUE(runSessions(line, f, 1, 120000)) << line.log().substr(0, 4000);
  // wait until a session is under way, then pull the line
  ASSERT_TRUE(waitFor(
      [&] {
        line.forceUpdate();
        return line.item(f.faulty_id, "_Read_status") == "current" ||
               line.item(f.twin_id, "_Read_status") == "current";
      },
      60000, 5));
  auto at_pull = activity(line.log());
  line.stopSim();
  auto before = activity(line.log());
  ASSERT_TRUE(line.startSim());
  auto recoveredIn = [&](std::map<std::string, mtr_test::MeterActivity>& a) {
    return a[f.twin_id].sessions > before[f.twin_id].sessions &&
           a[f.faulty_id].sessions > before[f.faulty_id].sessions;
  };
  const int exceptions_before = at_pull[f.twin_id].exceptions + at_pull[f.faulty_id].exceptions;
  // Without the slow set a failed session settles it: its 180 s pause would
  // outlast the wait.
  waitFor(
      [&] {
        line.forceUpdate();
        auto a = activity(line.log());
        return recoveredIn(a) ||
               (!mtr_test::slowTestsEnabled() &&
                a[f.twin_id].exceptions + a[f.faulty_id].exceptions > exceptions_before);
      },
      mtr_test::slowTestsEnabled() ? 300000 : 120000, 250);
  auto a = activity(line.log());
  const bool recovered = recoveredIn(a);
  const int exceptions = a[f.twin_id].exceptions + a[f.faulty_id].exceptions;
  // either the driver's retry already found the new line, or the session
  // failed and the pause is still running
  if (!recovered) {
    EXPECT_GT(exceptions, exceptions_before) << line.log().substr(
        line.log().size() > 6000 ? line.log().size() - 6000 : 0);
  }
  if (recovered || mtr_test::slowTestsEnabled()) {
    EXPECT_TRUE(recovered);
    EXPECT_EQ("1\n", line.item(f.faulty_id, "Connected"));
  }
  EXPECT_TRUE(line.daemonRunning());
  expectAgreesWithTwin(line, f);
}

// The meter's clock jumps an hour forward, then an hour back (each jump is a
// new simulator on the line, the registers unchanged). The daemon follows the
// meter's clock in what it reports, keeps reading, and an archive pass after
// the jump back stores no record twice.
TEST(MeterFaults, MeterClockJumpsForwardAndBack) {
  const bool slow = mtr_test::slowTestsEnabled();
  // With the meter clock a minute before its hour, the next hourly pass comes
  // about two minutes after the first (slow runs only).
  const time_t t0 = time(nullptr);
  const long to_hour = slow ? (3600 - t0 % 3600) - 60 : 0;
  FaultLine line(
      "{\"meters\": [" +
          mercuryMeter(1, "41000001", (",\"clock_offset\": " + std::to_string(to_hour)).c_str()) +
          "]}",
      "{" +
          meterConfig("602", "mercury230", "41000001", "1", "111111", "digit",
                      slow ? "700" : "60") +
          "}");
  // the clock jumps while the meter stays on the line (SIGUSR2)
  ASSERT_TRUE(line.startSim({"--clock-jumps", "3600,-3600"}));
  ASSERT_TRUE(line.startServer());
  line.startDaemon({"602"});
  auto sessions = [&] { return activity(line.log())["602"].sessions; };
  auto clockItem = [&] { return std::stol("0" + line.item("602", "MDateTime")); };
  ASSERT_TRUE(waitFor([&] { return sessions() >= 1; }, 90000, 100)) << line.log().substr(0, 4000);
  EXPECT_NEAR(time(nullptr) + to_hour, clockItem(), 30);

  long shift = 0;
  for (long jump : {3600L, -3600L}) {
    SCOPED_TRACE(jump);
    line.signalSim(SIGUSR2);
    shift += jump;
    const int before = sessions();
    ASSERT_TRUE(waitFor(
        [&] {
          line.forceUpdate();
          return sessions() > before + 1;
        },
        slow ? 300000 : 120000, 250))
        << line.log().substr(line.log().size() > 6000 ? line.log().size() - 6000 : 0);
    EXPECT_NEAR(time(nullptr) + to_hour + shift, clockItem(), 30);
    EXPECT_EQ("229.87\n", line.item("602", "VA"));
    EXPECT_EQ("1\n", line.item("602", "Connected"));
  }
  EXPECT_EQ(0, activity(line.log())["602"].exceptions);
  EXPECT_TRUE(line.daemonRunning());
  auto torn = tornFiles(line.root());
  EXPECT_TRUE(torn.empty()) << torn.front();

  if (slow) {
    // an hourly pass after the jump back: nothing stored twice
    const std::string hour_log = "ReadHourlyArch() PU currTime";
    const int passes = mtr_test::countLinesContaining(line.log(), hour_log);
    ASSERT_TRUE(waitFor(
        [&] {
          line.forceUpdate();
          return mtr_test::countLinesContaining(line.log(), hour_log) > passes;
        },
        300000, 500));
    for (const auto& [name, records] : mtr_test::readArchives(line.archiveDir("602")))
      for (const auto& [ts, values] : records) EXPECT_EQ(1u, values.size()) << name << " " << ts;
  }
  EXPECT_EQ(0, line.stopDaemon(60000));
}

// A meter that stops answering altogether fails its session: the cycle's
// exception, connection state 0, and the 180 s pause holding the turn. Once
// the meter answers again (a fault-free simulator on the line) the pause ends,
// the other meter gets its turn again and the failed one is read.
TEST(MeterFaults, SessionFailsPausesThenResumes) {
  // Timing-sensitive on a loaded machine: run with the slow set.
  if (!mtr_test::slowTestsEnabled()) GTEST_SKIP() << "slow: set MTR_SLOW_TESTS=1";
  Family f = iec();  // its sign-on fails outright on a silent meter
  FaultLine line(f.meters, f.config);
  ASSERT_TRUE(line.startSim({"--fault", std::string("silence:1:") + f.faulty_meter}));
  ASSERT_TRUE(line.startServer());
  line.startDaemon({f.twin_id, f.faulty_id});
  ASSERT_TRUE(
      waitFor([&] { return activity(line.log())[f.faulty_id].exceptions > 0; }, 180000, 100))
      << line.log().substr(line.log().size() > 8000 ? line.log().size() - 8000 : 0);
  EXPECT_NE(std::string::npos,
            line.log().find("CMtrHeatBaseDriver::functionThread(myThreadAttached*) - EXCEPTION!!! "
                            "disconnecting from controller"));
  EXPECT_TRUE(waitFor([&] { return line.item(f.faulty_id, "Connected") == "0\n"; }, 5000));
  EXPECT_EQ("", line.item(f.faulty_id, "VA"));
  EXPECT_TRUE(line.daemonRunning());
  auto torn = tornFiles(line.root());
  EXPECT_TRUE(torn.empty()) << torn.front();
  const auto failed_at = activity(line.log());

  // the failed meter sleeps in its pause: nothing is on the line now
  line.stopSim();
  ASSERT_TRUE(line.startSim());
  if (!mtr_test::slowTestsEnabled()) return;  // the rest waits out the 180 s pause
  // the turn is held through the pause: the twin is not read meanwhile
  sleep(150);
  EXPECT_EQ(failed_at.at(f.twin_id).sessions, activity(line.log())[f.twin_id].sessions);
  ASSERT_TRUE(waitFor(
      [&] {
        line.forceUpdate();
        auto a = activity(line.log());
        return a[f.twin_id].sessions > failed_at.at(f.twin_id).sessions &&
               a[f.faulty_id].sessions > 0;
      },
      150000, 250));
  EXPECT_EQ("1\n", line.item(f.faulty_id, "Connected"));
  expectAgreesWithTwin(line, f);
  EXPECT_EQ(0, line.stopDaemon(60000));
}

}  // namespace
