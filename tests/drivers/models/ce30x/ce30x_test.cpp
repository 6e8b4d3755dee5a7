#include "drivers/models/ce30x/ce30x.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>

#include "base/logger.h"
#include "drivers/models/ce30x/ce_models.h"
#include "support/test_support.h"
#include "transport/serial_peers.h"

namespace {

using Strings = std::vector<std::string>;

const time_t kNow = 1710419400;    // 2024-03-14 12:30:00 UTC
const time_t kDay13 = 1710288000;  // 2024-03-13 00:00:00 UTC
const time_t kDay12 = kDay13 - 86400;

// First byte, body, ETX and the 7-bit sum, off by `delta`.
std::string Framed(const std::string& body, char first = '\x02', int delta = 0) {
  std::string f = first + body + "\x03" + '\0';
  f.back() = static_cast<char>(iec61107::Sum7Bcc(reinterpret_cast<const uint8_t*>(f.data()),
                                                 static_cast<uint16_t>(f.size())) +
                               delta);
  return f;
}

// A CE meter decoding each written frame; what it heard is kept as text.
class MeterDouble : public CConnector {
 public:
  int32_t WriteBuffer(const uint8_t* buf, uint16_t len, bool) override {
    const std::string f(reinterpret_cast<const char*>(buf), len);
    const size_t n = f.size();
    if (f == "\x01\x42\x30\x03\x75") {
      heard.push_back("break");
    } else if (n >= 5 && f.compare(0, 2, "/?") == 0 && f.compare(n - 3, 3, "!\r\n") == 0) {
      heard.push_back("signon " + f.substr(2, n - 5));
      answer("signon", ident);
    } else if (f == "\x06\x30\x35\x31\r\n") {
      heard.push_back("option 051");
      answer("option", Framed("P0\x02(12345678)", '\x01'));
    } else if (n >= 6 && f[3] == '\x02' && f == Framed(f.substr(1, n - 3), '\x01')) {
      const std::string cmd = f.substr(1, 2), inside = f.substr(4, n - 6);
      heard.push_back((cmd == "P1" ? "password " : cmd == "R1" ? "read " : "junk ") + inside);
      auto it = answers.find(inside);
      if (cmd == "P1") input += inside == "(" + password + ")" ? "\x06" : "\x15";
      if (cmd != "R1") return len;
      answer(inside, it == answers.end() ? Framed("(ERR12)")
                                         : Framed(inside.substr(0, inside.find('(')) + it->second));
    } else {
      heard.push_back("junk");
    }
    return len;
  }
  int32_t ReadBuffer(uint8_t* buf, uint16_t len, bool) override {
    if (input.empty() || len == 0) return -1;
    size_t n = std::min<size_t>(len, input.size());
    std::copy(input.begin(), input.begin() + static_cast<long>(n), buf);
    input.erase(0, n);
    return static_cast<int32_t>(n);
  }
  int32_t ReadBufferCycle(uint8_t*, uint16_t, bool, uint32_t) override { return -1; }
  bool open_device() override { return true; }
  void close_device() override {}
  int FlushBuffer() override { return input.clear(), 0; }
  int DrainBuffer() override { return 0; }
  void SetTimeout(uint32_t) override {}
  Strings takeReads() {
    Strings reads;
    for (const auto& h : heard)
      if (h.compare(0, 5, "read ") == 0) reads.push_back(h.substr(5));
    heard.clear();
    return reads;
  }

  std::string ident = "/EKT5CE303v12\r\n", password, input;
  std::map<std::string, std::string> answers;  // "NAME(args)" -> what follows NAME up to ETX
  std::map<std::string, std::deque<std::string>> faults;  // raw answers instead, one per request
  Strings heard;

