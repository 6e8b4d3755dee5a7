// Meter faults end to end: whatever the daemon writes for the faulty meter
// must agree with what it writes for its clean twin on the same line.
#include <gtest/gtest.h>
#include <signal.h>

#include <cmath>
#include <ctime>
#include <regex>

#include "fault_support.h"

namespace {

using mtr_test::FaultLine;
using mtr_test::mercuryMeter;
using mtr_test::meterConfig;
using mtr_test::waitFor;

using Traces = std::map<std::string, std::vector<std::string>>;
struct Family {
  const char* name;
  std::string twin_id, faulty_id;  // identifiers base + 1 and base + 2
  const char* faulty_meter;        // the simulator's name of the faulty meter
  // two meters alike in all they measure; the second one gets the faults
  std::string meters, config;
  // what the daemon must log for each injected fault kind (any one of them)
  Traces prescribed;
  std::string twin_frames = "";  // what the simulator logs of the twin's answers
};

Family family(const char* name, int base, const char* faulty_meter, const std::string& twin,
              const std::string& faulty, const std::string& twin_config,
              const std::string& faulty_config, Traces prescribed) {
  const std::string meters = "{\"meters\": [" + twin + ",\n" + faulty + "]}";
  const std::string config = "{" + twin_config + ",\n" + faulty_config + "}";
  return {name,   std::to_string(base + 1), std::to_string(base + 2), faulty_meter, meters,
          config, std::move(prescribed)};
}

// Test names show the family, not the bytes of the struct.
void PrintTo(const Family& f, std::ostream* os) {
  *os << f.name;
}

Family mercury() {
  return family("mercury", 600, "m1", mercuryMeter(2, "41000002"), mercuryMeter(1, "41000001"),
                meterConfig("601", "mercury230", "41000002", "2", "111111", "digit"),
                meterConfig("602", "mercury230", "41000001", "1", "111111", "digit"),
                {{"silence", {"CRSConnector::ReadBufferCycle - Timeout receiving data."}},
                 {"truncate", {"CRSConnector::ReadBufferCycle - Timeout receiving data."}},
                 {"badcrc", {"Request::parseFrame: Invalid checksum in reply"}},
                 {"wrongaddr", {"Request::parseFrame:"}},
                 {"error", {"Request::parseReply: ERROR CODE 2"}}});
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

// NAKs ahead of each of the twin's answers are skipped: the values still match.
Family iec() {
  Family f =
      family("iec61107", 700, "faulty", iecMeter("twin", "1002", "009217010002", R"(, "naks": 12)"),
             iecMeter("faulty", "1001", "009217010001"),
             meterConfig("701", "ce301", "009217010002", "1002", "", "ascii"),
             meterConfig("702", "ce301", "009217010001", "1001", "", "ascii"),
             {{"silence", {"CRSConnector::ReadBuffer - Timeout receiving data."}},
              {"truncate", {"CRSConnector::ReadBuffer - Timeout receiving data."}},
              {"badcrc", {"RESPONSE ERROR. Wrong checksum", "Received packet isn't identifier"}},
              {"wrongaddr",
               {"RESPONSE ERROR. Packet isn't answer to", "Received packet isn't identifier",
                "RESPONSE ERROR. Packet isn't information message"}},
              {"error",
               {"RESPONSE ERROR. Packet isn't answer to",
                "RESPONSE ERROR. Packet isn't information message"}}});
  f.twin_frames = " TX 15 15 15 15 15 15 15 15 15 15 15 15 ";
  return f;
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
  return family("ce2727", 800, "faulty", ce2727Meter("twin", 2727002, 9000002),
                ce2727Meter("faulty", 2727001, 9000001),
                meterConfig("801", "ce2727a", "9000002", "2727002", "12345678", "hex"),
                meterConfig("802", "ce2727a", "9000001", "2727001", "12345678", "hex"),
                {{"silence", {"CAN'T READ HEADER !!!"}},
                 {"truncate", {"CAN'T READ FULL PACKET !!!", "CAN'T READ HEADER !!!"}},
                 {"badcrc", {"CCE2727Connector::calcCRC CRC ERROR"}},
                 {"wrongaddr", {"WRONG ANSWER HEADER"}},
                 {"error", {"return code 3"}}});
}

// Fault kinds the simulator logs having injected.
std::set<std::string> injectedFaults(const std::string& sim_log) {
  static const std::regex fault(R"(fault ([a-z]+))");
  std::set<std::string> out;
  for (std::sregex_iterator it(sim_log.begin(), sim_log.end(), fault), end; it != end; ++it)
    out.insert((*it)[1]);
  return out;
}

// Items that depend only on what the meter measures, not on when it is read.
const char* const kStaticItems[] = {"VA",  "VB",   "VC",   "IA",   "IB",         "IC",      "FREQ",
                                    "PA",  "PAA",  "PBA",  "PCA",  "RAA",        "RBA",     "RCA",
                                    "COS", "COSA", "COSB", "COSC", "MeterModel", "Firmware"};

// Equal static items, energy within what is consumed between reads, nothing torn.
void expectAgreesWithTwin(FaultLine& line, const Family& f) {
  int compared = 0;
  for (const char* name : kStaticItems) {
    std::string faulty = line.item(f.faulty_id, name);
    if (faulty.empty()) continue;
    EXPECT_EQ(line.item(f.twin_id, name), faulty) << f.name << " item " << name;
    ++compared;
  }
  const std::string wa = line.item(f.faulty_id, "WA");
  EXPECT_TRUE(wa.empty() || std::abs(std::stod(line.item(f.twin_id, "WA")) - std::stod(wa)) < 1)
      << "WA " << wa;
  EXPECT_GT(compared, 0) << f.name << ": the faulty meter never got a value through";
  EXPECT_EQ("", line.torn());
}

// Every fault kind at a rate the retries absorb: each leaves its trace, values
// match the twin's, and the twin goes on being read.
class MixedFaults : public ::testing::TestWithParam<Family> {};

TEST_P(MixedFaults, RetriedAwayWithoutWrongValues) {
  const Family& f = GetParam();
  FaultLine line(f.meters, f.config);
  std::vector<std::string> faults;
  for (const char* kind : {"silence", "truncate", "badcrc", "wrongaddr", "error"})
    faults.insert(faults.end(), {"--fault", std::string(kind) + ":0.02:" + f.faulty_meter});
  faults.insert(faults.end(), {"--seed", "7"});
  ASSERT_TRUE(line.start({f.twin_id, f.faulty_id}, faults));

  // A short session may draw no fault at all: go on until one was injected.
  ASSERT_TRUE(line.waitForced(
      [&] {
        return line.exceptions(f.faulty_id) > 0 ||
               (line.sessions(f.faulty_id) >= 2 && !injectedFaults(line.simLog()).empty());
      },
      150000))
      << line.log().substr(0, 4000);
  const int twin_before = line.sessions(f.twin_id);
  if (line.exceptions(f.faulty_id) == 0) {
    // the line is not held: the twin gets its next turn
    EXPECT_TRUE(line.waitForced([&] { return line.sessions(f.twin_id) > twin_before; }, 60000));
  } else {
    // three faults in a row beat the retries: paused, marked disconnected
    EXPECT_TRUE(waitFor([&] { return line.item(f.faulty_id, "Connected") == "0\n"; }, 5000));
  }
  EXPECT_TRUE(line.daemonRunning());

  const auto injected = injectedFaults(line.simLog());
  ASSERT_FALSE(injected.empty()) << "no fault was injected";
  auto traced = [&](const std::string& kind) {
    const std::string log = line.log();
    for (const auto& t : f.prescribed.at(kind))
      if (log.find(t) != log.npos) return true;
    return false;
  };
  // the last fault's trace may follow a read timeout
  for (const auto& kind : injected)
    EXPECT_TRUE(waitFor([&] { return traced(kind); }, 60000, 250))
        << f.name << ": fault " << kind << " injected but none of its lines logged";
  expectAgreesWithTwin(line, f);
  if (!f.twin_frames.empty()) {
    EXPECT_NE(std::string::npos, line.simLog().find(f.twin_frames));
    EXPECT_EQ(0, line.exceptions(f.twin_id));
  }
  // (after an exception the pause would hold an orderly stop for 180 s)
  EXPECT_TRUE(line.exceptions(f.faulty_id) > 0 || line.stopDaemon(60000) == 0);
}

INSTANTIATE_TEST_SUITE_P(Families, MixedFaults, ::testing::Values(mercury(), iec(), ce2727()),
                         [](const auto& info) { return std::string(info.param.name); });

// The simulator dies mid-session and a new one takes the link: reopened by path.
TEST(MeterFaults, PtyClosedMidSessionThenNewLine) {
  const bool slow = mtr_test::slowTestsEnabled();
  Family f = mercury();
  FaultLine line(f.meters, f.config);
  ASSERT_TRUE(line.start({f.twin_id, f.faulty_id}));
  ASSERT_TRUE(line.waitForced(
      [&] { return line.sessions(f.faulty_id) > 0 || line.exceptions(f.faulty_id) > 0; }, 120000))
      << line.log().substr(0, 4000);
  // wait until a session is under way, then pull the line
  ASSERT_TRUE(waitFor(
      [&] {
        line.forceUpdate();
        return line.item(f.faulty_id, "_Read_status") == "current" ||
               line.item(f.twin_id, "_Read_status") == "current";
      },
      60000, 5));
  auto failures = [&] { return line.exceptions(f.twin_id) + line.exceptions(f.faulty_id); };
  const int failures_before = failures();
  line.stopSim();
  const int twin = line.sessions(f.twin_id), faulty = line.sessions(f.faulty_id);
  ASSERT_TRUE(line.startSim());
  auto recovered = [&] {
    return line.sessions(f.twin_id) > twin && line.sessions(f.faulty_id) > faulty;
  };
  // Without the slow set a failed session settles it (its pause outlasts the wait).
  line.waitForced([&] { return recovered() || (!slow && failures() > failures_before); },
                  slow ? 300000 : 120000);
  // the retry found the new line, or the session failed and is paused
  const bool ok = recovered();
  EXPECT_TRUE(ok || (!slow && failures() > failures_before)) << line.logTail();
  EXPECT_TRUE(!ok || line.item(f.faulty_id, "Connected") == "1\n");
  EXPECT_TRUE(line.daemonRunning());
  expectAgreesWithTwin(line, f);
}

// The meter's clock jumps an hour forward, then back (SIGUSR2): the daemon
// follows it, keeps reading, and stores no record twice.
TEST(MeterFaults, MeterClockJumpsForwardAndBack) {
  const bool slow = mtr_test::slowTestsEnabled();
  // Slow runs: a minute before the meter's hour, so a second hourly pass comes soon.
  const time_t t0 = time(nullptr);
  const long to_hour = slow ? (3600 - t0 % 3600) - 60 : 0;
  const std::string offset = ",\"clock_offset\": " + std::to_string(to_hour);
  const std::string config =
      meterConfig("602", "mercury230", "41000001", "1", "111111", "digit", slow ? "700" : "60");
  FaultLine line("{\"meters\": [" + mercuryMeter(1, "41000001", offset) + "]}", "{" + config + "}");
  ASSERT_TRUE(line.start({"602"}, {"--clock-jumps", "3600,-3600"}));
  auto clockItem = [&] { return std::stol("0" + line.item("602", "MDateTime")); };
  ASSERT_TRUE(waitFor([&] { return line.sessions("602") >= 1; }, 90000, 100))
      << line.log().substr(0, 4000);
  EXPECT_NEAR(time(nullptr) + to_hour, clockItem(), 30);

  long shift = 0;
  for (long jump : {3600L, -3600L}) {
    SCOPED_TRACE(jump);
    line.signalSim(SIGUSR2);
    shift += jump;
    const int before = line.sessions("602");
    ASSERT_TRUE(
        line.waitForced([&] { return line.sessions("602") > before + 1; }, slow ? 300000 : 120000))
        << line.logTail();
    EXPECT_NEAR(time(nullptr) + to_hour + shift, clockItem(), 30);
    EXPECT_EQ("229.87\n", line.item("602", "VA"));
    EXPECT_EQ("1\n", line.item("602", "Connected"));
  }
  EXPECT_EQ(0, line.exceptions("602"));
  EXPECT_TRUE(line.daemonRunning());
  EXPECT_EQ("", line.torn());

  if (slow) {
    // an hourly pass after the jump back: nothing stored twice
    auto passes = [&] {
      return mtr_test::countLinesContaining(line.log(), "ReadHourlyArch() PU currTime");
    };
    const int before = passes();
    ASSERT_TRUE(line.waitForced([&] { return passes() > before; }, 300000));
    for (const auto& [name, records] : mtr_test::readArchives(line.archiveDir("602")))
      for (const auto& [ts, values] : records) EXPECT_EQ(1u, values.size()) << name << " " << ts;
  }
  EXPECT_EQ(0, line.stopDaemon(60000));
}

}  // namespace
