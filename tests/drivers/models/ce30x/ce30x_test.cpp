#include "drivers/models/ce30x/ce30x.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/logger.h"
#include "drivers/models/ce30x/ce_models.h"
#include "meter_double.h"
#include "support/test_support.h"

namespace {

using ce_test::MeterDouble;
using Strings = std::vector<std::string>;

const time_t kNow = 1710419400;    // 2024-03-14 12:30:00 UTC
const time_t kDay13 = 1710288000;  // 2024-03-13 00:00:00 UTC
const time_t kDay12 = kDay13 - 86400;

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

class Ce : public ::testing::Test {
 protected:
  void SetUp() override {
    tzset();
    delete logger::instance();
    log_path_ = dir_ / "test.log";
    unlink(log_path_.c_str());
    logger::getInstance(log_path_.c_str(), false)->setLevel(TL_DEBUG);
    meter_ = std::make_shared<MeterDouble>();
  }
  void TearDown() override {
    driver_.reset();
    delete logger::instance();
  }
  TestDriver& make(const SettingsMap& params = {{"pu_tz", "3"}, {"srv_tz", "3"}}) {
    driver_ = std::make_unique<TestDriver>(params);
    driver_->setClock(&clock_);
    driver_->SaveConnector(std::shared_ptr<CConnector>(meter_));
    return *driver_;
  }
  // A driver past init, the meter's requests so far forgotten.
  TestDriver& ready(const std::string& ident,
                    const SettingsMap& params = {{"pu_tz", "3"}, {"srv_tz", "3"}}) {
    meter_->ident = ident;
    make(params);
    EXPECT_TRUE(driver_->init());
    meter_->take();
    return *driver_;
  }
  std::string log() { return mtr_test::readFile(log_path_); }
  // The text of the driver error that `f` raises.
  template <class F>
  static std::string errorOf(F f) {
    try {
      f();
    } catch (const SerialErrorException& e) {
      return e.message();
    }
    return "<no error>";
  }
  bool logged(const std::string& line) { return log().find(line) != std::string::npos; }

  void loadCe303() {
    auto& a = meter_->answers;
    a["DATE_()"] = "(04.14.03.24)\r\n";
    a["TIME_()"] = "(12:30:00)\r\n";
    a["ET0PE()"] = "(16.8750484)\r\n(9.9876463)\r\n(6.8874021)\r\n(0.0)\r\n(0.0)\r\n(0.0)\r\n";
    a["ET0QE()"] = "(1.5)\r\n(1.0)\r\n(0.5)\r\n(0)\r\n(0)\r\n(0)\r\n";
    a["VOLTA()"] = "(229.94)\r\nVOLTA(230.12)\r\nVOLTA(229.71)\r\n";
    a["CURRE()"] = "(1.23)\r\n(0.00)\r\n(2.5)\r\n";
    a["POWEP()"] = "(0.851)\r\n";
    a["POWPP()"] = "(0.28)\r\n(0.0)\r\n(0.571)\r\n";
    a["POWEQ()"] = "(0.12)\r\n";
    a["POWPQ()"] = "(0.04)\r\n(0.0)\r\n(0.08)\r\n";
    a["COS_f()"] = "(0.98)\r\n(0.99)\r\n()\r\n(0.97)\r\n";
    a["FREQU()"] = "(49.98)\r\n";
    a["SNUMB()"] = "(009217054001234)\r\n";
    a["ID_FW()"] = "(v12.01)\r\n";
    a["IDENT()"] = "(CE303 S31 543-JAVZ)\r\n";
    a["FCCUR()"] = "(40)\r\n";
    a["FCVOL()"] = "(1)\r\n";
    a["TAVER()"] = "(30)\r\n";
    for (int n = 1; n <= 36; ++n) {
      char name[16];
      snprintf(name, sizeof name, "GRF%02d()", n);
      a[name] = "()\r\n";
    }
    a["GRF01()"] = "(07:00,1)\r\n(00:00,2)\r\n(23:00,2)\r\n";
    a["GRF02()"] = "(00:00,3)\r\n";
    a["SESON()"] = "(01.10,2,2,2,2)\r\n(01.04,1,2,2,2)\r\n";
    a["EXDAY()"] = "(08.03,2)\r\n(01.01,2)\r\n";
  }