 private:
  void answer(const std::string& key, const std::string& normal) {
    auto& q = faults[key];
    input += q.empty() ? normal : q.front();
    if (!q.empty()) q.pop_front();
  }
};

class TestDriver : public CmtrGost61107 {
 public:
  explicit TestDriver(const SettingsMap& params) {
    settings.meter_number = 7;
    settings.serial_text = "S1";
    save_init_params(params);
  }
  void setPassword(const std::string& p) { settings.password = p; }
};

std::string valueOf(const MeasuredValueList& list, uint32_t code, uint32_t kind, int sys = 0,
                    int32_t ts = -1) {
  for (const auto& v : list)
    if (v.param_code == code && v.kind == kind && v.sys == sys && (ts < 0 || v.timestamp == ts))
      return v.value;
  return "<none>";
}

template <class F>
std::string errorOf(F f) {
  try {
    f();
  } catch (const SerialErrorException& e) {
    return e.message();
  }
  return "<no error>";
}

class Ce : public ::testing::Test {
 protected:
  void SetUp() override {
    tzset();
    peers::logLevel(TL_DEBUG);
    // clang-format off
    meter_->answers = {
        {"DATE_()", "(04.14.03.24)\r\n"}, {"TIME_()", "(12:30:00)\r\n"},
        {"WATCH()", "(12:30:00)(14.03.24)\r\n"},
        {"ET0PE()", "(16.8750484)\r\n(9.9876463)\r\n(6.8874021)\r\n(0.0)\r\n(0.0)\r\n(0.0)\r\n"},
        {"ET0QE()", "(1.5)\r\n(1.0)\r\n(0.5)\r\n(0)\r\n(0)\r\n(0)\r\n"},
        {"VOLTA()", "(229.94)\r\nVOLTA(230.12)\r\nVOLTA(229.71)\r\n"},
        {"CURRE()", "(1.23)\r\n(0.00)\r\n(2.5)\r\n"}, {"POWEP()", "(0.851)\r\n"},
        {"POWPP()", "(0.28)\r\n(0.0)\r\n(0.571)\r\n"}, {"POWEQ()", "(0.12)\r\n"},
        {"POWPQ()", "(0.04)\r\n(0.0)\r\n(0.08)\r\n"}, {"COS_f()", "(0.98)\r\n(0.99)\r\n()\r\n(0.97)\r\n"},
        {"FREQU()", "(49.98)\r\n"}, {"SNUMB()", "(009217054001234)\r\n"},
        {"VINFO()", "(0112345678)\r\n(v5.1)\r\n(CE102M S7 145-JV)\r\n"}, {"ID_FW()", "(v12.01)\r\n"},
        {"IDENT()", "(CE303 S31 543-JAVZ)\r\n"}, {"FCCUR()", "(40)\r\n"}, {"FCVOL()", "(1)\r\n"},
        {"TAVER()", "(30)\r\n"}, {"GRF01()", "(07:00,1)\r\n(00:00,2)\r\n(23:00,2)\r\n"},
        {"GRF02()", "(00:00,3)\r\n"}, {"SESON()", "(01.10,2,2,2,2)\r\n(01.04,1,2,2,2)\r\n"},
        {"EXDAY()", "(08.03,2)\r\n(01.01,2)\r\n"}};
    // clang-format on
    auto& a = meter_->answers;
    for (int n = 3; n <= 36; ++n)
      a["GRF" + std::string(n < 10 ? "0" : "") + std::to_string(n) + "()"] = "()\r\n";
    for (const char* j : {"ACCES", "PHASE", "JSTAT", "JOVER", "DENIA", "JCORT", "ELOCK", "JIOVE"})
      a[std::string(j) + "()"] = "()\r\n";
  }

  TestDriver& make(const SettingsMap& params = {
                       {"net_address", "301"}, {"pu_tz", "3"}, {"srv_tz", "3"}}) {
    log_ = {};
    driver_ = std::make_unique<TestDriver>(params);
    driver_->setClock(&clock_);
    driver_->SaveConnector(meter_);
    return *driver_;
  }
  // A driver past init, what the meter heard so far forgotten.
  TestDriver& ready(const std::string& ident,
                    const SettingsMap& params = {{"pu_tz", "3"}, {"srv_tz", "3"}}) {
    meter_->ident = ident;
    EXPECT_TRUE(make(params).init());
    meter_->heard.clear();
    return *driver_;
  }
  bool logged(const std::string& line) { return log_.has(line); }

