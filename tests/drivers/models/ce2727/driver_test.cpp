#include <gtest/gtest.h>

#include <ctime>

#include "ce2727_test_util.h"
#include "drivers/models/ce2727/mtr_ce2727.h"

using namespace ce2727_test;

namespace {

// Moscow time, no DST: local midnight of 6 March 2024 is 1709683200 - 10800.
constexpr time_t kMar6 = 1709672400;
constexpr time_t kHour = 3600;
constexpr int kDTZ = 3600;                // meter clock one hour ahead of the controller
constexpr time_t kMeterNow = 1709727030;  // 6 March 2024 15:10:30 meter time

// Archive answer: the requested date followed by five counters from `base`;
// refused with `code` when `refuse` says so.
FakeMeter::Handler archive(std::function<uint32_t(const Bytes&)> base,
                           std::function<bool(const Bytes&)> refuse, uint8_t refusal = 5) {
  return [=](const SeenRequest& r, uint8_t& code) {
    if (refuse(r.params)) code = refusal;
    Bytes d = r.params;
    for (uint32_t t = 0; t <= 4; ++t) putLE(d, base(r.params) + t, 4);
    return d;
  };
}

FakeMeter::Handler refuseAll(uint8_t code) {
  return [code](const SeenRequest&, uint8_t& c) {
    c = code;
    return Bytes{};
  };
}

class TestDriver : public CmtrCE2727 {
 public:
  TestDriver(int model, const std::string& serial, const std::string& password)
      : CmtrCE2727(model) {
    settings.meter_number = 5;
    settings.serial_text = serial;
    settings.password = password;
    params["net_address"] = "4242";
    params["pu_tz"] = "4";
    params["srv_tz"] = "3";
  }
};

class CE2727Driver : public ::testing::Test {
 protected:
  void SetUp() override {
    TestLog::get();
    tzset();
    line->respond = [this](const Bytes& f) { return meter(f); };
    meter.handlers[1] = [](const SeenRequest&, uint8_t&) {
      return Bytes{0x30, 0x10, 0x15, 0x03, 0x06, 0x03, 0x24, 0x00, 0x00};
    };
  }
  std::unique_ptr<TestDriver> make(int model, const std::string& serial = "778899",
                                   const std::string& password = "") {
    auto d = std::make_unique<TestDriver>(model, serial, password);
    d->setClock(&clock);
    d->SaveConnector(std::shared_ptr<CConnector>(line));
    return d;
  }
  std::unique_ptr<TestDriver> start(int model, const std::string& serial = "778899") {
    auto d = make(model, serial);
    d->init();
    return d;
  }
  std::string logOf(const std::function<void()>& step) {
    size_t mark = TestLog::get().mark();
    step();
    return TestLog::get().since(mark);
  }

