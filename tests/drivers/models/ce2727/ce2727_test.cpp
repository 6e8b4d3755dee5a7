#include <gtest/gtest.h>

#include <map>
#include <optional>

#include "drivers/models/ce2727/ce2727_connector.h"
#include "drivers/models/ce2727/mtr_ce2727.h"
#include "transport/connector.h"
#include "transport/serial_peers.h"

namespace {

using namespace peers;

Bytes answerFrame(uint32_t address, uint8_t cmd, uint8_t code, const Bytes& data) {
  Bytes f = {0x02, static_cast<uint8_t>(14 + data.size())};
  putLE(f, address, 4);
  putLE(f, 0, 4);
  f.insert(f.end(), {code, cmd});
  f.insert(f.end(), data.begin(), data.end());
  return withX25(f);
}

struct SeenRequest {
  uint32_t address, password;
  uint8_t cmd;
  Bytes params;
};

// Null for a frame a meter ignores.
std::optional<SeenRequest> parseRequest(const Bytes& f) {
  if (f.size() < 14 || f[0] != 0x02 || f[1] != f.size() || f[10] != 0x01 ||
      getLE(f, f.size() - 2, 2) != mtr::crc16_x25(f.data(), f.size() - 2))
    return std::nullopt;
  return SeenRequest{getLE(f, 2, 4), getLE(f, 6, 4), f[11], Bytes(f.begin() + 12, f.end() - 2)};
}

// Code 1 for a password, 2 without handler, silence to another address.
struct FakeMeter {
  uint32_t address = 4242;
  using Handler = std::function<Bytes(const Bytes& params, uint8_t& code)>;
  std::map<uint8_t, Handler> handlers;
  std::map<uint8_t, std::vector<Bytes>> asked;
  uint8_t data_byte10 = 0;

