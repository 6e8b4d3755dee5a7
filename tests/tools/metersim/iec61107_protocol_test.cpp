// Mode C sessions with the simulated CE30x/CE102M meters: frames and check
// characters worked out by hand, addressing, speed change, session end, NAKs
// and the fault kinds.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "iec61107_client.h"

using namespace iectest;
using simtest::hex;
using simtest::Sim;

namespace {

Bytes withSum(Bytes b) {
  b.push_back(sum7(b, 1, b.size()));
  return b;
}

TEST(Iec61107Check, HandWorkedVectors) {
  struct Case {
    const char* bytes;  // what the check covers: after SOH/STX up to ETX
    uint8_t sum;
  } cases[] = {
      {"42 30 03", 0x75},                          // break: 0x75, where the XOR would give 0x71
      {"52 31 02 45 54 30 50 45 28 29 03", 0x37},  // R1 ET0PE()
      {"50 30 02 28 30 30 30 30 30 30 30 31 29 03", 0x57},  // P0 (00000001)
      {"28 45 52 52 31 32 29 03", 0x20},                    // (ERR12)
      {"50 31 02 28 31 32 33 34 35 36 29 03", 0x0C},        // P1 (123456)
      {"FF FF 03", 0x01},  // carries out of 8 bits are dropped before the mask
  };
  for (const auto& c : cases) {
    Bytes b = hex(c.bytes);
    EXPECT_EQ(c.sum, sum7(b, 0, b.size())) << c.bytes;
  }
  EXPECT_EQ(hex("01 52 31 02 45 54 30 50 45 28 29 03 37"), readCommand("ET0PE"));
  EXPECT_EQ(13u, readCommand("ET0PE").size());
}

const char* kOneMeter = R"({"meters": [{"protocol": "iec61107", "address": "123",
  "energy": {"A+": [1234.5, 0.25, 0, 0]}}]})";

TEST(Iec61107Session, SignOnProgrammingModeAndReads) {
  Sim sim(kOneMeter);
  Client c(sim.device());
  EXPECT_TRUE(c.breakSession().empty()) << "a meter is silent on a break";
  EXPECT_EQ(bytesOf("/EKT5CE301v12\r\n"), c.signOn("123"));
  EXPECT_EQ(hex("01 50 30 02 28 30 30 30 30 30 30 30 31 29 03 57"), c.optionSelect());

  std::string et0pe =
      "ET0PE(1234.750)\r\n(1234.500)\r\n(0.250)\r\n(0.000)\r\n(0.000)\r\n(0.000)\r\n";
  Bytes expected = bytesOf("\x02" + et0pe + "\x03\x31");
  EXPECT_EQ(textOf(expected), textOf(c.read("ET0PE")));
  EXPECT_EQ(hex("02 28 45 52 52 31 32 29 03 20"), c.read("XXXXX")) << "unknown parameter";
  EXPECT_EQ(hex("02 28 45 52 52 31 32 29 03 20"), c.read("ET0QE")) << "a CE301 has no reactive";

  Bytes bad = readCommand("ET0PE");
  bad.back() ^= 0x01;
  EXPECT_EQ(Bytes{NAK}, c.exchange(bad)) << "a wrong check character asks for a repeat";
  EXPECT_EQ(Bytes{NAK}, c.exchange(command('W', '1', "ET0PE(1)"))) << "no writes";
  EXPECT_EQ(textOf(expected), textOf(c.read("ET0PE"))) << "the session goes on";

  EXPECT_TRUE(c.breakSession().empty());
  EXPECT_TRUE(c.read("ET0PE").empty()) << "the break ended programming mode";
  EXPECT_TRUE(c.optionSelect().empty()) << "an option select needs a sign-on first";
  ASSERT_FALSE(c.signOn("").empty()) << "a lone meter answers a sign-on without address";
  EXPECT_TRUE(c.read("ET0PE").empty()) << "identified is not yet programming mode";
  EXPECT_FALSE(c.optionSelect().empty());
  EXPECT_FALSE(c.read("ET0PE").empty());
}