  mtr_test::TempDir dir_;
  std::string log_path_;
  mtr_test::ScopedEnv tz_{"TZ", "UTC"};
  mtr_test::FakeClock clock_{kNow};
  std::shared_ptr<MeterDouble> meter_;
  std::unique_ptr<TestDriver> driver_;
};

// --- identification and model choice ----------------------------------------

TEST_F(Ce, ModelChoiceFromTheIdentification) {
  struct Case {
    const char* ident;
    const char* model;  // text from the sixth character up to CR
    const char* cls;
    bool ce301;
  } cases[] = {
      {"/EKT5CE102Mv01\r\n", "CE102Mv01", "CE102M", false},
      {"/EKT5CE308v1\r\n", "CE308v1", "CE308", false},  // contains "CE30" as well
      {"/EKT5CE301v12\r\n", "CE301v12", "CE30X", true},
      {"/EKT5CE303v12\r\n", "CE303v12", "CE30X", false},
      {"/EKT3CE306\r\n", "CE306", "CE30X", false},
      {"xEKT5CE301\r\n", "CE301", "CE30X", true},  // accepted by its fifth character
  };
  for (const auto& c : cases) {
    SetUp();
    meter_->ident = c.ident;
    TestDriver& d = make();
    ASSERT_TRUE(d.init()) << c.ident;
    EXPECT_EQ(d.modelName(), c.model);
    cGost61107* m = d.model();
    const std::string cls = dynamic_cast<CCE30X*>(m)    ? "CE30X"
                            : dynamic_cast<CCE308*>(m)  ? "CE308"
                            : dynamic_cast<CCE102M*>(m) ? "CE102M"
                                                        : "?";
    EXPECT_EQ(cls, c.cls) << c.ident;
    if (auto* ce3 = dynamic_cast<CCE30X*>(m)) {
      EXPECT_EQ(ce3->isCE301(), c.ce301) << c.ident;
    }
    EXPECT_TRUE(logged(std::string("[7][S1] cGost61107::init, model ") + c.model)) << c.ident;
    // identification, then programming mode by the model object
    Strings want = {"break", "signon ", "break", "signon ", "option 051"};
    EXPECT_EQ(meter_->take(), want) << c.ident;
    TearDown();
  }
}

TEST_F(Ce, UnknownModelFailsInit) {
  meter_->ident = "/EKT5CE201v1\r\n";
  EXPECT_EQ(errorOf([&] { make().init(); }), "CmtrGost66107::init() - CAN'T INIT");
  EXPECT_EQ(driver_->model(), nullptr);
  EXPECT_TRUE(
      logged("[7][S1] cGost61107::init, CRITICAL EXCEPTION!!! unknown driver model. "
             "driver model is CE201v1"));
}

TEST_F(Ce, DeviceAddressOfTheSignOn) {
  // null: no "net_address"; zeros mean no address; blanks around are dropped
  const char* cases[][2] = {{nullptr, "signon "},
                            {"000", "signon "},
                            {" 4711 ", "signon 4711"},
                            {"AB 12", "signon AB 12"},
                            {"12/3", nullptr},  // characters the sign-on cannot carry
                            {"123456789012345678901234567890123", nullptr}};
  for (const auto& c : cases) {
    SetUp();
    SettingsMap params;
    if (c[0]) params["net_address"] = c[0];
    if (c[1]) {
      make(params).init();
      EXPECT_EQ(meter_->take().at(1), c[1]);
    } else {
      EXPECT_THROW(make(params).init(), SerialErrorException) << c[0];
      EXPECT_TRUE(meter_->take().empty()) << c[0];
    }
    TearDown();
  }
}

TEST_F(Ce, IdentificationFailures) {
  // silent meter: no answer at all disconnects at once
  meter_->ident = "";
  EXPECT_THROW(make().init(), CDisconnectException);
  EXPECT_EQ(meter_->take().size(), 2u);

  // an answer that is no identification, three times
  meter_->ident = "xEKT3CE301\r\n";
  EXPECT_THROW(make().init(), CDisconnectException);
  EXPECT_EQ(meter_->take().size(), 6u);
  const std::string text = log();
  EXPECT_EQ(mtr_test::countLinesContaining(
                text,
                "[7][S1]cGost61107::init() - Initialization failed. Received packet isn't "
                "identifier"),
            3);
  EXPECT_TRUE(logged("[7][S1]cGost61107::init() - CAN'T SEND REQUEST !!!"));

  // identified, but programming mode is refused
  meter_->ident = "/EKT5CE301\r\n";
  meter_->faults["option"].assign(3, {MeterDouble::kWrongBcc, ""});
  EXPECT_EQ(errorOf([&] { make().init(); }), "CmtrGost66107::init() - CAN'T INIT");
}

// --- current values ---------------------------------------------------------

TEST_F(Ce, CurrentValuesOfACe303) {
  loadCe303();
  TestDriver& d = ready("/EKT5CE303v12\r\n");
  MeasuredValueList list = d.get_all_curtime_cur_integ_values();
  Strings heard = meter_->take();
  Strings want = {"break",        "signon ",      "option 051",   "read DATE_()", "read TIME_()",
                  "read ET0PE()", "read ET0QE()", "read VOLTA()", "read CURRE()", "read POWEP()",
                  "read POWPP()", "read POWEQ()", "read POWPQ()", "read COS_f()", "read FREQU()"};
  EXPECT_EQ(heard, want);
  struct Want {
    uint32_t code;
    int sys;
    const char* value;
    const char* dim;
  } wants[] = {
      // clang-format off
      {85, 0, "1710419400", ""},  // meter clock, kind 10
      {50, 0, "16.8750484", "кВт*ч"}, {50, 1, "9.9876463", "кВт*ч"}, {50, 5, "0.0", "кВт*ч"},
      {52, 0, "1.5", "квар*ч"}, {52, 2, "0.5", "квар*ч"},
      {39, 0, "229.94", "В"}, {40, 0, "230.12", "В"}, {41, 0, "229.71", "В"},
      {42, 0, "1.23", "А"}, {44, 0, "2.5", "А"}, {31, 0, "0.851", "кВт"},
      {32, 0, "0.28", "кВт"}, {34, 0, "0.571", "кВт"}, {35, 0, "0.12", "квар"},
      {36, 0, "0.04", "квар"}, {38, 0, "0.08", "квар"}, {45, 0, "0.98", ""},
      {46, 0, "0.99", ""}, {48, 0, "0.97", ""}, {49, 0, "49.98", "Гц"},
      // clang-format on
  };
  for (const auto& w : wants) {
    const uint32_t kind = w.code == 85 ? System : Current;
    bool found = false;
    for (const auto& v : list) {
      if (v.param_code != w.code || v.kind != kind || v.sys != w.sys) continue;
      found = true;
      EXPECT_EQ(v.value, w.value) << w.code;
      EXPECT_EQ(v.dim, w.dim) << w.code;
      EXPECT_EQ(v.opc_quality, 192);
      EXPECT_NEAR(v.timestamp, kNow, 5);  // the time of reading
    }
    EXPECT_TRUE(found) << w.code << "/" << w.sys;
  }
  EXPECT_EQ(valueOf(list, 47, Current), "<none>");  // an empty bracket gives no record
  EXPECT_EQ(list.size(), 31u);
  EXPECT_TRUE(logged("[7][S1] ------ get_all_curtime_cur_integ_values ------"));
  EXPECT_TRUE(logged("[7][S1] <<< Current Parameters count = 31"));
  EXPECT_TRUE(logged("[7][S1] <<< Current Parameters: code=50 kind=0 sys=1"));

  // a CE301 is not asked for reactive quantities
  ready("/EKT5CE301v12\r\n").get_all_curtime_cur_integ_values();
  Strings ce301 = {"DATE_()", "TIME_()", "ET0PE()", "VOLTA()", "CURRE()",
                   "POWEP()", "POWPP()", "COS_f()", "FREQU()"};
  EXPECT_EQ(meter_->takeReads(), ce301);
}

TEST_F(Ce, AnswerToAnotherParameterRestartsProgrammingMode) {
  loadCe303();
  TestDriver& d = ready("/EKT5CE303v12\r\n");
  meter_->faults["VOLTA()"] = {{MeterDouble::kWrongName, "CURRE"}};
  meter_->faults["CURRE()"] = {{MeterDouble::kNotInfo, ""}};
  d.get_all_curtime_cur_integ_values();
  Strings heard = meter_->take();
  auto at = std::find(heard.begin(), heard.end(), "read VOLTA()");
  ASSERT_NE(at, heard.end());
  Strings after(at, at + 11);
  Strings want = {"read VOLTA()", "break",        "signon ",     "option 051",
                  "read VOLTA()", "read CURRE()", "break",       "signon ",
                  "option 051",   "read CURRE()", "read POWEP()"};
  EXPECT_EQ(after, want);
  EXPECT_TRUE(
      logged("[7][S1] CCE102M::sendRequest() - RESPONSE ERROR. Packet isn't answer to "
             "VOLTA. Packet is answer to CURRE"));
  EXPECT_TRUE(
      logged("[7][S1] CCE102M::sendRequest() - RESPONSE ERROR. Packet isn't information message"));
}

TEST_F(Ce, RecoverableAnswerFaults) {
  loadCe303();
  TestDriver& d = ready("/EKT5CE303v12\r\n");
  meter_->faults["POWEP()"] = {{MeterDouble::kWrongBcc, ""}};
  meter_->faults["ET0PE()"] = {{MeterDouble::kNak, ""}};
  meter_->faults["FREQU()"] = {{MeterDouble::kSilent, ""}, {MeterDouble::kBadValue, "4x.98"}};
  MeasuredValueList list = d.get_all_curtime_cur_integ_values();
  EXPECT_EQ(list.size(), 31u);
  Strings heard = meter_->take();
  EXPECT_EQ(std::count(heard.begin(), heard.end(), "break"), 1);  // no new programming mode
  Strings reads;
  for (auto& h : heard)
    if (h.compare(0, 5, "read ") == 0) reads.push_back(h.substr(5));
  // a wrong check byte, a silence and a bad value are asked again in
  // programming mode; a NAK ahead of an answer costs nothing
  EXPECT_EQ(std::count(reads.begin(), reads.end(), "POWEP()"), 2);
  EXPECT_EQ(std::count(reads.begin(), reads.end(), "ET0PE()"), 1);
  EXPECT_EQ(std::count(reads.begin(), reads.end(), "FREQU()"), 3);
  EXPECT_EQ(valueOf(list, 49, Current), "49.98");
  const std::string text = log();
  // STX "POWEP(0.851)" CR LF ETX sums to 0x72 (added by hand); the meter sent 0x73
  EXPECT_NE(text.find("[7][S1] CCE102M::sendRequest() - RESPONSE ERROR. Wrong checksum. "
                      "Calculated 72 Received 73"),
            std::string::npos);
  EXPECT_NE(text.find("[7][S1] CCE102M::sendRequest() - ERROR: must read: 13, realy read: -1"),
            std::string::npos);
  EXPECT_NE(text.find("Bad value (4x.98) in answer to FREQU"), std::string::npos);
}

TEST_F(Ce, ParameterThatCannotBeReadFailsTheOperation) {
  loadCe303();
  TestDriver& d = ready("/EKT5CE303v12\r\n");
  meter_->faults["CURRE()"].assign(3, {MeterDouble::kSilent, ""});
  EXPECT_EQ(errorOf([&] { d.get_all_curtime_cur_integ_values(); }),
            "CmtrGost66107::get_all_curtime_cur_integ_values()");
  Strings reads = meter_->takeReads();
  ASSERT_FALSE(reads.empty());
  EXPECT_EQ(reads.back(), "CURRE()");  // the first failure ends the operation
  EXPECT_TRUE(logged("[7][S1] CCE102M::sendRequest() - CAN'T SEND REQUEST !!!"));
}

// --- system values and time tables -------------------------------------------

TEST_F(Ce, SystemValuesOfACe303) {
  loadCe303();
  TestDriver& d = ready("/EKT5CE303v12\r\n");
  MeasuredValueList list = d.get_all_system_values();
  Strings reads = meter_->takeReads();
  ASSERT_EQ(reads.size(), 36u + 2 + 8);
  EXPECT_EQ(reads[0], "GRF01()");
  EXPECT_EQ(reads[35], "GRF36()");
  Strings tail(reads.begin() + 36, reads.end());
  Strings want = {"DATE_()", "TIME_()", "SNUMB()", "ID_FW()", "IDENT()",
                  "FCCUR()", "FCVOL()", "TAVER()", "SESON()", "EXDAY()"};
  EXPECT_EQ(tail, want);
  EXPECT_EQ(valueOf(list, 74, System), "009217054001234");
  EXPECT_EQ(valueOf(list, 73, System), "v12.01");
  EXPECT_EQ(valueOf(list, 72, System), "CE303 S31 543-JAVZ");
  EXPECT_EQ(valueOf(list, 60, System), "40");
  EXPECT_EQ(valueOf(list, 61, System), "1");
  EXPECT_EQ(valueOf(list, 62, System), "30");
  EXPECT_EQ(valueOf(list, 85, System), "1710419400");
  EXPECT_EQ(
      valueOf(list, 63, System),
      "[{\"from\":401,\"to\":930,\"from_s\":\"01.04\",\"to_s\":\"30.09\",\"days\":{"
      "\"work\":[[0,2],[25200,1],[82800,2]],\"sat\":[[0,3]],\"sun\":[[0,3]],\"hol\":[[0,3]]}},"
      "{\"from\":1001,\"to\":331,\"from_s\":\"01.10\",\"to_s\":\"31.03\",\"days\":{"
      "\"work\":[[0,3]],\"sat\":[[0,3]],\"sun\":[[0,3]],\"hol\":[[0,3]]}}]");
  EXPECT_EQ(valueOf(list, 65, System),
            "[{\"from\":101,\"to\":101,\"from_s\":\"01.01\",\"to_s\":\"01.01\",\"days\":[[0,3]]},"
            "{\"from\":308,\"to\":308,\"from_s\":\"08.03\",\"to_s\":\"08.03\",\"days\":[[0,3]]}]");
  EXPECT_EQ(list.size(), 9u);
  EXPECT_TRUE(logged("[7][S1] <<< System Parameters count = 9"));
}

TEST_F(Ce, TimeTableRendering) {
  CeTimeTable t;
  CeTimeTable::Season a, b;  // an unreadable date stays 01.01
  EXPECT_FALSE(ParseDayMonth("32.01", a.day, a.month));
  EXPECT_EQ(t.renderSeasons({a}),  // one season is the whole year
            "[{\"from\":101,\"to\":1231,\"from_s\":\"01.01\",\"to_s\":\"31.12\",\"days\":{"
            "\"work\":[],\"sat\":[],\"sun\":[],\"hol\":[]}}]");
  ASSERT_TRUE(ParseDayMonth("15.01", a.day, a.month));
  ASSERT_TRUE(ParseDayMonth("1.3", b.day, b.month));
  const std::string text = t.renderSeasons({b, a});
  EXPECT_EQ(text, t.renderSeasons({a, b}));  // equal tables, equal text
  EXPECT_NE(text.find("\"from_s\":\"15.01\",\"to_s\":\"28.02\""), std::string::npos);
  EXPECT_NE(text.find("\"from_s\":\"01.03\",\"to_s\":\"14.01\""), std::string::npos);
}

TEST_F(Ce, Ce308SystemListAndPassword) {
  loadCe303();
  meter_->password = "777";
  meter_->ident = "/EKT5CE308v1\r\n";
  TestDriver& d = make();
  d.setPassword("777");
  ASSERT_TRUE(d.init());
  Strings heard = meter_->take();
  EXPECT_EQ(heard.back(), "password (777)");
  EXPECT_FALSE(logged("PASSWORD NOT ACCEPTED"));
  d.get_all_system_values();
  Strings reads = meter_->takeReads();
  Strings tail(reads.begin() + 38, reads.end());
  Strings want = {"SNUMB()", "ID_FW()", "IDENT()", "TAVER()", "SESON()", "EXDAY()"};
  EXPECT_EQ(tail, want);

  // a refused password is reported; reading goes on
  d.setPassword("778");
  EXPECT_TRUE(d.init());
  EXPECT_TRUE(logged("[7][S1] CCE308::Init() - PASSWORD NOT ACCEPTED !!!"));
}

TEST_F(Ce, Ce102mTables) {
  auto& a = meter_->answers;
  a["WATCH()"] = "(12:30:00)(14.03.24)\r\n";
  a["VINFO()"] = "(0112345678)\r\n(v5.1)\r\n(CE102M S7 145-JV)\r\n";
  a["SESON()"] = "()\r\n";
  a["EXDAY()"] = "()\r\n";
  for (int n = 1; n <= 36; ++n) {
    char name[16];
    snprintf(name, sizeof name, "GRF%02d()", n);
    a[name] = "()\r\n";
  }
  a["ET0PE()"] = "(5.5)\r\n(5.5)\r\n(0)\r\n";
  a["VOLTA()"] = "(231.0)\r\n";
  a["CURRE()"] = "(0.5)\r\n";
  a["POWEP()"] = "(0.1)\r\n";
  a["COS_f()"] = "(0.9)\r\n";
  a["FREQU()"] = "(50.01)\r\n";
  TestDriver& d = ready("/EKT5CE102Mv01\r\n");
  MeasuredValueList sys = d.get_all_system_values();
  EXPECT_EQ(valueOf(sys, 74, System) + "|" + valueOf(sys, 73, System) + "|" +
                valueOf(sys, 72, System) + "|" + valueOf(sys, 85, System),
            "0112345678|v5.1|CE102M S7 145-JV|1710419400");
  meter_->take();
  MeasuredValueList cur = d.get_all_curtime_cur_integ_values();
  Strings want = {"WATCH()", "ET0PE()", "VOLTA()", "CURRE()", "POWEP()", "COS_f()", "FREQU()"};
  EXPECT_EQ(meter_->takeReads(), want);
  EXPECT_EQ(cur.size(), 1u + 3 + 5);  // one phase

  // archives: its two journals in the hourly pass, active energy only
  a["LOG01()"] = "(13.03.24,02:10:00,13.03.24,02:20:00)\r\n";
  a["LOG02()"] = "()\r\n";
  a["DATED()"] = "(12.03.24)\r\n";
  a["ENDPE(12.03.24)"] = "(7)\r\n";
  a["EADPE(12.03.24)"] = "(1)\r\n";
  MeasuredValueList list;
  d.get_arch_values(Hourly, kDay13, kDay13 + 9 * 3600, list);
  d.get_arch_values(Daily, kDay12, kDay13, list);
  Strings reads = {"LOG01()", "LOG02()", "DATED()", "ENDPE(12.03.24)", "EADPE(12.03.24)"};
  EXPECT_EQ(meter_->takeReads(), reads);
  EXPECT_EQ(valueOf(list, 69, Hourly, 0, kDay13 + 2 * 3600 + 600), std::to_string(1 << 11));
  EXPECT_EQ(valueOf(list, 69, Hourly, 0, kDay13 + 2 * 3600 + 1200), std::to_string(1 << 12));
  EXPECT_EQ(list.size(), 4u);
}

// --- meter time ---------------------------------------------------------------

TEST_F(Ce, TimestampsCarryTheTimeZoneDifference) {
  loadCe303();
  // meter clock two hours east of the controller's
  TestDriver& d = ready("/EKT5CE303v12\r\n", {{"pu_tz", "5"}, {"srv_tz", "3"}});
  timestamps ts;
  ASSERT_TRUE(d.GetTimestamps(ts));
  EXPECT_EQ(ts.curr_time, kNow - 7200);
  EXPECT_EQ(ts.min_time_hour, 0);
  EXPECT_EQ(ts.min_time_day, 0);
  Strings want = {"DATE_()", "TIME_()"};
  EXPECT_EQ(meter_->takeReads(), want);
  EXPECT_TRUE(logged("[7][S1] <<< Current Timestamp: 1710412200"));

  meter_->answers["TIME_()"] = "(25:00:00)\r\n";
  EXPECT_EQ(errorOf([&] { d.GetTimestamps(ts); }), "CmtrGost66107::GetTimestamps()");
}

// --- archives ------------------------------------------------------------------

TEST_F(Ce, DailyArchiveAsksOnlyForStampsInTheWindow) {
  loadCe303();
  auto& a = meter_->answers;
  a["DATED()"] = "(13.03.24)\r\n(12.03.24)\r\n(11.03.24)\r\n(01.01.24)\r\n";
  for (const char* date : {"13.03.24", "12.03.24", "11.03.24"}) {
    const std::string d = date;
    a["ENDPE(" + d + ")"] = "(100." + d.substr(0, 2) + ")(60)(40)()()()\r\n";
    a["ENDQE(" + d + ")"] = "(10." + d.substr(0, 2) + ")\r\n";
    a["EADPE(" + d + ")"] = "(5." + d.substr(0, 2) + ")(3)(2)\r\n";
    a["EADQE(" + d + ")"] = "(0." + d.substr(0, 2) + ")\r\n";
  }
  TestDriver& d = ready("/EKT5CE303v12\r\n");
  MeasuredValueList list;
  list.push_back(MeasuredValue());  // records are appended
  EXPECT_EQ(d.get_arch_values(Daily, kDay12, kDay13, list), 16);
  EXPECT_EQ(list.size(), 17u);
  Strings want = {"DATED()",         "ENDPE(13.03.24)", "ENDQE(13.03.24)",
                  "ENDPE(12.03.24)", "ENDQE(12.03.24)", "EADPE(12.03.24)",
                  "EADQE(12.03.24)", "EADPE(11.03.24)", "EADQE(11.03.24)"};
  EXPECT_EQ(meter_->takeReads(), want);
  // start-of-day energy at that midnight, a day's use at the next one
  EXPECT_EQ(valueOf(list, 50, Integral_daily, 0, kDay13), "100.13");
  EXPECT_EQ(valueOf(list, 50, Integral_daily, 1, kDay13), "60");
  EXPECT_EQ(valueOf(list, 50, Integral_daily, 0, kDay12), "100.12");
  EXPECT_EQ(valueOf(list, 52, Integral_daily, 0, kDay12), "10.12");
  EXPECT_EQ(valueOf(list, 50, Daily, 0, kDay13), "5.12");
  EXPECT_EQ(valueOf(list, 50, Daily, 2, kDay12), "2");
  EXPECT_EQ(valueOf(list, 52, Daily, 0, kDay12), "0.11");
  for (const auto& v : list)
    if (v.param_code) {
      EXPECT_GE(v.timestamp, kDay12);
      EXPECT_LE(v.timestamp, kDay13);
    }
  EXPECT_TRUE(logged("[7][S1] <<< Archive Parameters: code=50 kind=2 sys=0 ts=1710288000"));

  // a window that cannot be read is an error, not an empty window
  meter_->answers.erase("DATED()");
  list.clear();
  EXPECT_EQ(errorOf([&] { d.get_arch_values(Daily, kDay12, kDay13, list); }),
            "CmtrGost66107::get_arch_values()");
  EXPECT_TRUE(list.empty());
}

TEST_F(Ce, MonthlyArchive) {
  loadCe303();
  auto& a = meter_->answers;
  a["DATEM()"] = "(03.24)\r\n(02.24)\r\n(01.24)\r\n";
  for (const std::string m : {"03", "02", "01"}) {
    a["ENMPE(" + m + ".24)"] = "(1" + m + ")\r\n";
    a["EAMPE(" + m + ".24)"] = "(3" + m + ")\r\n";
  }
  const time_t feb1 = 1706745600, mar1 = 1709251200;
  TestDriver& d = ready("/EKT5CE301v12\r\n");
  MeasuredValueList list;
  EXPECT_EQ(d.get_arch_values(Monthly, feb1, kDay13, list), 4);
  Strings want = {"DATEM()", "ENMPE(03.24)", "ENMPE(02.24)", "EAMPE(02.24)", "EAMPE(01.24)"};
  EXPECT_EQ(meter_->takeReads(), want);  // a CE301: no reactive energy
  EXPECT_EQ(valueOf(list, 50, Integral_monthly, 0, mar1), "103");
  EXPECT_EQ(valueOf(list, 50, Integral_monthly, 0, feb1), "102");
  EXPECT_EQ(valueOf(list, 50, Monthly, 0, mar1), "302");
  EXPECT_EQ(valueOf(list, 50, Monthly, 0, feb1), "301");

  // nothing else is kept by these meters
  EXPECT_EQ(d.get_arch_values(Yearly, feb1, kDay13, list), 0);
  EXPECT_TRUE(meter_->takeReads().empty());
}

TEST_F(Ce, HourlyArchiveJournalsAndProfile) {
  loadCe303();
  auto& a = meter_->answers;
  for (const char* j : {"ACCES", "PHASE", "JSTAT", "JOVER", "DENIA", "JCORT", "ELOCK", "JIOVE"})
    a[std::string(j) + "()"] = "()\r\n";
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
  timestamps ts;
  d.GetTimestamps(ts);
  meter_->take();

  const time_t till = kDay13 + 9 * 3600;
  MeasuredValueList list;
  d.get_arch_values(Hourly, kDay13, till, list);
  Strings want = {"ACCES()", "PHASE()", "JSTAT()", "JOVER()",         "DENIA()",        "JCORT()",
                  "ELOCK()", "JIOVE()", "DATGR()", "GRAPE(13.03.24)", "GRAQE(13.03.24)"};
  EXPECT_EQ(meter_->takeReads(), want);
  // events: 08:15 access, 09:30 phase lost (its end at 10:05 lies after the
  // window), 01:00 cover opened
  EXPECT_EQ(valueOf(list, 69, Hourly, 0, 1710317700), std::to_string(1 << 10));
  EXPECT_EQ(valueOf(list, 69, Hourly, 0, 1710322200), std::to_string(1 << 11));
  EXPECT_EQ(valueOf(list, 69, Hourly, 0, 1710291600), std::to_string(1 << 20));
  // half hours averaged per hour, stamped at the hour
  EXPECT_EQ(valueOf(list, 54, Hourly, 0, kDay13), "0.5");
  EXPECT_EQ(valueOf(list, 54, Hourly, 0, kDay13 + 9 * 3600), "9.5");
  EXPECT_EQ(valueOf(list, 56, Hourly, 0, kDay13 + 3 * 3600), "0.3");
  EXPECT_EQ(list.size(), 3u + 10 + 10);
  for (const auto& v : list) EXPECT_LE(v.timestamp - v.timestamp % 3600, till);

  // the next window of the same pass is served from what was read after it ended
  list.clear();
  d.get_arch_values(Hourly, kDay13 + 10 * 3600, kDay13 + 19 * 3600, list);
  EXPECT_TRUE(meter_->takeReads().empty());
  EXPECT_EQ(valueOf(list, 69, Hourly, 0, 1710324300), std::to_string(1 << 12));  // 10:05
  EXPECT_EQ(valueOf(list, 54, Hourly, 0, kDay13 + 19 * 3600), "19.5");
  EXPECT_EQ(valueOf(list, 54, Hourly, 0, kDay13 + 20 * 3600), "<none>");  // "()" halves

  // a window whose last hour had not ended at that read is read afresh
  list.clear();
  d.get_arch_values(Hourly, kNow - 1800 - 9 * 3600, kNow - 1800, list);
  Strings reads = meter_->takeReads();
  EXPECT_EQ(reads.size(), 9u);  // journals and DATGR; no profile date in the window
}

}  // namespace