  peers::LogSince log_;
  mtr_test::ScopedEnv tz_{"TZ", "UTC"};
  mtr_test::FakeClock clock_{kNow};
  std::shared_ptr<MeterDouble> meter_ = std::make_shared<MeterDouble>();
  std::unique_ptr<TestDriver> driver_;
};

// The model comes from the identification; each model has its own requests.
TEST_F(Ce, ModelChoiceAndRequestSequences) {
  const Strings cur30x = {"DATE_()", "TIME_()", "ET0PE()", "ET0QE()", "VOLTA()", "CURRE()",
                          "POWEP()", "POWPP()", "POWEQ()", "POWPQ()", "COS_f()", "FREQU()"};
  const Strings sys30x = {"DATE_()", "TIME_()", "SNUMB()", "ID_FW()", "IDENT()",
                          "FCCUR()", "FCVOL()", "TAVER()", "SESON()", "EXDAY()"};
  const Strings sys308 = {"DATE_()", "TIME_()", "SNUMB()", "ID_FW()",
                          "IDENT()", "TAVER()", "SESON()", "EXDAY()"};
  const Strings cur102 = {"WATCH()", "ET0PE()", "VOLTA()", "CURRE()",
                          "POWEP()", "COS_f()", "FREQU()"};
  const Strings sys102 = {"WATCH()", "VINFO()", "SESON()", "EXDAY()"};
  struct Case {
    const char* ident;
    const std::type_info* cls;  // null: unknown
    bool ce301;
    Strings current, system;  // system: after GRF01 to GRF36
  } cases[] = {
      {"/EKT5CE102Mv01\r\n", &typeid(CCE102M), false, cur102, sys102},
      {"/EKT5CE308v1\r\n", &typeid(CCE308), false, cur30x, sys308},  // contains "CE30" too
      {"/EKT3CE301v12\r\n", &typeid(CCE30X), true, cur30x, sys30x},  // reactive names too
      {"xEKT5CE301\r\n", &typeid(CCE30X), true, cur30x, sys30x},     // by its fifth character
      {"/EKT5CE201v1\r\n", nullptr, false, {}, {}},
  };
  for (const auto& c : cases) {
    meter_->ident = c.ident;
    meter_->heard.clear();
    TestDriver& d = make();
    if (!c.cls) {
      EXPECT_EQ(errorOf([&] { d.init(); }), "CmtrGost66107::init() - CAN'T INIT");
      EXPECT_TRUE(
          logged("[7][S1] cGost61107::init, CRITICAL EXCEPTION!!! unknown driver model. "
                 "driver model is CE201v1"));
      continue;
    }
    ASSERT_TRUE(d.init()) << c.ident;
    EXPECT_EQ(d.modelName(), std::string(c.ident + 5, strlen(c.ident) - 7));
    EXPECT_TRUE(d.model() && typeid(*d.model()) == *c.cls) << c.ident;
    auto* ce3 = dynamic_cast<CCE30X*>(d.model());
    EXPECT_EQ(ce3 && ce3->isCE301(), c.ce301) << c.ident;
    // identification, then programming mode by the model object
    EXPECT_EQ(meter_->heard, Strings({"break", "signon 301", "break", "signon 301", "option 051"}));
    meter_->heard.clear();
    d.get_all_curtime_cur_integ_values();
    EXPECT_EQ(meter_->heard.at(0), "break");  // programming mode again first
    EXPECT_EQ(meter_->takeReads(), c.current) << c.ident;
    d.get_all_system_values();
    Strings reads = meter_->takeReads();
    ASSERT_GT(reads.size(), 36u) << c.ident;
    EXPECT_EQ(reads[0] + reads[35], "GRF01()GRF36()");
    EXPECT_EQ(Strings(reads.begin() + 36, reads.end()), c.system) << c.ident;
  }
}

TEST_F(Ce, IdentificationFailures) {
  meter_->ident = "";  // silence disconnects at once
  EXPECT_THROW(make().init(), CDisconnectException);
  EXPECT_EQ(meter_->heard.size(), 2u);
  meter_->ident = "xEKT3CE301\r\n";  // no identification, three times
  meter_->heard.clear();
  EXPECT_THROW(make().init(), CDisconnectException);
  EXPECT_EQ(meter_->heard.size(), 6u);
  EXPECT_EQ(log_.count("[7][S1]cGost61107::init() - Initialization failed. "
                       "Received packet isn't identifier"),
            3);
  EXPECT_TRUE(logged("[7][S1]cGost61107::init() - CAN'T SEND REQUEST !!!"));
  meter_->ident = "/EKT5CE301\r\n";  // identified, but programming mode is refused
  meter_->faults["option"].assign(3, Framed("P0\x02(12345678)", '\x01', 1));
  EXPECT_EQ(errorOf([&] { make().init(); }), "CmtrGost66107::init() - CAN'T INIT");
  // a CE308 sends its password; a refused one is reported, reading goes on
  meter_->password = "777";
  meter_->ident = "/EKT5CE308v1\r\n";
  TestDriver& d = make();
  d.setPassword("777");
  ASSERT_TRUE(d.init());
  EXPECT_EQ(meter_->heard.back(), "password (777)");
  d.setPassword("778");
  EXPECT_TRUE(d.init());
  EXPECT_TRUE(logged("[7][S1] CCE308::Init() - PASSWORD NOT ACCEPTED !!!"));
}

TEST_F(Ce, TimestampsCarryTheTimeZoneDifference) {
  // the meter's clock is two hours east of the controller's
  TestDriver& d = ready("/EKT5CE303v12\r\n", {{"pu_tz", "5"}, {"srv_tz", "3"}});
  timestamps ts;
  ASSERT_TRUE(d.GetTimestamps(ts));
  EXPECT_EQ(ts.curr_time, kNow - 7200);
  EXPECT_EQ(meter_->takeReads(), Strings({"DATE_()", "TIME_()"}));
  meter_->answers["TIME_()"] = "(25:00:00)\r\n";
  EXPECT_EQ(errorOf([&] { d.GetTimestamps(ts); }), "CmtrGost66107::GetTimestamps()");
}

TEST_F(Ce, AnswerFaults) {
  TestDriver& d = ready("/EKT5CE303v12\r\n");
  meter_->faults["POWEP()"] = {Framed("POWEP(0.851)\r\n", '\x02', 1)};
  meter_->faults["ET0PE()"] = {"\x15" + Framed("ET0PE" + meter_->answers["ET0PE()"])};
  meter_->faults["FREQU()"] = {"", Framed("FREQU(4x.98)\r\n")};
  // an answer to another name, or no information message: programming mode again
  meter_->faults["VOLTA()"] = {Framed("CURRE(1)\r\n")};
  meter_->faults["CURRE()"] = {Framed("P0\x02(12345678)", '\x01')};
  MeasuredValueList list = d.get_all_curtime_cur_integ_values();
  EXPECT_EQ(list.size(), 30u);
  EXPECT_EQ(valueOf(list, 49, Current), "<none>");
  EXPECT_EQ(std::count(meter_->heard.begin(), meter_->heard.end(), "break"), 3);
  // an error to a name answered before: programming mode again, then the value
  meter_->faults["CURRE()"] = {Framed("(ERR02)")};
  EXPECT_EQ(d.get_all_curtime_cur_integ_values().size(), 31u);
  EXPECT_EQ(std::count(meter_->heard.begin(), meter_->heard.end(), "break"), 5);
  Strings reads = meter_->takeReads();
  // a wrong check byte and a silence are asked again, a bad value is not
  EXPECT_EQ(std::count(reads.begin(), reads.end(), "POWEP()"), 3);
  EXPECT_EQ(std::count(reads.begin(), reads.end(), "ET0PE()"), 2);
  EXPECT_EQ(std::count(reads.begin(), reads.end(), "FREQU()"), 3);
  EXPECT_EQ(std::count(reads.begin(), reads.end(), "CURRE()"), 4);
  EXPECT_EQ(std::count(reads.begin(), reads.end(), "VOLTA()"), 3);
  EXPECT_TRUE(logged("Packet isn't answer to VOLTA. Packet is answer to CURRE"));
  EXPECT_TRUE(logged("[7][S1] CCE102M::sendRequest() - RESPONSE ERROR. Packet isn't information"));
  EXPECT_TRUE(logged("[7][S1] CCE102M::sendRequest() - Bad value (4x.98) in answer to FREQU"));
  EXPECT_TRUE(logged("Packet isn't answer to CURRE. Packet is answer to (ERR02)"));
  // STX "POWEP(0.851)" CR LF ETX sums to 0x72 (added by hand); the meter sent 0x73
  EXPECT_TRUE(
      logged("[7][S1] CCE102M::sendRequest() - RESPONSE ERROR. Wrong checksum. "
             "Calculated 72 Received 73"));

  // three failures end the operation at that parameter
  meter_->faults["CURRE()"].assign(3, "");
  EXPECT_EQ(errorOf([&] { d.get_all_curtime_cur_integ_values(); }),
            "CmtrGost66107::get_all_curtime_cur_integ_values()");
  EXPECT_EQ(meter_->takeReads().back(), "CURRE()");
  EXPECT_TRUE(logged("[7][S1] CCE102M::sendRequest() - CAN'T SEND REQUEST !!!"));
}

// By hand; 'c' current, 's' system values, 'h' then hours 00:00..09:00 of the 14th.
TEST_F(Ce, AnswerVariantsPerParser) {
  struct Want {
    uint32_t code, kind;
    int sys;
    int32_t ts;  // -1: any
    const char* value;
  };
  struct Row {
    const char* what;
    char op;
    std::map<std::string, std::string> answers;
    std::vector<Want> wants;
    Strings warnings;  // each logged once; no other "Bad value"
    size_t count = 0;  // of the values read; 0: unchecked
  };
  const int32_t d14 = kDay13 + 86400;
  const std::string days = "[[25200,1],[82800,2]]";
  const std::string season =
      "[{\"from\":101,\"to\":1231,\"from_s\":\"01.01\",\"to_s\":\"31.12\","
      "\"days\":{\"work\":" +
      days + ",\"sat\":" + days + ",\"sun\":" + days + ",\"hol\":" + days + "}}]";
  const std::string empty_season =
      "[{\"from\":101,\"to\":1231,\"from_s\":\"01.01\",\"to_s\":\"31.12\","
      "\"days\":{\"work\":[],\"sat\":[],\"sun\":[],\"hol\":[]}}]";
  std::string slots26;
  for (int i = 1; i <= 26; ++i) slots26 += "(" + std::to_string(i) + ")";
  // clang-format off
  const Row rows[] = {
      {"a CE303: tariffs to sys, phases to the indexes after the first", 'c', {},
       {{50, Current, 1, -1, "9.9876463"}, {50, Current, 5, -1, "0.0"}, {52, Current, 2, -1, "0.5"},
        {40, Current, 0, -1, "230.12"}, {41, Current, 0, -1, "229.71"},
        {47, Current, 0, -1, "<none>"}, {48, Current, 0, -1, "0.97"},
        {49, Current, 0, -1, "49.98"}, {85, System, 0, -1, "1710419400"}}, {}, 31},
      {"a CE303's system values", 's', {},
       {{74, System, 0, -1, "009217054001234"}, {73, System, 0, -1, "v12.01"},
        {72, System, 0, -1, "CE303 S31 543-JAVZ"}, {60, System, 0, -1, "40"},
        {61, System, 0, -1, "1"}, {62, System, 0, -1, "30"},
        {63, System, 0, -1,
         "[{\"from\":401,\"to\":930,\"from_s\":\"01.04\",\"to_s\":\"30.09\",\"days\":{"
         "\"work\":[[0,2],[25200,1],[82800,2]],\"sat\":[[0,3]],\"sun\":[[0,3]],\"hol\":[[0,3]]}},"
         "{\"from\":1001,\"to\":331,\"from_s\":\"01.10\",\"to_s\":\"31.03\",\"days\":{"
         "\"work\":[[0,3]],\"sat\":[[0,3]],\"sun\":[[0,3]],\"hol\":[[0,3]]}}]"}}, {}, 9},
      {"no day of the week, four-digit year, units, COS_f of the phases, two tariffs", 'c',
       {{"DATE_()", "(14.03.2024)"}, {"VOLTA()", "(229.94*V)(230.12*V)"},
        {"COS_f()", "(0.9)(0.8)(0.7)"}, {"ET0PE()", "(16.8)(9.9)"}},
       {{85, System, 0, -1, "1710419400"}, {39, Current, 0, -1, "229.94"},
        {40, Current, 0, -1, "230.12"}, {41, Current, 0, -1, "<none>"},
        {45, Current, 0, -1, "<none>"}, {46, Current, 0, -1, "0.9"}, {48, Current, 0, -1, "0.7"},
        {50, Current, 1, -1, "9.9"}, {50, Current, 2, -1, "<none>"}}, {}},
      {"an unreadable phase or date costs itself", 'c',
       {{"VOLTA()", "(229.94)(2x0)(229.71)"}, {"DATE_()", "(04.14.13.24)"}},
       {{39, Current, 0, -1, "229.94"}, {40, Current, 0, -1, "<none>"},
        {41, Current, 0, -1, "229.71"}, {85, System, 0, -1, "<none>"}},
       {"Bad value (229.94)(2x0)(229.71) in answer to VOLTA",
        "Bad value (04.14.13.24) in answer to DATE_"}},
      {"schedule hh.mm.tt, one schedule a season, padding", 's',
       {{"GRF01()", "(07.00.01)(23.00.02)"}, {"SESON()", "(01.01.01)(00.00.00)"},
        {"EXDAY()", "(08.03.02)"}, {"TAVER()", "(30*min)"}},
       {{63, System, 0, -1, season.c_str()}, {62, System, 0, -1, "30"},
        {65, System, 0, -1,
         "[{\"from\":308,\"to\":308,\"from_s\":\"08.03\",\"to_s\":\"08.03\",\"days\":[[0,3]]}]"}},
       {}},
      {"schedule with seconds, an unused slot", 's',
       {{"GRF01()", "(07:00:00,1)(00:00:00,0)(23:00:00,2)"}, {"SESON()", "(01.01,1,1,1,1)"}},
       {{63, System, 0, -1, season.c_str()}}, {}},
      {"an unreadable schedule costs itself", 's',
       {{"GRF01()", "(07.0x.01)"}, {"SESON()", "(01.01,1,1,1,1)"}},
       {{63, System, 0, -1, empty_season.c_str()}, {74, System, 0, -1, "009217054001234"}},
       {"Bad value (07.0x.01) in answer to GRF01"}},
      {"zero records, time first, zero end", 'h',
       {{"ACCES()", "(00.00.00,00:00:00)(14.03.24,08:15:00)"},
        {"PHASE()", "(14.03.24,01:00:00,00.00.00,00:00:00)"}, {"JSTAT()", "(08:00:00,14.03.24)"},
        {"DATGR()", "(00.00.00)"}},
       {{69, Hourly, 0, d14 + 8 * 3600 + 900, "1024"}, {69, Hourly, 0, d14 + 3600, "2048"},
        {69, Hourly, 0, d14 + 8 * 3600, "8192"}}, {}},
      {"half hours of the day in progress; an unreadable slot costs its hour", 'h',
       {{"DATGR()", "(14.03.24)"}, {"GRAPE(14.03.24)", "(1)(2)(x)(4)(5)"},
        {"GRAQE(14.03.24)", "(0.5)(0.25)"}},
       {{54, Hourly, 0, d14, "1.5"}, {54, Hourly, 0, d14 + 3600, "<none>"},
        {54, Hourly, 0, d14 + 7200, "<none>"}, {56, Hourly, 0, d14, "0.375"}},
       {"Bad value (1)(2)(x)(4)(5) in answer to GRAPE"}},
      {"quarter hours, a missing slot", 'h',
       {{"TAVER()", "(15)"}, {"DATGR()", "(14.03.24)"},
        {"GRAPE(14.03.24)", "(1)(2)(3)(4)(5)()(7)(8)"}},
       {{54, Hourly, 0, d14, "2.5"}, {54, Hourly, 0, d14 + 3600, "<none>"}}, {}},
      {"no averaging time: 26 slots by 12:30 are half hours", 'h',
       {{"TAVER()", "(x)"}, {"DATGR()", "(14.03.24)"}, {"GRAPE(14.03.24)", slots26}},
       {{54, Hourly, 0, d14, "1.5"}, {54, Hourly, 0, d14 + 9 * 3600, "19.5"}},
       {"Bad value (x) in answer to TAVER", "No averaging time: GRAPE taken as 2 per hour"}},
  };
  // clang-format on
  for (const Row& r : rows) {
    SetUp();
    peers::logLevel(TL_WARNING);  // each log line costs an fsync
    for (const auto& a : r.answers) meter_->answers[a.first] = a.second + "\r\n";
    TestDriver& d = ready("/EKT5CE303v12\r\n");
    MeasuredValueList list;
    if (r.op == 'c') {
      list = d.get_all_curtime_cur_integ_values();
    } else {
      list = d.get_all_system_values();
      timestamps ts;
      if (r.op == 'h' && d.GetTimestamps(ts)) {
        list.clear();
        d.get_arch_values(Hourly, d14, d14 + 9 * 3600, list);
      }
    }
    EXPECT_TRUE(!r.count || r.count == list.size()) << r.what << " " << list.size();
    for (const auto& v : list)  // current values carry the time of reading
      EXPECT_TRUE(!r.count || r.op != 'c' ||
                  (v.opc_quality == 192 && std::abs(v.timestamp - kNow) <= 5))
          << r.what << " " << v.param_code;
    for (const Want& w : r.wants)
      EXPECT_EQ(valueOf(list, w.code, w.kind, w.sys, w.ts), w.value) << r.what << " " << w.code;
    for (const auto& w : r.warnings) EXPECT_EQ(log_.count(w), 1) << r.what << ": " << w;
    EXPECT_EQ(log_.count("Bad value"),
              std::count_if(r.warnings.begin(), r.warnings.end(),
                            [](const std::string& w) { return w.compare(0, 9, "Bad value") == 0; }))
        << r.what;
  }
}

// Names refused twice in a row (once could be a line fault) are not asked again.
TEST_F(Ce, RefusedNamesAreNotAskedAgain) {
  for (const char* n : {"ET0QE()", "POWEQ()", "POWPQ()"}) meter_->answers.erase(n);
  meter_->faults["VOLTA()"] = {Framed("(ERR02)")};  // the first ask: a fault
  TestDriver& d = ready("/EKT5CE301v12\r\n");
  EXPECT_EQ(d.get_all_curtime_cur_integ_values().size(), 31u - 6 - 1 - 3);
  EXPECT_EQ(meter_->takeReads().size(), 12u + 3 + 1);
  EXPECT_EQ(std::count(meter_->heard.begin(), meter_->heard.end(), "break"), 0);
  EXPECT_EQ(log_.count("refused by the meter: (ERR12); not asked again"), 3);
  EXPECT_EQ(log_.count("refused by the meter"), 3);
  EXPECT_TRUE(logged("[7][S1] CCE102M::sendRequest() - POWPQ refused by the meter"));
  ASSERT_TRUE(d.init());  // a reconnection builds a new model object
  EXPECT_EQ(d.get_all_curtime_cur_integ_values().size(), 21u);
  EXPECT_EQ(meter_->takeReads(), Strings({"DATE_()", "TIME_()", "ET0PE()", "VOLTA()", "CURRE()",
                                          "POWEP()", "POWPP()", "COS_f()", "FREQU()"}));
}

TEST_F(Ce, DailyAndMonthlyArchives) {
  auto& a = meter_->answers;
  a["DATED()"] = "(13.03.24)\r\n(12.03.24)\r\n(11.03.24)\r\n(01.01.24)\r\n";
  for (const std::string d : {"13.03.24", "12.03.24", "11.03.24"}) {
    a["ENDPE(" + d + ")"] = "(100." + d.substr(0, 2) + ")(60)(40)()()()\r\n";
    a["ENDQE(" + d + ")"] = "(10." + d.substr(0, 2) + ")\r\n";
    a["EADPE(" + d + ")"] = "(5." + d.substr(0, 2) + ")(3)(2)\r\n";
    a["EADQE(" + d + ")"] = "(0." + d.substr(0, 2) + ")\r\n";
  }
  TestDriver& d = ready("/EKT5CE303v12\r\n");
  MeasuredValueList list;
  EXPECT_EQ(d.get_arch_values(Daily, kDay12, kDay13, list), 16);
  Strings want = {"DATED()",         "ENDPE(13.03.24)", "ENDQE(13.03.24)",
                  "ENDPE(12.03.24)", "ENDQE(12.03.24)", "EADPE(12.03.24)",
                  "EADQE(12.03.24)", "EADPE(11.03.24)", "EADQE(11.03.24)"};
  EXPECT_EQ(meter_->takeReads(), want);
  // start-of-day energy at that midnight, a day's use at the next one
  EXPECT_EQ(valueOf(list, 50, Integral_daily, 0, kDay13), "100.13");
  EXPECT_EQ(valueOf(list, 50, Integral_daily, 1, kDay13), "60");
  EXPECT_EQ(valueOf(list, 50, Daily, 2, kDay12), "2");
  EXPECT_EQ(valueOf(list, 52, Daily, 0, kDay12), "0.11");
  for (const auto& v : list) EXPECT_TRUE(v.timestamp >= kDay12 && v.timestamp <= kDay13);
  a.erase("DATED()");  // a window that cannot be read is an error, not an empty window
  EXPECT_EQ(errorOf([&] { d.get_arch_values(Daily, kDay12, kDay13, list); }),
            "CmtrGost66107::get_arch_values()");

  a["DATEM()"] = "(03.24)\r\n(02.24)\r\n(01.24)\r\n";
  for (const std::string m : {"03", "02", "01"}) {
    a["ENMPE(" + m + ".24)"] = "(1" + m + ")\r\n";
    a["EAMPE(" + m + ".24)"] = "(3" + m + ")\r\n";
  }
  const time_t feb1 = 1706745600, mar1 = 1709251200;
  list.clear();
  EXPECT_EQ(ready("/EKT5CE301v12\r\n").get_arch_values(Monthly, feb1, kDay13, list), 4);
  // a CE301 without reactive energy refuses those names, asked twice
  EXPECT_EQ(meter_->takeReads(),
            Strings({"DATEM()", "ENMPE(03.24)", "ENMQE(03.24)", "ENMQE(03.24)", "ENMPE(02.24)",
                     "EAMPE(02.24)", "EAMQE(02.24)", "EAMQE(02.24)", "EAMPE(01.24)"}));
  EXPECT_EQ(valueOf(list, 50, Integral_monthly, 0, mar1), "103");
  EXPECT_EQ(valueOf(list, 50, Monthly, 0, feb1), "301");
  EXPECT_EQ(driver_->get_arch_values(Yearly, feb1, kDay13, list), 0);  // kept by none of them
}

TEST_F(Ce, HourlyArchiveJournalsAndProfile) {
  auto& a = meter_->answers;
  a["ACCES()"] = "(13.03.24,08:15:00)\r\n(12.03.24,23:59:59)\r\n";
  a["PHASE()"] = "(13.03.24,09:30:00,13.03.24,10:05:00)\r\n";
  a["ELOCK()"] = "(13.03.24,01:00:00,,)\r\n";
  a["DATGR()"] = "(13.03.24)\r\n(12.03.24)\r\n";
  std::string halves, hours;
  for (int i = 0; i < 48; ++i) halves += i < 40 ? "(" + std::to_string(i / 2 + i % 2) + ")" : "()";
  for (int h = 0; h < 24; ++h) hours += "(0." + std::to_string(h) + ")\r\n";
  a["GRAPE(13.03.24)"] = halves + "\r\n";
  a["GRAQE(13.03.24)"] = hours;
  TestDriver& d = ready("/EKT5CE303v12\r\n");

  MeasuredValueList list;
  d.get_arch_values(Hourly, kDay13, kDay13 + 9 * 3600, list);
  Strings want = {"ACCES()", "PHASE()", "JSTAT()", "JOVER()",         "DENIA()",        "JCORT()",
                  "ELOCK()", "JIOVE()", "DATGR()", "GRAPE(13.03.24)", "GRAQE(13.03.24)"};
  EXPECT_EQ(meter_->takeReads(), want);
  EXPECT_EQ(list.size(), 3u + 10 + 10);  // the phase back at 10:05 lies after the window

  // the next window is served from what was read after the first one ended
  list.clear();
  d.get_arch_values(Hourly, kDay13 + 10 * 3600, kDay13 + 19 * 3600, list);
  EXPECT_TRUE(meter_->takeReads().empty());
  EXPECT_EQ(valueOf(list, 69, Hourly, 0, 1710324300), std::to_string(1 << 12));  // 10:05
  EXPECT_EQ(valueOf(list, 54, Hourly, 0, kDay13 + 19 * 3600), "19.5");
  EXPECT_EQ(valueOf(list, 54, Hourly, 0, kDay13 + 20 * 3600), "<none>");  // "()" halves
  // a window whose last hour had not ended at that read is read afresh
  d.get_arch_values(Hourly, kNow - 1800 - 9 * 3600, kNow - 1800, list);
  EXPECT_EQ(meter_->takeReads().size(), 9u);  // journals and DATGR; no profile date in it
}

}  // namespace