TEST(Iec61107Session, AddressingOnASharedLine) {
  Sim sim(R"({"meters": [
    {"protocol": "iec61107", "address": "1001", "serial": "009217001001"},
    {"protocol": "iec61107", "address": "1002", "model": "ce102m", "serial": "011734002"}]})");
  Client c(sim.device());
  EXPECT_TRUE(c.signOn("").empty()) << "two meters would answer at once";
  EXPECT_TRUE(c.signOn("9999").empty());
  EXPECT_TRUE(c.signOn("100").empty()) << "addresses match whole";
  EXPECT_EQ(bytesOf("/EKT5CE102Mv01\r\n"), c.signOn("1002"));
  Bytes p0 = c.optionSelect();
  EXPECT_EQ(textOf(withSum(bytesOf("\x01P0\x02(011734002)\x03"))), textOf(p0));
  EXPECT_EQ("SNUMB(011734002)\r\n", c.body("SNUMB"));
  ASSERT_TRUE(c.program("1001"));
  EXPECT_EQ("SNUMB(009217001001)\r\n", c.body("SNUMB"));
  // A sign-on to another meter ends the first one's session.
  EXPECT_FALSE(c.signOn("1002").empty());
  EXPECT_TRUE(c.read("SNUMB").empty());
}

TEST(Iec61107Session, DataReadoutMode) {
  Sim sim(kOneMeter);
  Client c(sim.device());
  ASSERT_FALSE(c.signOn("123").empty());
  Bytes r = c.optionSelect('5', '0');
  ASSERT_TRUE(checkOk(r)) << textOf(r);
  std::string text(r.begin() + 1, r.end() - 2);
  EXPECT_EQ(0u, text.find("ET0PE(1234.750)\r\nET0PE(1234.500)\r\n")) << text;
  EXPECT_EQ(text.size() - 3, text.find("!\r\n")) << text;
  EXPECT_TRUE(c.read("ET0PE").empty()) << "after a readout the meter is idle again";
}

TEST(Iec61107Session, PasswordCommand) {
  Sim sim(R"({"meters": [
    {"protocol": "iec61107", "address": "7", "model": "ce308", "password": "123456"},
    {"protocol": "iec61107", "address": "8", "model": "ce308"}]})");
  Client c(sim.device());
  ASSERT_TRUE(c.program("7"));
  EXPECT_EQ(Bytes{NAK}, c.exchange(hex("01 50 31 02 28 31 31 31 31 31 31 29 03 7D")));
  EXPECT_EQ(Bytes{ACK}, c.exchange(hex("01 50 31 02 28 31 32 33 34 35 36 29 03 0C")));
  ASSERT_TRUE(c.program("8"));
  EXPECT_EQ(Bytes{ACK}, c.exchange(command('P', '1', "(777777)"))) << "no password set: any";
}

TEST(Iec61107Session, EndsAfterInactivity) {
  Sim sim(R"({"meters": [{"protocol": "iec61107", "session_timeout": 0.6}]})");
  Client c(sim.device());
  ASSERT_TRUE(c.program(""));
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_FALSE(c.read("SNUMB").empty()) << "each request restarts the timer";
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_FALSE(c.read("SNUMB").empty());
  std::this_thread::sleep_for(std::chrono::milliseconds(900));
  EXPECT_TRUE(c.read("SNUMB").empty()) << "back to idle after the timeout";
}

TEST(Iec61107Line, NaksBeforeAnswersAndRepeatOnNak) {
  Sim sim(R"({"meters": [{"protocol": "iec61107", "naks": 2, "serial": "42"}]})");
  Client c(sim.device());
  EXPECT_EQ(bytesOf("\x15\x15/EKT5CE301v12\r\n"), c.signOn(""));
  // 'P' '0' STX '(' '4' '2' ')' ETX: 50+30+02+28+34+32+29+03 = 0x13C -> 0x3C
  EXPECT_EQ(hex("15 15 01 50 30 02 28 34 32 29 03 3C"), c.optionSelect());
  Bytes a = c.read("SNUMB");
  EXPECT_EQ("<NAK><NAK>" + textOf(dataAnswer("SNUMB(42)\r\n")), textOf(a));
  EXPECT_EQ(textOf(a), textOf(c.exchange(Bytes{NAK}))) << "a NAK from the master repeats";
}

TEST(Iec61107Line, SpeedChangesAfterOptionSelect) {
  // The meter offers 9600 Bd; the line starts at 1200 Bd as the simulator's speed.
  Sim sim(R"({"meters": [{"protocol": "iec61107", "address": "5"},
                         {"protocol": "iec61107", "address": "6", "speed": 4800}]})",
          {"--baud", "1200"});
  Client c(sim.device(), B1200);
  EXPECT_EQ(bytesOf("/EKT4CE301v12\r\n"), c.signOn("6")) << "the speed character offered";
  EXPECT_TRUE(c.optionSelect('5').empty()) << "faster than the meter offers";
  EXPECT_EQ(bytesOf("/EKT5CE301v12\r\n"), c.signOn("5"));
  Bytes p0 = c.optionSelect('5');
  EXPECT_TRUE(checkOk(p0)) << "the answer still comes at the old speed: " << textOf(p0);
  EXPECT_TRUE(c.read("SNUMB").empty()) << "the meter now listens at 9600 Bd";
  c.port().setSpeed(B9600);
  EXPECT_EQ("SNUMB(00000001)\r\n", c.body("SNUMB"));
  EXPECT_TRUE(c.breakSession().empty());
  EXPECT_TRUE(c.signOn("5").empty()) << "after the break the meter is back at 1200 Bd";
  c.port().setSpeed(B1200);
  EXPECT_FALSE(c.signOn("5").empty());
  // Staying at the speed it already runs at is an option select like any other.
  EXPECT_TRUE(checkOk(c.optionSelect('2')));
  EXPECT_EQ("SNUMB(00000001)\r\n", c.body("SNUMB"));
}