  mtr_test::ScopedEnv tz{"TZ", "MSK-3"};
  mtr_test::FakeClock clock{1709730000};
  std::shared_ptr<ScriptedLine> line = std::make_shared<ScriptedLine>();
  FakeMeter meter;
};

#define EXPECT_LOGGED(log, text) EXPECT_NE(std::string::npos, (log).find(text)) << (log)

TEST_F(CE2727Driver, DailyRecordIsStampedWithTheFollowingMidnightLessDTZ) {
  meter.handlers[15] = archive([](const Bytes& p) { return 12345 + 1000 * (p[0] & 0x0F); },
                               [](const Bytes& p) { return p[0] == 0x07; });
  auto d = start(2);
  MeasuredValueList values;
  EXPECT_EQ(5, d->get_arch_values(Daily, kMar6, kMar6, values));
  // The day before the window (stamped at the window start), then the window's
  // day, whose record is stamped after the window: read past.
  EXPECT_EQ((std::vector<Bytes>{{0x05, 0x03, 0x24}, {0x06, 0x03, 0x24}}), meter.paramsOf(15));
  int tariff = 0;
  for (const auto& v : values) {
    EXPECT_EQ(
        std::make_tuple(50u, uint32_t(Integral_daily), tariff, kMar6 - kDTZ, 192),
        std::make_tuple(v.param_code, v.kind, int(v.sys), time_t(v.timestamp), v.opc_quality));
    EXPECT_EQ("17.34" + std::to_string(5 + tariff++), v.value);
  }
}

TEST_F(CE2727Driver, MonthlyDecemberRollsIntoJanuaryAndYearlyAsksForDecember) {
  meter.handlers[13] = archive([](const Bytes&) { return 500000; },
                               [](const Bytes& p) {
                                 return p == Bytes{0x01, 0x24};
                               });
  auto d = start(2);
  MeasuredValueList values;
  time_t jan1 = 1704067200 - 3 * kHour;
  std::string log = logOf([&] { d->get_arch_values(Monthly, jan1, jan1 + 40 * 86400, values); });
  EXPECT_EQ((std::vector<Bytes>{{0x12, 0x23}, {0x01, 0x24}}), meter.paramsOf(13));
  ASSERT_EQ(5u, values.size());
  for (const auto& v : values) {
    EXPECT_EQ(jan1 - kDTZ, v.timestamp);
    EXPECT_EQ("500.00" + std::to_string(v.sys), v.value);
  }
  EXPECT_LOGGED(log, "CmtrCE2727::parseError: Request {Monthly} return code 5");
  EXPECT_LOGGED(log, "CmtrCE2727::isNextArchive('Monthly'): stop reading by device");

  meter.seen.clear();
  meter.handlers[13] =
      archive([](const Bytes&) { return 7000; }, [](const Bytes& p) { return p[1] >= 0x25; });
  values.clear();
  d->get_arch_values(Yearly, kMar6 + 4 * 86400, kMar6 + 364 * 86400, values);
  EXPECT_EQ((std::vector<Bytes>{{0x12, 0x23}, {0x12, 0x24}, {0x12, 0x25}}), meter.paramsOf(13));
  ASSERT_EQ(5u, values.size());  // 2023 ends before the window
  EXPECT_EQ(1735689600 - 3 * kHour - kDTZ, values.front().timestamp);
  EXPECT_EQ(uint32_t(Integral_yearly), values.front().kind);
}

TEST_F(CE2727Driver, ProfileWalksHalfDaysAndSkipsSlotsWithoutValue) {
  meter.handlers[17] = [](const SeenRequest& r, uint8_t&) {
    Bytes d = {r.params[0], 30, r.params[2], r.params[3], r.params[4]};
    for (int i = 0; i < 24; ++i) {
      d.push_back(r.params[0] == 1 && i == 3 ? 0 : 1);  // 12:30 has no value
      putLE(d, 1000 * (1 + r.params[0]) + i, 2);
    }
    return d;
  };
  auto d = start(2);
  MeasuredValueList values;
  time_t from = kMar6 + 10 * kHour, till = kMar6 + 25 * kHour;
  std::string log = logOf([&] { d->get_arch_values(Hourly, from, till, values); });
  // Meter time 11:00 lies in the morning of 6 March; then 12-hour steps.
  EXPECT_EQ((std::vector<Bytes>{{0x00, 0x00, 0x06, 0x03, 0x24},
                                {0x01, 0x00, 0x06, 0x03, 0x24},
                                {0x00, 0x00, 0x07, 0x03, 0x24}}),
            meter.paramsOf(17));
  EXPECT_TRUE(meter.paramsOf(11).empty());  // CE2727A: no journals
  EXPECT_LOGGED(log, "isNextArchive('Profile'): continue reading by time");
  EXPECT_LOGGED(log, "isNextArchive('Profile'): stop reading by time");

  std::map<time_t, std::string> got;
  for (const auto& v : values) {
    EXPECT_EQ(std::make_tuple(54u, uint32_t(Hourly), std::string("кВт")),
              std::make_tuple(v.param_code, v.kind, v.dim));
    got[v.timestamp] = v.value;
  }
  // The morning half-day starts at 23:00 controller time: slots 21 to 23 are in,
  // 09:30 too, since the previous window ended with the 09:00 slot.
  EXPECT_EQ("1.021", got[from - 1800]);
  EXPECT_EQ("1.022", got[from]);
  EXPECT_EQ("1.023", got[from + 1800]);
  // The afternoon starts at 11:00 controller time; slot 4 keeps its own time.
  time_t noon = kMar6 + 11 * kHour;
  EXPECT_EQ("2.002", got[noon + 2 * 1800]);
  EXPECT_EQ(0u, got.count(noon + 3 * 1800));
  EXPECT_EQ("2.004", got[noon + 4 * 1800]);
  // The next morning up to the window end only.
  EXPECT_EQ("1.004", got[till]);
  EXPECT_EQ(0u, got.count(till + 1800));
  EXPECT_EQ(3u + 23u + 5u, got.size());
}

TEST_F(CE2727Driver, ConsecutiveHourlyPassesLoseNoHalfHourAndRepeatNone) {
  struct Collecting : TestDriver {
    Collecting() : TestDriver(2, "1", "") {}
    std::map<time_t, int> slots;
    int get_arch_values(uint32_t kind, time_t from, time_t till, MeasuredValueList& v) override {
      int n = CmtrCE2727::get_arch_values(kind, from, till, v);
      for (const auto& r : v) ++slots[r.timestamp];
      v.clear();
      return n;
    }
  } d;
  uint8_t hour = 0x15;  // meter clock 15:10:30, then 18:10:30
  meter.handlers[1] = [&](const SeenRequest&, uint8_t&) {
    return Bytes{0x30, 0x10, hour, 0x03, 0x06, 0x03, 0x24, 0x00, 0x00};
  };
  meter.handlers[17] = [](const SeenRequest& r, uint8_t&) {
    Bytes d = {r.params[0], 30, r.params[2], r.params[3], r.params[4]};
    for (int i = 0; i < 24; ++i) d.insert(d.end(), {1, 0x10, 0x00});
    return d;
  };
  d.setClock(&clock);
  d.SaveConnector(std::shared_ptr<CConnector>(line));
  d.init();
  d.ReadHourlyArch();
  hour = 0x18;
  d.ReadHourlyArch();
  // Controller time: the last complete hour is 16:00; its 16:30 slot is not yet due.
  for (time_t t = kMar6 - 86400; t <= kMar6 + 16 * kHour; t += 1800) EXPECT_EQ(1, d.slots[t]) << t;
  EXPECT_EQ(0u, d.slots.count(kMar6 + 16 * kHour + 1800));
}

TEST_F(CE2727Driver, JournalsGiveEventRecordsAndAreReadOncePerPass) {
  meter.handlers[17] = refuseAll(4);
  meter.handlers[11] = [](const SeenRequest& r, uint8_t& code) {
    uint8_t journal = r.params[0], index = r.params[1];
    if (journal != 0 || index > 1) code = 4;
    Bytes d = {journal, index};
    if (index == 0) {  // off 14:10:00, on 14:20:05 on 6 March (meter time)
      d.insert(d.end(), {0x00, 0x10, 0x14, 0x06, 0x03, 0x24, 0x05, 0x20, 0x14, 0x06, 0x03, 0x24});
    } else {  // 1 March: before the window, ends the walk
      d.insert(d.end(), {0x00, 0x00, 0x08, 0x01, 0x03, 0x24, 0x00, 0x05, 0x08, 0x01, 0x03, 0x24});
    }
    d.insert(d.end(), {0x01, 0x00});
    return d;
  };
  auto d = start(1);
  MeasuredValueList values;
  d->get_arch_values(Hourly, kMar6 + 10 * kHour, kMar6 + 14 * kHour, values);
  // Journal 0 is walked to its record before the window; the seven others end at once.
  std::vector<Bytes> asked = meter.paramsOf(11);
  ASSERT_EQ(9u, asked.size());
  EXPECT_EQ((Bytes{0, 1}), asked[1]);
  EXPECT_EQ((Bytes{10, 0}), asked.back());
  ASSERT_EQ(2u, values.size());
  EXPECT_EQ(std::make_tuple(69u, uint32_t(Hourly), std::string("2")),  // "A242", EvtOnOff
            std::make_tuple(values.front().param_code, values.front().kind, values.front().value));
  EXPECT_EQ(kMar6 + 13 * kHour + 600, values.front().timestamp);
  EXPECT_EQ(kMar6 + 13 * kHour + 1205, values.back().timestamp);

  values.clear();  // the next window of the pass uses what was read
  d->get_arch_values(Hourly, kMar6 + 15 * kHour, kMar6 + 23 * kHour, values);
  EXPECT_EQ(9u, meter.paramsOf(11).size());
  EXPECT_TRUE(values.empty());            // both lie in the hour the previous window ended with
  d->get_all_curtime_cur_integ_values();  // a new session reads them again
  d->get_arch_values(Hourly, kMar6 + 14 * kHour, kMar6 + 23 * kHour, values);
  EXPECT_EQ(18u, meter.paramsOf(11).size());
  EXPECT_EQ(2u, values.size());
}

void answerSystem(FakeMeter& meter, uint32_t serial) {
  meter.handlers[0] = [serial](const SeenRequest&, uint8_t&) {
    Bytes d(12, 0);
    d[0] = 0x05;
    d[1] = 0x02;
    putLE(d, serial, 4);
    putLE(d, 4242, 4);
    d.resize(40, 0);
    return d;
  };
  meter.handlers[21] = [](const SeenRequest&, uint8_t&) {
    Bytes d(50, 0);
    d[0] = 0x15, d[1] = 0x01, d[2] = 0x23;
    return d;
  };
}

TEST_F(CE2727Driver, SystemValuesAndTheSerialCheck) {
  answerSystem(meter, 778899);
  auto d = start(2, "00778899");
  std::map<uint32_t, std::string> got;
  for (const auto& v : d->get_all_system_values()) got[v.param_code] = v.value;
  EXPECT_EQ("ЦЭ2727А", got[72]);
  EXPECT_EQ("2.05", got[73]);
  EXPECT_EQ("778899", got[74]);
  EXPECT_EQ("1673730000", got[75]);  // 15 January 2023, local midnight
  EXPECT_EQ(std::to_string(kMeterNow - kDTZ), got[85]);
  EXPECT_EQ(4242u, d->readNetAddress());

  struct Case {
    std::function<void()> arrange;
    std::string exception;
    std::string message;
  };
  const Case cases[] = {
      {[&] { answerSystem(meter, 111); }, "111",
       "READ SERIAL '111' != GIVEN SERIAL '00778899' !!! EXCEPTION"},
      {[&] { meter.handlers[0] = refuseAll(4); }, "No Data",
       "[5][00778899] CmtrCE2727::get_all_system_values(): CAN'T READ SERIAL NUMBER !!!"},
      {[&] { meter.address = 1; },  // silence
       "", "--- CmtrCE2727::get_all_system_values() - CAN'T READ SYSTEM PARAMETER - PROBLEMS HAS"},
  };
  for (const auto& c : cases) {
    c.arrange();
    std::string log = logOf([&] {
      try {
        d->get_all_system_values();
        ADD_FAILURE() << "no exception";
      } catch (const SerialErrorException& e) {
        EXPECT_EQ(c.exception, e.message());
      } catch (const CDisconnectException&) {
        EXPECT_EQ("", c.exception);
      }
    });
    EXPECT_LOGGED(log, c.message);
  }
}

TEST_F(CE2727Driver, CurrentValuesAndMeterTime) {
  meter.handlers[3] = [](const SeenRequest&, uint8_t&) {
    Bytes d = {2};
    for (uint32_t t = 0; t <= 4; ++t) putLE(d, 987654 + t, 4);
    return d;
  };
  meter.handlers[23] = [](const SeenRequest&, uint8_t&) {
    Bytes d;
    for (int32_t w : {1500, 500, -250, 1250}) putLE(d, static_cast<uint32_t>(w), 4);
    return d;
  };
  meter.handlers[27] = [](const SeenRequest& r, uint8_t&) {
    EXPECT_EQ((Bytes{0, 0}), r.params);
    Bytes d;
    for (uint32_t v : {23012u, 23100u, 22950u, 5123u, 0u, 7u}) putLE(d, v, 4);
    for (int i = 0; i < 4; ++i) putLE(d, static_cast<uint32_t>(-100 * i), 4);
    for (int i = 0; i < 4; ++i) putLE(d, 950, 2);
    putLE(d, 5001, 2);
    d.resize(78, 0);
    return d;
  };
  auto d = start(2);
  std::map<std::pair<uint32_t, int>, MeasuredValue> got;
  for (const auto& v : d->get_all_curtime_cur_integ_values()) got[{v.param_code, v.sys}] = v;
  auto at = [&](uint32_t code, int sys = 0) { return got[{code, sys}]; };
  EXPECT_EQ("987.654", at(50).value);
  EXPECT_EQ("987.658", at(50, 4).value);
  EXPECT_EQ(std::make_tuple(uint32_t(Current), int32_t(clock.now())),
            std::make_tuple(at(50, 4).kind, at(50, 4).timestamp));
  EXPECT_EQ(std::make_pair(std::string("1.500"), std::string("кВт")),
            std::make_pair(at(31).value, at(31).dim));
  EXPECT_EQ("-0.250", at(33).value);
  EXPECT_EQ("230.12", at(39).value);  // voltage A
  EXPECT_EQ("5.123", at(42).value);   // current A
  EXPECT_EQ("-0.300", at(38).value);  // reactive C
  EXPECT_EQ("0.950", at(45).value);
  EXPECT_EQ("50.01", at(49).value);
  EXPECT_EQ(std::to_string(kMeterNow - kDTZ), at(85).value);

  timestamps ts;
  ASSERT_TRUE(d->GetTimestamps(ts));
  EXPECT_EQ(kMeterNow - kDTZ, ts.curr_time);
  meter.handlers.erase(1);  // the meter refuses the time
  std::string log = logOf([&] { EXPECT_THROW(d->GetTimestamps(ts), CDisconnectException); });
  EXPECT_LOGGED(log, "CmtrCE2727::GetTimestamps(): CAN'T READ CURRENT DATETIME !!!");
}

TEST_F(CE2727Driver, InitAndAccessFailures) {
  auto unknown = make(3);
  std::string log = logOf([&] { EXPECT_THROW(unknown->init(), CDisconnectException); });
  EXPECT_LOGGED(log, "[5][778899] CmtrCE2727::init() - UNKNOWN DEVICE MODEL 3 !!!");
  EXPECT_LOGGED(log, "CmtrCE2727::init() - UNKNOWM DEVICE MODEL - PROBLEMS");
  EXPECT_THROW(make(2, "1", "xyz")->init(), CDisconnectException);

  auto d = make(1, "1", "0x1234");
  log = logOf([&] { EXPECT_TRUE(d->init()); });
  EXPECT_LOGGED(log, "CmtrCE2727::init(): inited as CE2727 (1)");
  log = logOf([&] { EXPECT_THROW(d->get_all_curtime_cur_integ_values(), CDisconnectException); });
  EXPECT_LOGGED(log, "CmtrCE2727::parseError: Request {DateTime} return code 1");
  EXPECT_LOGGED(log, "CmtrCE2727::sendRequest() - CAN'T PARSE RESPONSE !!!");
}

}  // namespace