  Bytes operator()(const Bytes& frame) {
    std::optional<SeenRequest> r = parseRequest(frame);
    if (!r || r->address != address) return {};
    asked[r->cmd].push_back(r->params);
    auto h = handlers.find(r->cmd);
    uint8_t code = r->password ? 1 : h == handlers.end() ? 2 : 0;
    Bytes data = code ? Bytes{} : h->second(r->params, code);
    return code ? answerFrame(address, r->cmd, code, {})
                : answerFrame(address, r->cmd, data_byte10, data);
  }
};

// A pty meter answering whole frames; `line` is the serial end, time-out 200 ms.
struct PtyLine : PtyMeter {
  std::shared_ptr<CConnector> line;
  explicit PtyLine(std::function<Bytes(const Bytes&)> answer)
      : PtyMeter([](const Bytes& b, bool) { return b.size() >= 2 && b.size() >= b[1] ? b[1] : 0u; },
                 answer) {
    logLevel(TL_INFO);
    line.reset(CreateConnector({{"name", device()}, {"speed", "9600"}}));
    line->SetTimeout(200);
  }
};

CmtrCE2727Requests::Request req(const char* name, uint8_t cmd, uint8_t p1 = 0x11) {
  CmtrCE2727Requests::Request r;
  std::tie(r.name, r.cmd, r.p1, r.p2, r.p3, r.p4) =
      std::make_tuple(name, cmd, p1, 0x22, 0x33, 0x44);
  return r;
}

// The connector on a pty giving the i-th scripted answer to the i-th request.
struct Fixture {
  std::vector<Bytes> answers;
  std::atomic<size_t> requests{0};
  PtyLine pty{[this](const Bytes&) {
    size_t i = requests++;
    return i < answers.size() ? answers[i] : Bytes{};
  }};
  mtr_test::FakeClock clock;
  CCE2727Connector conn;
  explicit Fixture(std::vector<Bytes> scripted = {}, const std::string& password = "12345678")
      : answers(std::move(scripted)), conn(pty.line, 7, "SN7", 12345, password, "hex", &clock) {}
  Bytes frame() const { return Bytes(conn.frame(), conn.frame() + conn.frameLength()); }
};

TEST(CE2727Frame, FramesWorkedOutByHand) {
  Fixture f;
  ASSERT_TRUE(f.conn.init());
  ASSERT_TRUE(f.conn.makePacket(req("DateTime", 1, 23)));
  // 02 0E, address 12345, password 0x12345678, 01, command 1, CRC of those 12 bytes.
  EXPECT_EQ(
      (Bytes{0x02, 0x0E, 0x39, 0x30, 0x00, 0x00, 0x78, 0x56, 0x34, 0x12, 0x01, 0x01, 0x3D, 0xB4}),
      f.frame());
  // Parameter bytes of every command, p1..p4 being 11 22 33 44.
  // clang-format off
  const std::map<uint8_t, Bytes> cases = {
      {0, {}}, {1, {}}, {3, {}}, {21, {}}, {23, {}}, {11, {0x11, 0x33}}, {13, {0x33, 0x44}},
      {15, {0x22, 0x33, 0x44}}, {17, {0x11, 0x00, 0x22, 0x33, 0x44}}, {27, {0x00, 0x00}}};
  // clang-format on
  for (const auto& [cmd, params] : cases) {
    ASSERT_TRUE(f.conn.makePacket(req("x", cmd)));
    std::optional<SeenRequest> seen = parseRequest(f.frame());
    ASSERT_TRUE(seen && seen->cmd == cmd && seen->address == 12345u) << int(cmd);
    EXPECT_EQ(params, seen->params) << int(cmd);
  }
  LogSince log;
  EXPECT_FALSE(f.conn.makePacket(req("Bogus", 99)));
  EXPECT_TRUE(log.has("[7][SN7] CCE2727Connector::makePacket('Bogus') - 99 UNKNOWN COMMAND !!!"));
}

TEST(CE2727Password, Rules) {
  const std::tuple<const char*, const char*, uint32_t, const char*> cases[] = {
      {"0x1A2B3C4D", "hex", 0x1A2B3C4D, ""},
      {"1A2B3C4D", "hex", 0x1A2B3C4D, ""},
      {"000000001A2B3C4D", "hex", 0x1A2B3C4D, ""},           // 16 characters
      {"0000000001A2B3C4D", "hex", 0, "Too Long Password"},  // 17
      {"12G4", "hex", 0, "Incorrect HEX Password"},
      {"4294967295", "ascii", 0xFFFFFFFF, ""},
      {"12345678901", "ascii", 0, "Too Long Password"},  // 11 digits
      {"1z", "ascii", 0, "Incorrect ASCII Password"}};
  for (const auto& [text, type, want, want_error] : cases) {
    uint32_t value = 1;
    std::string error;
    EXPECT_EQ(!*want_error, CCE2727Connector::ParsePassword(text, type, value, error)) << text;
    EXPECT_EQ(std::make_pair(want, std::string(want_error)), std::make_pair(value, error)) << text;
  }
  Fixture bad({}, "0xZZ");
  LogSince log;
  EXPECT_FALSE(bad.conn.init());
  EXPECT_TRUE(log.has("[7][SN7] CCE2727Connector::init() - CAN'T INIT Incorrect HEX Password"));
}

TEST(CE2727Exchange, AttemptsAndTheirMessages) {
  const Bytes time = {0x30, 0x15, 0x10, 0x03, 0x06, 0x03, 0x24, 0x00, 0x00};
  Bytes good = answerFrame(12345, 1, 0, time);
  Bytes bad_crc = good;
  bad_crc[15] ^= 0x01;
  struct Case {
    std::vector<Bytes> answers;
    size_t writes;  // 0: the request fails after three
    size_t piece;
    const char* message;
    Bytes data;  // of the answer taken
  } cases[] = {{{Bytes(good.begin(), good.begin() + 5)},
                0,
                7,
                "CAN'T READ HEADER !!! WHANT 12 BYTES, BUT GOT 5",
                {}},
               {{Bytes(good.begin(), good.begin() + 20)}, 0, 7, "MUST READ 23, BUT GOT 20.", {}},
               {{bad_crc, good}, 2, 7, "CCE2727Connector::calcCRC CRC ERROR", time},
               // The rest of a wrong answer must be in before the next attempt flushes.
               {{answerFrame(12346, 1, 0, time), good}, 2, 64, "WRONG ANSWER HEADER", time},
               // Worked out by hand: 01 at byte 10 as in the request, 9 data bytes.
               {{hex("02 17 39 30 00 00 00 00 00 00 01 01 30 15 10 03 06 03 24 00 00 91 5F")},
                1,
                7,
                "",
                time},
               // 14 bytes, 01 at byte 10: an answer without data, read at its own length.
               {{hex("02 0E 39 30 00 00 00 00 00 00 01 01 AD 10")}, 1, 7, "", {}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    Fixture f(c.answers);
    f.pty.piece = c.piece;
    ASSERT_TRUE(f.conn.init());
    LogSince log;
    EXPECT_EQ(c.writes != 0, f.conn.SendRequest(req("DateTime", 1, 23)));
    EXPECT_EQ(c.writes ? c.writes : 3, f.requests.load());
    EXPECT_TRUE(log.has(c.message));
    if (c.writes)
      EXPECT_EQ(hexText(c.data), hexText(Bytes(f.conn.answerData(),
                                               f.conn.answerData() + f.conn.answerDataLength())));
    else
      EXPECT_TRUE(log.has("3 RAEDING ATTEMPT IS FAILED !!!") && log.has("DateTime') CAN'T SEND"));
  }
}

// Moscow time, no DST: local midnight of 6 March 2024.
constexpr time_t kMar6 = 1709672400;
constexpr time_t kHour = 3600;
constexpr int kDTZ = 3600;                // meter clock one hour ahead of the controller
constexpr time_t kMeterNow = 1709727030;  // 6 March 2024 15:10:30 meter time

// The date asked, five counters; code 5 for `end`, month 13 for `bad`.
FakeMeter::Handler archive(uint32_t base, const Bytes& end = {}, const Bytes& bad = {}) {
  return [=](const Bytes& p, uint8_t& code) {
    code = p == end ? 5 : 0;
    Bytes d = p;
    if (p == bad) d[1] = 0x13;
    for (uint32_t t = 0; t <= 4; ++t) putLE(d, base + 1000 * (p[0] & 0x0F) + t, 4);
    return d;
  };
}

Bytes le32(std::initializer_list<uint32_t> words, Bytes head = {}) {
  for (uint32_t w : words) putLE(head, w, 4);
  return head;
}

// Always the same answer, zero-padded to `size` bytes.
FakeMeter::Handler fixed(Bytes data, size_t size = 0) {
  data.resize(std::max(size, data.size()), 0);
  return [data](const Bytes&, uint8_t&) { return data; };
}

// The text of the SerialErrorException a call throws.
std::string serialError(const std::function<void()>& call) {
  try {
    call();
  } catch (const SerialErrorException& e) {
    return e.message();
  }
  return "no exception";
}

struct TestDriver : CmtrCE2727 {
  TestDriver(int model, const std::string& serial, const std::string& password)
      : CmtrCE2727(model) {
    settings.meter_number = 5;
    settings.serial_text = serial;
    settings.password = password;
    params = {{"net_address", "4242"}, {"pu_tz", "4"}, {"srv_tz", "3"}};
  }
};

// The driver on a pseudo-terminal with a meter whose clock reads kMeterNow.
class CE2727Driver : public ::testing::Test {
 protected:
  std::unique_ptr<TestDriver> make(int model, const std::string& serial = "778899",
                                   const std::string& password = "") {
    tzset();
    auto d = std::make_unique<TestDriver>(model, serial, password);
    d->setClock(&clock);
    d->SaveConnector(pty.line);
    return d;
  }

  mtr_test::ScopedEnv tz{"TZ", "MSK-3"};
  mtr_test::FakeClock clock{1709730000};
  FakeMeter meter{4242, {{1, fixed({0x30, 0x10, 0x15, 0x03, 0x06, 0x03, 0x24, 0x00, 0x00})}}, {}};
  PtyLine pty{[this](const Bytes& f) { return meter(f); }};
};

TEST_F(CE2727Driver, DailyAndMonthlyRecordsAreStampedAtTheFollowingMidnight) {
  // 01 at byte 10 of every answer with data; the answer for 6 March is unreadable.
  meter.data_byte10 = 1;
  meter.handlers[15] = archive(12345, {}, {0x06, 0x03, 0x24});
  meter.handlers[13] = archive(500000, {0x01, 0x24});
  auto d = make(2);
  d->init();
  MeasuredValueList daily, monthly;
  LogSince log;
  // Twice in one session: the unreadable answer is worth one warning.
  for (int pass = 0; pass < 2; ++pass) {
    daily.clear();
    EXPECT_EQ(10, d->get_arch_values(Daily, kMar6, kMar6 + 2 * 86400, daily));
  }
  EXPECT_EQ(1, log.count("Warning: [5][778899] CmtrCE2727::parseResponse('Daily'): VALUE 'Date' "
                         "IS UNREADABLE, ANSWER:"));
  EXPECT_EQ(1,
            log.count("Warning: [5][778899] --- CmtrCE2727::parseArchive('Daily') - WRONG DATE"));
  EXPECT_TRUE(log.has("Warning: [5][778899] 02 25 92 10 00 00 00 00 00 00 01 0F 06 13 24"));
  // The walk goes past it; the window's last day is stamped after the window.
  EXPECT_EQ((std::vector<Bytes>{
                {0x05, 0x03, 0x24}, {0x06, 0x03, 0x24}, {0x07, 0x03, 0x24}, {0x08, 0x03, 0x24}}),
            std::vector<Bytes>(meter.asked[15].begin() + 4, meter.asked[15].end()));
  time_t jan1 = 1704067200 - 3 * kHour;
  d->get_arch_values(Monthly, jan1, jan1 + 40 * 86400, monthly);
  EXPECT_EQ((std::vector<Bytes>{{0x12, 0x23}, {0x01, 0x24}}), meter.asked[13]);
  EXPECT_TRUE(log.has("CmtrCE2727::isNextArchive('Monthly'): stop reading by device"));
  ASSERT_EQ(std::make_pair(size_t(10), size_t(5)), std::make_pair(daily.size(), monthly.size()));
  auto text = [](const MeasuredValue& v) {
    return std::to_string(v.param_code) + "/" + std::to_string(v.kind) + "/" +
           std::to_string(v.sys) + " " + v.value + " q" + std::to_string(v.opc_quality) + " @" +
           std::to_string(v.timestamp);
  };
  EXPECT_EQ("50/2/0 17.345 q192 @" + std::to_string(kMar6 - kDTZ), text(daily.front()));
  EXPECT_EQ("50/4/4 502.004 q192 @" + std::to_string(jan1 - kDTZ), text(monthly.back()));
}

TEST_F(CE2727Driver, ArchiveAnswerVariants) {
  using namespace CmtrCE2727Requests;
  const std::vector<Field> unknown_type = {{"Date", kFieldDate, 3, 0, 70, false},
                                           {"WA", 99, 4, 0, 50, false}};
  const time_t jan1 = 1704067200 - 3 * kHour;
  // Frames worked out by hand, 01 at byte 10; daily counters 123456, 1000, 0,
  // 2^32 - 1 and 5 Wh, monthly ones 1 to 5.
  const char* daily =
      "02 25 92 10 00 00 00 00 00 00 01 0F 05 03 24 40 E2 01 00 E8 03 00 00 00 00 "
      "00 00 FF FF FF FF 05 00 00 00 60 A8";
  struct Row {
    const char* what;
    const std::vector<Field>& fields;
    std::string frame;
    time_t from, till;
    ArchiveDefect defect;
    int position;
    std::string values;  // "tariff:text ..." then "@time"
  } rows[] = {
      {"a day's counters at the following midnight", DailyFields(), daily, kMar6, kMar6,
       kArchiveGood, 0, "0:123.456 1:1.000 2:0.000 3:4294967.295 4:0.005 @1709672400"},
      {"record before the window", DailyFields(), daily, kMar6 + 1, kMar6 + 86400, kArchiveGood, 0,
       ""},
      {"month 12 of 2023 ends on 1 January 2024", MonthlyFields(),
       "02 24 92 10 00 00 00 00 00 00 01 0D 12 23 01 00 00 00 02 00 00 00 03 00 00 00 04 00 00 "
       "00 05 00 00 00 24 51",
       jan1, jan1, kArchiveGood, 0, "0:0.001 1:0.002 2:0.003 3:0.004 4:0.005 @1704056400"},
      {"month 13", DailyFields(),
       "02 25 92 10 00 00 00 00 00 00 01 0F 05 13 24 40 E2 01 00 E8 03 00 00 00 00 00 00 FF FF "
       "FF FF 05 00 00 00 1A 6D",
       kMar6, kMar6, kArchiveBadDate, 12, ""},
      {"cut after the date", DailyFields(), "02 11 92 10 00 00 00 00 00 00 01 0F 05 03 24 5A 4B",
       kMar6, kMar6, kArchiveOutOfPacket, 15, ""},
      {"a field type the list does not know", unknown_type, daily, kMar6, kMar6,
       kArchiveUnknownType, 15, ""},
  };
  for (const auto& row : rows) {
    Bytes f = hex(row.frame);
    ArchiveAnswer a = ParseArchiveAnswer(row.fields, f.data(), int(f.size()),
                                         &row.fields == &DailyFields(), row.from, row.till);
    std::string got;
    for (const auto& v : a.values) got += std::to_string(v.field->tariff) + ":" + v.text + " ";
    if (!a.values.empty()) got += "@" + std::to_string(a.values.front().time);
    EXPECT_EQ(std::make_tuple(row.defect, row.position, row.values),
              std::make_tuple(a.defect, a.defect ? a.position : 0, got))
        << row.what;
  }
}

TEST_F(CE2727Driver, ProfileWalksHalfDaysAndSkipsSlotsWithoutValue) {
  // Slot i of half-day h: 1000 * (h + 1) + i; afternoon slot 3 empty; `cut` ends afternoons.
  bool cut = false;
  meter.handlers[17] = [&cut](const Bytes& p, uint8_t&) {
    Bytes d = {p[0], 30, p[2], p[3], p[4]};
    for (int i = 0; i < 24 && !(cut && p[0] == 1); ++i) {
      d.push_back(p[0] == 1 && i == 3 ? 0 : 1);
      putLE(d, 1000 * (1 + p[0]) + i, 2);
    }
    return d;
  };
  auto d = make(2);
  d->init();
  MeasuredValueList values;
  time_t from = kMar6 + 10 * kHour, till = kMar6 + 25 * kHour;
  d->get_arch_values(Hourly, from, till, values);
  // Meter time 11:00 lies in the morning of 6 March; then 12-hour steps.
  EXPECT_EQ((std::vector<Bytes>{{0x00, 0x00, 0x06, 0x03, 0x24},
                                {0x01, 0x00, 0x06, 0x03, 0x24},
                                {0x00, 0x00, 0x07, 0x03, 0x24}}),
            meter.asked[17]);
  std::map<time_t, std::string> got;
  for (const auto& v : values)
    got[v.timestamp] =
        std::to_string(v.param_code) + "/" + std::to_string(v.kind) + " " + v.value + " " + v.dim;
  // The morning half-day starts at 23:00 controller time: slots 21 to 23 are in.
  EXPECT_EQ("54/6 1.021 кВт", got[from - 1800]);
  // The afternoon starts at 11:00; slot 3 has no value, slot 4 keeps its time.
  time_t noon = kMar6 + 11 * kHour;
  EXPECT_EQ("54/6 2.002 кВт", got[noon + 2 * 1800]);
  EXPECT_EQ(0u, got.count(noon + 3 * 1800));
  EXPECT_EQ("54/6 2.004 кВт", got[noon + 4 * 1800]);
  EXPECT_EQ("54/6 1.004 кВт", got[till]);
  EXPECT_EQ(3u + 23u + 5u, got.size());
  // An unreadable afternoon costs its own slots; the walk goes on.
  cut = true;
  values.clear();
  d->get_arch_values(Hourly, from, till, values);
  EXPECT_EQ(std::make_pair(size_t(6), size_t(3 + 5)),
            std::make_pair(meter.asked[17].size(), values.size()));
}

TEST_F(CE2727Driver, SystemValuesAndTheSerialCheck) {
  auto info = [](uint32_t serial) {  // firmware 2.05, then serial and address at 12
    return fixed(le32({serial, 4242}, {0x05, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 40);
  };
  meter.handlers[0] = info(778899);
  meter.handlers[21] = fixed({0x15, 0x01, 0x23}, 50);  // made 15 January 2023
  meter.data_byte10 = 1;
  auto d = make(2, "00778899");
  d->init();
  std::map<uint32_t, std::string> got;
  for (const auto& v : d->get_all_system_values()) got[v.param_code] = v.value;
  EXPECT_EQ("ЦЭ2727А 2.05 778899 1673730000 " + std::to_string(kMeterNow - kDTZ),
            got[72] + " " + got[73] + " " + got[74] + " " + got[75] + " " + got[85]);
  // An unreadable manufacture date costs that value only.
  meter.handlers[21] = fixed({0x15, 0x13, 0x23}, 50);
  got.clear();
  for (const auto& v : d->get_all_system_values()) got[v.param_code] = v.value;
  EXPECT_EQ(std::make_pair(size_t(4), size_t(0)), std::make_pair(got.size(), got.count(75)));

  LogSince log;
  meter.handlers[0] = info(111);
  EXPECT_EQ("111", serialError([&] { d->get_all_system_values(); }));
  EXPECT_TRUE(log.has("READ SERIAL '111' != GIVEN SERIAL '00778899' !!! EXCEPTION"));
  meter.handlers.erase(0);
  EXPECT_EQ("No Data", serialError([&] { d->get_all_system_values(); }));
  EXPECT_TRUE(log.has("[5][00778899] CmtrCE2727::get_all_system_values(): CAN'T READ SERIAL"));
}

TEST_F(CE2727Driver, CurrentValuesAndMeterTime) {
  meter.handlers[3] = fixed(le32({987654, 987655, 987656, 987657, 987658}, {2}));
  meter.handlers[23] = fixed(le32({1500, 500, uint32_t(-250), 1250}));
  meter.handlers[27] = fixed({}, 78);
  auto d = make(2);
  d->init();
  std::map<std::pair<uint32_t, int>, std::string> got;
  for (const auto& v : d->get_all_curtime_cur_integ_values())
    got[{v.param_code, v.sys}] = v.value + " " + std::to_string(v.kind) + " " + v.dim;
  EXPECT_EQ("987.658 0 ", (got[{50, 4}]));
  EXPECT_EQ("1.500 0 кВт", (got[{31, 0}]));
  EXPECT_EQ("-0.250 0 кВт", (got[{33, 0}]));
  EXPECT_EQ(std::to_string(kMeterNow - kDTZ) + " 10 ", (got[{85, 0}]));
  timestamps ts;
  EXPECT_TRUE(d->GetTimestamps(ts) && ts.curr_time == kMeterNow - kDTZ);
  // A time that is not a time costs the meter time; without it no archive window.
  meter.handlers[1] = fixed({0x30, 0x10, 0x25, 0x03, 0x06, 0x03, 0x24, 0x00, 0x00});
  got.clear();
  for (const auto& v : d->get_all_curtime_cur_integ_values()) got[{v.param_code, v.sys}] = v.value;
  EXPECT_EQ(std::make_pair(size_t(5 + 4 + 18), size_t(0)),
            std::make_pair(got.size(), got.count({85, 0})));
  LogSince log;
  EXPECT_THROW(d->GetTimestamps(ts), CDisconnectException);
  meter.handlers.erase(1);  // the meter refuses the time
  EXPECT_THROW(d->GetTimestamps(ts), CDisconnectException);
  EXPECT_EQ(2, log.count("CmtrCE2727::GetTimestamps(): CAN'T READ CURRENT DATETIME !!!"));
}

TEST_F(CE2727Driver, InitAndAccessFailures) {
  LogSince log;
  EXPECT_THROW(make(3)->init(), CDisconnectException);
  EXPECT_TRUE(log.has("[5][778899] CmtrCE2727::init() - UNKNOWN DEVICE MODEL 3 !!!"));
  // A wrong password: the meter answers every request with code 1.
  auto d = make(1, "1", "0x1234");
  EXPECT_TRUE(d->init());
  EXPECT_THROW(d->get_all_curtime_cur_integ_values(), CDisconnectException);
  EXPECT_TRUE(log.has("CmtrCE2727::parseError: Request {DateTime} return code 1"));
  EXPECT_TRUE(log.has("CmtrCE2727::sendRequest() - CAN'T PARSE RESPONSE !!!"));
}

}  // namespace