TEST(Iec61107Line, ParityBitsAreIgnored) {
  // A master at 7E1 on a real line sends characters with a parity bit on top.
  Sim sim(kOneMeter);
  Client c(sim.device());
  auto even = [](Bytes b) {
    for (auto& x : b)
      if (__builtin_parity(x)) x |= 0x80;
    return b;
  };
  EXPECT_EQ(bytesOf("/EKT5CE301v12\r\n"), c.exchange(even(bytesOf("/?123!\r\n"))));
  EXPECT_TRUE(checkOk(c.exchange(even(Bytes{ACK, '0', '5', '1', '\r', '\n'}))));
  EXPECT_TRUE(checkOk(c.exchange(even(readCommand("SNUMB")))));
}

TEST(Iec61107Faults, EachKind) {
  const std::string meters = R"({"meters": [{"protocol": "iec61107", "address": "3"}]})";
  Bytes ident = bytesOf("/EKT5CE301v12\r\n");
  Bytes p0 = hex("01 50 30 02 28 30 30 30 30 30 30 30 31 29 03 57");
  Bytes snumb = dataAnswer("SNUMB(00000001)\r\n");
  Bytes error = hex("02 28 45 52 52 30 32 29 03 1F");  // (ERR02)
  struct Case {
    const char* fault;
    Bytes ident, p0, data;  // what the meter sends instead
  } cases[] = {
      {"error:1", error, error, error},
      // Another meter's identification, another serial in the programming
      // answer, an answer that names another parameter.
      {"wrongaddr:1", bytesOf("/EKT5CE102Mv01\r\n"), withSum(bytesOf("\x01P0\x02(00000002)\x03")),
       dataAnswer("VOLTA(00000001)\r\n")},
      {"silence:1", {}, {}, {}},
  };
  for (const auto& k : cases) {
    Sim sim(meters, {"--fault", k.fault});
    Client c(sim.device());
    EXPECT_EQ(textOf(k.ident), textOf(c.signOn("3"))) << k.fault;
    EXPECT_EQ(textOf(k.p0), textOf(c.optionSelect())) << k.fault;
    EXPECT_EQ(textOf(k.data), textOf(c.read("SNUMB"))) << k.fault;
  }
  {
    Sim sim(meters, {"--fault", "badcrc:1"});
    Client c(sim.device());
    Bytes i = c.exchange(bytesOf("/?3!\r\n"), 600);
    ASSERT_EQ(ident.size(), i.size());
    EXPECT_EQ(ident.back() ^ 0x25, i.back()) << "the line end is garbled";
    Bytes p = c.optionSelect();
    ASSERT_EQ(p0.size(), p.size());
    EXPECT_FALSE(checkOk(p));
    EXPECT_LT(p.back(), 0x80) << "the check character stays 7-bit";
    Bytes d = c.read("SNUMB");
    ASSERT_EQ(snumb.size(), d.size());
    EXPECT_EQ(Bytes(snumb.begin(), snumb.end() - 1), Bytes(d.begin(), d.end() - 1));
    EXPECT_FALSE(checkOk(d));
  }
  {
    Sim sim(meters, {"--fault", "truncate:1"});
    Client c(sim.device());
    c.signOn("3");
    c.optionSelect();
    Bytes d = c.exchange(readCommand("SNUMB"), 600);
    ASSERT_FALSE(d.empty());
    EXPECT_LT(d.size(), snumb.size());
    EXPECT_EQ(Bytes(snumb.begin(), snumb.begin() + static_cast<long>(d.size())), d);
  }
  {
    Sim sim(meters, {"--fault", "delay:1", "--late", "700"});
    Client c(sim.device());
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ident, c.exchange(bytesOf("/?3!\r\n"), 2000));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(650));
  }
}

}  // namespace
