#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <map>

#include "drivers/models/mercury/mercury23x.h"
#include "support/test_support.h"
#include "transport/connector.h"
#include "transport/serial_peers.h"

namespace {

using namespace peers;
using namespace CmtrMercury23XRequets;

// Every test of this binary runs in UTC.
const bool kUtc = (setenv("TZ", "UTC", 1), tzset(), true);
const char* kOpen = "01 01 01 01 01 01 01 01";

// Records the frames written; an empty answer from `meter` is silence.
struct ScriptedLine : CConnector {
  std::function<Bytes(const Bytes&)> meter;
  std::vector<Bytes> writes;
  Bytes pending;

  int32_t WriteBuffer(const uint8_t* buf, uint16_t len, bool) override {
    writes.emplace_back(buf, buf + len);
    pending = meter ? meter(writes.back()) : Bytes{};
    return len;
  }
  int32_t ReadBufferCycle(uint8_t* buf, uint16_t len, bool, uint32_t) override {
    if (pending.empty()) return -1;
    size_t n = std::min<size_t>(len, pending.size());
    memcpy(buf, pending.data(), n);
    pending.clear();
    return static_cast<int32_t>(n);
  }
  int32_t ReadBuffer(uint8_t* buf, uint16_t len, bool f) override {
    return ReadBufferCycle(buf, len, f, 0);
  }
  bool open_device() override { return true; }
  void close_device() override {}
  int FlushBuffer() override { return 0; }
  int DrainBuffer() override { return 0; }
  void SetTimeout(uint32_t) override {}
  // Commands (address and CRC cut off) of every frame written.
  std::vector<std::string> commands() const {
    std::vector<std::string> out;
    for (const Bytes& f : writes) out.push_back(hexText(Bytes(f.begin() + 1, f.end() - 2)));
    return out;
  }
};

// Opens only to `open` (else 03), says 05 while closed and 01 to unknown commands.
struct TableMeter {
  std::map<std::string, std::string> table;
  std::string open = "01 01 01 01 01 01 01 01";  // password 111111, digits
  std::function<bool(const std::string&)> drop;  // true: no reply
  std::map<std::string, int> asked;
  bool channel_open = false;

  Bytes operator()(const Bytes& request) {
    if (request.size() < 4 || request[0] != 0x23 ||
        withCrc(Bytes(request.begin(), request.end() - 2)) != request)
      return {};
    const std::string command = hexText(Bytes(request.begin() + 1, request.end() - 2));
    asked[command]++;
    if (drop && drop(command)) return {};
    if (request[1] == 0x01) channel_open = command == open;
    auto it = table.find(command);
    std::string data = request[1] == 0x00 || (request[1] == 0x01 && channel_open) ? "00"
                       : request[1] == 0x01                                       ? "03"
                       : !channel_open                                            ? "05"
                       : it == table.end()                                        ? "01"
                                                                                  : it->second;
    return withCrc(hex("23 " + data));
  }
};

// "2024-03-15 10:20:30" (or a date alone) as UTC seconds.
time_t utc(const char* text) {
  struct tm tm = {};
  strptime(text, "%Y-%m-%d %H:%M:%S", &tm);
  return timegm(&tm);
}

// Meter 42 on a scripted line; its clock read 10:00, the controller's 10:20:30.
struct Line {
  std::shared_ptr<ScriptedLine> line = std::make_shared<ScriptedLine>();
  std::shared_ptr<CMercury23XLowLevelConnector> ll =
      std::make_shared<CMercury23XLowLevelConnector>(line, "42", "SN1");
  MeterState st;
  mtr_test::FakeClock clock{1710498030};
  explicit Line(uint8_t address = 0x23, const char* password = "111111", bool ascii = false) {
    logLevel(TL_INFO);
    ll->setAddress(address);
    ll->setPassword(password);
    ll->setPasswordAscii(ascii);
    st.clock = &clock;
    st.meter_time = utc("2024-03-15 10:00");
  }
  // Runs a request whose reply from meter 0x23 carries `data`; "" is silence.
  MeasuredValueList run(BaseRequest& r, const std::string& data) {
    return run(r, data.empty() ? Bytes{} : withCrc(hex("23" + data)));
  }
  MeasuredValueList run(BaseRequest& r, const Bytes& reply) {
    line->meter = [reply](const Bytes&) { return reply; };
    r.setConnector(ll);
    MeasuredValueList values;
    r.sendRequest(values);
    return values;
  }
};

// The driver with its settings set directly, on a fake clock.
class TestDriver : public CmtrMercury23X {
 public:
  TestDriver(const std::string& model, const SettingsMap& params = {},
             const std::string& serial = "")
      : CmtrMercury23X(model, 0), fake_clock(1710498030) {  // 2024-03-15 10:20:30
    logLevel(TL_INFO);
    setClock(&fake_clock);
    settings.meter_id = "7001";
    settings.meter_number = 7001;
    settings.serial_text = serial;
    settings.password = "111111";
    save_init_params(params);
  }
  MeterState& mutableState() { return state_; }
  mtr_test::FakeClock fake_clock;
};

// Value of the first record of (kind, code, sys), stamped `at` when given, or "<absent>".
std::string value(const MeasuredValueList& values, uint32_t kind, uint32_t code, uint8_t sys = 0,
                  time_t at = 0) {
  for (const auto& v : values)
    if (v.kind == kind && v.param_code == code && v.sys == sys && (!at || v.timestamp == at))
      return v.value;
  return "<absent>";
}

// The command a request sends (address and CRC cut off), its CRC checked.
std::string commandOf(BaseRequest& r) {
  Line l;
  try {
    l.run(r, "");
  } catch (const CWrongPacketException&) {
  }
  const Bytes& f = l.line->writes.at(0);
  EXPECT_EQ(withCrc(Bytes(f.begin(), f.end() - 2)), f);
  return l.line->commands().at(0);
}

uint16_t dataSizeOf(BaseRequest& r) {
  auto* req = dynamic_cast<Request*>(&r);
  return req ? req->dataSize() : 0;
}

TEST(MercuryFrames, WholeFrames) {
  TestDriver driver("mercury230");
  // Request, address, password, ASCII password, the frame sent.
  const std::tuple<std::shared_ptr<BaseRequest>, uint8_t, const char*, bool, const char*> cases[] =
      {{std::make_shared<TestRequest>(nullptr), 0, "", false, "00 00 01 B0"},
       {driver.makeRequest(4), 0x23, "", false, "23 08 11 11 46 3E"},
       // Digit mode sends "1" as 01, ASCII mode as 0x31; four characters end in two zeros.
       {driver.makeRequest(1), 0x23, "1234", false, "23 01 01 01 02 03 04 00 00 6F 59"},
       {driver.makeRequest(1), 0x23, "1234", true, "23 01 01 31 32 33 34 00 00 25 A2"}};
  for (const auto& [request, address, password, ascii, frame] : cases) {
    Line l(address, password, ascii);
    EXPECT_THROW(l.run(*request, ""), CWrongPacketException);  // silence
    EXPECT_EQ(frame, hexText(l.line->writes.at(0)));
  }
}

TEST(MercuryFrames, WholeCatalogue) {
  TestDriver driver("mercury230");
  driver.mutableState().firmware[1] = 3;  // so the averaging time is asked
  driver.mutableState().firmware_read = true;
  driver.mutableState().last_profile_addr = 0x1000;
  // Numbers 0 to 30 in order: command / data size.
  // clang-format off
  const char* singles[] = {
      "00/1", "01 01 01 01 01 01 01 01/1", "02/1", "08 00/7", "08 11 11/3", "08 11 12/3",
      "08 11 13/3", "08 11 21/3", "08 11 22/3", "08 11 23/3", "08 11 40/3", "08 11 00/3",
      "08 11 01/3", "08 11 02/3", "08 11 03/3", "08 11 04/3", "08 11 05/3", "08 11 06/3",
      "08 11 07/3", "08 11 30/3", "08 11 31/3", "08 11 32/3", "08 11 33/3", "04 00/8", "08 02/4",
      "08 03/3", "08 01 00/24", "08 12/6", "04 01 FF/13", "08 21/2", "08 0A/6"};
  for (int number = 0; number <= 30; ++number) {
    auto request = driver.makeRequest(number);
    ASSERT_NE(nullptr, request);
    EXPECT_EQ(singles[number], commandOf(*request) + "/" + std::to_string(dataSizeOf(*request)));
  }
  // Number, members (0: a single request), first command, its data size, last command.
  const std::tuple<int, size_t, const char*, uint16_t, const char*> cases[] = {
      {31, 4, "04 01 FE", 120, "04 07 FE"},
      {32, 5, "05 00 00", 16, "05 00 04"}, {33, 2, "05 00 00", 16, "05 00 01"},
      {34, 5, "05 D0 00", 16, "05 D0 04"}, {35, 5, "05 C0 00", 16, "05 C0 04"},
      {36, 5, "18 00 0A 03 18 00", 16, "18 00 0A 03 18 04"}, {37, 60, "05 B1 00", 16, "05 BC 04"},
      {38, 5, "18 01 01 03 18 00", 16, "18 01 01 03 18 04"}, {39, 5, "05 A0 00", 16, "05 A0 04"},
      {40, 5, "05 90 00", 16, "05 90 04"}, {41, 60, "05 31 00", 16, "05 3C 04"},
      {42, 5, "05 50 00", 16, "05 50 04"}, {43, 5, "05 20 00", 16, "05 20 04"},
      {44, 0, "08 13", 9, ""}, {48, 0, "04 07 FF", 7, ""}, {49, 0, "04 08 FF", 7, ""},
      // Newest profile record at 0x1000, 128-byte blocks going back, 4096 bytes in all.
      {45, 32, "06 03 10 00 78", 120, "06 03 00 80 78"},
      // Holidays of month m at 1D00 + ((m & 3F) * 4 + m - 5); schedules from 0x1000.
      {46, 12, "06 02 1D 00 04", 4, "06 02 1D 37 04"}, {47, 192, "06 02 10 00 10", 16, "06 02 1C AF 10"}};
  // clang-format on
  for (const auto& [number, members, first, data, last] : cases) {
    SCOPED_TRACE(number);
    auto request = driver.makeRequest(number);
    ASSERT_NE(nullptr, request);
    request->setPeriod(utc("2024-03-10"), utc("2024-03-15 10:00:00"));
    auto seq = std::dynamic_pointer_cast<RequestSequence>(request);
    ASSERT_EQ(members, seq ? seq->size() : 0);
    BaseRequest& head = seq ? *seq->requests().front() : *request;
    EXPECT_EQ(first, commandOf(head));
    EXPECT_EQ(data, dataSizeOf(head));
    if (seq) {
      EXPECT_EQ(last, commandOf(*seq->requests().back()));
    }
  }
  EXPECT_EQ(nullptr, driver.makeRequest(50));
  EXPECT_EQ(nullptr, driver.makeRequest(-1));
  DateTime2Request dt2(nullptr);
  HolidaysRequest236 holidays(nullptr, 5);
  EXPECT_EQ("08 14 E0 08 23 05", commandOf(dt2) + " " + commandOf(holidays));
}

TEST(MercuryFrames, SequenceMembersByModel) {
  // clang-format off
  const std::tuple<const char*, int, size_t, const char*> cases[] = {
      {"mercury230", 31, 2, "04 12 FE"},
      {"mercury230", 46, 1, "06 02 1D 05 04"},  // February: 8 + 2 - 5
      {"mercury230", 47, 3, "06 02 10 33 10"},  // day type 2, part 2: 34 + 17 bytes on
      {"mercury230", 47, 16, "06 02 11 10 10"}, // February: 272 bytes on
      // Newest record at 0x10040: bit 16 of the address goes into bit 7.
      {"mercury234", 45, 0, "06 83 00 40 78"},  {"mercury234", 45, 1, "06 03 FF C0 78"},
      // Without command 05h the registers are memory reads.
      {"vector-3", 34, 1, "06 02 07 0C 10"},    {"vector-3", 35, 0, "06 02 06 A6 10"},
      {"vector-3", 37, 5, "06 02 02 FF 10"},    {"vector-3", 41, 0, "05 31 00"}};
  // clang-format on
  for (const auto& [model, number, index, command] : cases) {
    SCOPED_TRACE(std::string(model) + " " + std::to_string(number));
    TestDriver driver(model);
    driver.mutableState().last_profile_addr = driver.modelNumber() == 234 ? 0x10040 : 0x1000;
    auto seq = std::dynamic_pointer_cast<RequestSequence>(driver.makeRequest(number));
    ASSERT_NE(nullptr, seq);
    EXPECT_EQ(command, commandOf(*seq->requests().at(index)));
  }
  TestDriver big("mercury234");
  EXPECT_EQ(64u, std::dynamic_pointer_cast<RequestSequence>(big.makeRequest(45))->size());
  auto journals = std::dynamic_pointer_cast<RequestSequence>(big.makeRequest(31));
  EXPECT_EQ(60, dataSizeOf(*journals->requests().back()));  // 6-byte records
}

TEST(MercuryFormats, MeasuredQuantities) {
  Line l;
  // Request, reply B0 B1 B2 = (B0 << 16) | (B2 << 8) | B1, parameter, value.
  const std::tuple<std::shared_ptr<BaseRequest>, const char*, uint32_t, const char*> cases[] = {
      {std::make_shared<VoltageRequest>(&l.st, 1), "00 98 59", 39, "229.36"},
      {std::make_shared<CurrentRequest>(&l.st, 2), "00 88 13", 43, "5.000"},
      {std::make_shared<FrequencyRequest>(&l.st), "00 88 13", 49, "50.00"},
      {std::make_shared<CosRequest>(&l.st, 0), "C0 E8 03", 45, "1.000"},  // direction bits
      // Active power: bit 7 of B0 is the sign, bit 6 is not; reactive the other way.
      {std::make_shared<PowerRequest>(&l.st, 0, 1), "81 40 E2", 32, "-1.23456"},
      {std::make_shared<PowerRequest>(&l.st, 0, 1), "41 40 E2", 32, "1.23456"},
      {std::make_shared<PowerRequest>(&l.st, 1, 0), "81 40 E2", 35, "1.23456"},
      {std::make_shared<PowerRequest>(&l.st, 1, 2), "41 40 E2", 37, "-1.23456"}};
  for (const auto& [request, data, code, text] : cases) {
    MeasuredValueList v = l.run(*request, data);
    ASSERT_EQ(1u, v.size()) << data;
    EXPECT_EQ(std::make_tuple(code, 0u, std::string(text), 192, 1710498030),
              std::make_tuple(v.front().param_code, v.front().kind, v.front().value,
                              int(v.front().opc_quality), int(v.front().timestamp)));
  }
}

TEST(MercuryFormats, EnergyRegistersByArrayCode) {
  Line l;
  // A+ B0..B3 = (B1 << 24) | (B0 << 16) | (B3 << 8) | B2 = 74565; A- FF FF FF FF is
  // empty; R+ 0x01000000; R- 0x10.
  const char* data = "01 00 45 23 FF FF FF FF 00 01 00 00 00 00 10 00";
  // Array code, record group, record time (0: no record).
  // clang-format off
  const std::tuple<int, uint32_t, time_t> cases[] = {
      {0x00, 0, 1710498030} /* reading time */, {0x20, 9, utc("2023-01-01")},
      {0x31, 8, utc("2024-01-01")}, {0x33, 0, 0} /* this month's use */, {0x10, 0, 0},
      {0x34, 8, utc("2023-04-01")}, {0x50, 7, utc("2024-03-14")}, {0x90, 5, utc("2024-01-01")},
      {0xB4, 4, utc("2023-04-01")}, {0xD0, 2, utc("2024-03-14")}};
  // clang-format on
  for (const auto& [code, kind, time] : cases) {
    IntegratorsRequest request(&l.st, code, 2);
    MeasuredValueList v = l.run(request, data);
    EXPECT_EQ(time ? 4u : 0u, v.size()) << code;
    for (const auto& r : v)
      EXPECT_EQ(std::make_tuple(kind, 2, time),
                std::make_tuple(r.kind, int(r.sys), time_t(r.timestamp)))
          << code;
    EXPECT_EQ(time ? "74.565 0.000 16777.216 0.016" : "<absent> <absent> <absent> <absent>",
              value(v, kind, 50, 2) + " " + value(v, kind, 51, 2) + " " + value(v, kind, 52, 2) +
                  " " + value(v, kind, 53, 2));
  }
  DmaIntegratorsRequest memory(&l.st, 0xC0, 1);  // counts halves: 0x3039 / 2
  EXPECT_EQ("6.1725",
            value(l.run(memory, "00 00 39 30 00 00 00 00 00 00 00 00 00 00 00 00"), 2, 50, 1));
}

TEST(MercuryFormats, ClockAndIdentityReplies) {
  Line l;
  l.st.dtz = -7200;
  DateTimeRequest clock(&l.st);  // s m h weekday D M Y season, BCD
  EXPECT_EQ(std::to_string(utc("2024-03-15 12:20:30")),
            value(l.run(clock, "30 20 10 05 15 03 24 01"), 10, 85));
  EXPECT_EQ(utc("2024-03-15 10:20:30"), l.st.meter_time);
  EXPECT_THROW(l.run(clock, "99 20 10 05 15 03 24 01"), CWrongPacketException);
  EXPECT_THROW(l.run(clock, "00 00 00 05 32 03 24 01"), CWrongPacketException);
  time_t t = 0;
  ASSERT_TRUE(timeStamp6(hex("30 20 10 29 02 24").data(), &t));  // s m h D M Y
  EXPECT_EQ(utc("2024-02-29 10:20:30"), t);
  for (const char* bad :
       {"FF FF FF FF FF FF", "00 60 00 01 01 24", "00 00 24 01 01 24", "00 00 00 31 04 24",
        "00 00 00 01 13 24", "0A 00 00 01 01 24", "00 00 00 30 02 24"})
    EXPECT_FALSE(timeStamp6(hex(bad).data(), &t)) << bad;
  SerialRequest serial(&l.st);
  EXPECT_EQ("01020304", value(l.run(serial, "01 02 03 04 0F 06 15"), 10, 74));
  // State bits: bit 0 never counts; bit k sets bit T[k - 1] (16, 3, 15, 0, ...).
  StateRequest state(&l.st);
  EXPECT_EQ(std::to_string((1 << 16) | (1 << 3)), value(l.run(state, "17 00 00 00 00 02"), 0, 14));
}

TEST(MercuryFormats, PowerProfileRecordsAndMeterConstant) {
  Line l;
  ProfileMemoryRequest request(&l.st, 0);
  request.setPeriod(utc("2024-03-15 09:00:00"), utc("2024-03-15 11:00:00"));
  // Record: state, hour, minute, day, month, year (BCD), T, then A+, A-, R+, R- little-endian.
  std::string data =
      "00 10 00 15 03 24 1E E8 03 FF FF 64 00 00 00 "  // 10:00, T 30
      "00 08 00 15 03 24 1E 01 00 01 00 01 00 01 00 "  // before the window
      "00 11 00 15 03 24 00 01 00 01 00 01 00 01 00 "  // T = 0
      "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF "  // empty slot
      "00 12 00 15 03 24 1E 01 00 01 00 01 00 01 00 "  // after the window
      "00 09 00 15 03 24 3C 10 27 00 00 00 00 00 00 "  // 09:00, T 60
      "00 45 00 15 03 24 1E 01 00 01 00 01 00 01 00 "  // hour 45: not a time
      "00 10 30 15 03 24 1E D0 07 01 00 FF FF FF FF";  // 10:30
  std::string got;
  for (const auto& r : l.run(request, data))
    got += std::to_string(r.timestamp - utc("2024-03-15")) + "/" + std::to_string(r.param_code) +
           "/" + std::to_string(r.kind) + "=" + r.value + " ";
  // Walked from the last record (seconds into the day); N * 60 / T / (2 * C), C 5000.
  EXPECT_EQ(
      "37800/54/6=0.40000 37800/55/6=0.00020 32400/54/6=1.00000 32400/55/6=0.00000 "
      "32400/56/6=0.00000 32400/57/6=0.00000 36000/54/6=0.20000 36000/56/6=0.02000 "
      "36000/57/6=0.00000 ",
      got);
  // Codes 6 to 15 divide by 2 only; code 1 is 25000.
  request.setPeriod(utc("2024-03-15 10:00:00"), utc("2024-03-15 10:00:00"));
  for (const auto& [code, text] : {std::pair(0x0B, "1000.00000"), std::pair(0x01, "0.04000")}) {
    l.st.variant[1] = code;
    EXPECT_EQ(text, value(l.run(request, data), 6, 54));
  }
  const int constants[6] = {5000, 25000, 1250, 500, 1000, 250};
  for (int code = 0; code < 16; ++code)
    EXPECT_EQ(code < 6 ? constants[code] : 1, meterConstant(static_cast<uint8_t>(0xA0 | code)));
  // The newest record's address counts in 16-byte units on the larger models.
  LastProfileRequest last(&l.st);
  for (int model : {230, 231, 233, 234, 204}) {
    l.st.model_number = model;
    l.run(last, "12 34 00 14 30 15 03 24 1E");
    EXPECT_EQ(model > 232 || model == 204 ? 0x12340u : 0x1234u, l.st.last_profile_addr) << model;
  }
  EXPECT_EQ(std::make_pair(int64_t(utc("2024-03-15 14:30:00")), 30),
            std::make_pair(l.st.last_profile_time, l.st.last_profile_period));
}

TEST(MercuryExchange, BadFramesThrow) {
  const std::pair<Bytes, const char*> cases[] = {
      {{}, "no frame, size = 65535"},
      {hex("23 05"), "Short frame size = 2"},
      {withCrc(hex("24 00 98 59")), "Invalid address = 36"},
      {hex("23 00 98 59 00 00"), "Invalid checksum in reply"},
      {withCrc(hex("23 98 59")), "Invalid frame size = 5"},
      // Only the expected length is read: the tail of a longer frame is missing.
      {withCrc(hex("23 00 98 59 00")), "Invalid checksum in reply"}};
  for (const auto& [reply, message] : cases) {
    Line l;
    VoltageRequest request(&l.st, 1);
    LogSince log;
    EXPECT_THROW(l.run(request, reply), CWrongPacketException) << message;
    EXPECT_TRUE(log.has(std::string("[42][SN1] Request::parseFrame: ") + message)) << message;
  }
}

TEST(MercuryExchange, StatusReplyToADataRequest) {
  // Only the low four bits of the status count.
  const std::pair<const char*, const char*> cases[] = {
      {"00", nullptr}, {"03", "Access denied"}, {"35", "Not opened"}, {"0F", "Unknown error"}};
  for (const auto& [byte, text] : cases) {
    Line l;
    IntegratorsRequest request(&l.st, 0x00, 0);  // expects 16 data bytes
    LogSince log;
    EXPECT_TRUE(l.run(request, byte).empty());
    EXPECT_TRUE(log.has("Request::parseFrame: Invalid frame size = 4"));
    EXPECT_EQ(text != nullptr, log.has("DEVICE DOESN'T SUPPORT THIS REQUEST !!!")) << byte;
    EXPECT_TRUE(text ? log.has(std::string("Request::parseErrorCode: status = ") + text)
                     : log.has("Request::parseReply: Ok response from device !!!"))
        << byte;
  }
}

TEST(MercuryExchange, SequenceReopensTheChannelAndPausesBeforeEachRetry) {
  Line l;
  RequestSequence seq(&l.st);
  seq.add(std::make_shared<VoltageRequest>(&l.st, 1));
  seq.add(std::make_shared<VoltageRequest>(&l.st, 2));
  seq.setConnector(l.ll);
  // Open, phase A lost, reopen lost (an attempt too), reopen, phase A, phase B.
  const std::vector<Bytes> replies = {
      withCrc(hex("23 00")),      {}, {}, withCrc(hex("23 00")), withCrc(hex("23 00 98 59")),
      withCrc(hex("23 00 10 5A"))};
  l.line->meter = [&](const Bytes&) { return replies.at(l.line->writes.size() - 1); };
  MeasuredValueList values;
  seq.sendRequest(values);
  EXPECT_EQ((std::vector<std::string>{kOpen, "08 11 11", kOpen, kOpen, "08 11 11", "08 11 12"}),
            l.line->commands());
  EXPECT_EQ(2000, l.clock.nowMs() - 1710498030000LL);
  EXPECT_EQ("229.36 230.56", values.front().value + " " + values.back().value);
  // A first open channel that fails leaves the sequence at once.
  l.line->writes.clear();
  l.line->meter = nullptr;
  EXPECT_THROW(seq.sendRequest(values), CWrongPacketException);
  EXPECT_EQ(1u, l.line->writes.size());
}

// A Mercury 230 with a tariff clock (variant byte 2 bit 6), old archive layout.
TableMeter standardMeter() {
  TableMeter m;
  m.table = {{"08 12", "11 00 40 04 05 00"},     // constant 5000, intRater
             {"08 03", "02 01 05"},              // firmware 2.1.5: mercury230
             {"08 00", "0C 22 38 4E 0F 06 15"},  // serial 12345678, made 2021-06-15
             {"08 02", "00 01 00 28"},           // Icf 1, Ucf 40
             {"04 01 FF", "00 00 08 14 03 24 00 00 07 14 03 24 00"},
             {"08 13", "01 00 00 10 00 15 03 24 3C"},  // newest profile block at 0x100
             {"06 02 1D 00 04", "41 00 00 00"},        // holidays 1 and 7 January
             {"06 02 10 00 10", "00 07 00 37 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF"},  // Jan, Monday
             {"04 00", "30 20 10 05 15 03 24 01"},
             {"08 11 11", "00 98 59"},
             {"08 11 13", "00 00 5A"},
             {"08 11 21", "00 88 13"},
             {"08 11 03", "80 10 27"},                                         // exporting
             {"05 00 00", "00 00 39 30 FF FF FF FF 00 00 10 00 00 00 00 00"},  // A+ 12.345
             {"05 00 01", "00 00 39 20 FF FF FF FF 00 00 00 00 00 00 00 00"},
             {"05 D0 00", "00 00 10 27 00 00 00 00 00 00 00 00 00 00 00 00"},  // 10.000 at 14 Mar
             {"05 C0 00", "00 00 20 4E 00 00 00 00 00 00 00 00 00 00 00 00"},  // 20.000 at 15 Mar
             {"05 50 00", "00 00 E8 03 00 00 00 00 00 00 00 00 00 00 00 00"},  // 1.000 used 14 Mar
             {"05 B3 00", "00 00 30 75 00 00 00 00 00 00 00 00 00 00 00 00"},  // 30.000 at 1 Mar
             {"05 33 00", "00 00 D0 07 00 00 00 00 00 00 00 00 00 00 00 00"},  // March so far
             {"05 32 00", "00 00 B8 0B 00 00 00 00 00 00 00 00 00 00 00 00"},  // 3.000 in February
             // Profile records of 08:00, 09:00 and 10:00 (T 60), then empty slots.
             {"06 03 01 00 78",
              "00 08 00 15 03 24 3C 10 27 00 00 00 00 00 00 "
              "00 09 00 15 03 24 3C 20 4E 00 00 00 00 00 00 "
              "00 10 00 15 03 24 3C 30 75 00 00 00 00 00 00" +
                  std::string(5 * 30, 'F')},
             // Journal 01: one outage 09:15 to 09:20.
             {"04 01 FE", "00 15 09 15 03 24 00 20 09 15 03 24" + std::string(9 * 24, '0')}};
  return m;
}

// The driver on a scripted line to the standard meter, at address 35.
struct Rig {
  explicit Rig(SettingsMap params = {}, const std::string& serial = "12345678")
      : driver("mercury230", (params.emplace("net_address", "35"), params), serial) {
    line->meter = std::ref(meter);
    driver.SaveConnector(line);
  }
  TableMeter meter = standardMeter();
  std::shared_ptr<ScriptedLine> line = std::make_shared<ScriptedLine>();
  TestDriver driver;
};

TEST(MercuryDriver, LostRequestsThrowTheirExceptions) {
  Rig link, model, clock, serial;
  auto lose = [](std::string command) {
    return [command](const std::string& cmd) { return command.empty() || cmd == command; };
  };
  link.meter.drop = lose("");  // the link test
  model.meter.drop = lose("08 12");
  clock.meter.drop = lose("04 00");
  serial.meter.drop = lose("08 00");
  LogSince log;
  timestamps ts;
  EXPECT_THROW(link.driver.init(), CDisconnectException);
  EXPECT_EQ((std::vector<std::string>{"00", "00", "00"}), link.line->commands());
  EXPECT_EQ(3000, link.driver.fake_clock.nowMs() - 1710498030000LL);
  EXPECT_THROW(model.driver.get_all_system_values(), CDisconnectException);
  EXPECT_THROW(clock.driver.GetTimestamps(ts), CNoDateTimeException);
  try {
    serial.driver.get_all_system_values();
    ADD_FAILURE();
  } catch (const SerialErrorException& e) {
    EXPECT_EQ("No Data", e.message());
  }
  for (const char* line : {"[7001][12345678] CmtrMercury23X::init() - CAN'T TEST CONNECTION !!!",
                           "NOT OPTIONAL REQUEST. EXCEPTION WILL BE THROWN !!!",
                           "RequestSequence::sendRequest(): CAN'T READ SERIAL NUMBER !!!",
                           "RequestSequence::sendRequest(): CAN'T READ CURRENT DATE TIME !!!"})
    EXPECT_TRUE(log.has(line)) << line;
  EXPECT_EQ(std::make_tuple(3, 3, 3),
            std::make_tuple(model.meter.asked["08 12"], clock.meter.asked["04 00"],
                            serial.meter.asked["08 00"]));
}

TEST(MercuryDriver, SystemValuesAndTheModelRead) {
  Rig rig;
  MeasuredValueList v = rig.driver.get_all_system_values();
  const std::pair<uint32_t, std::string> want[] = {
      {74, "12345678"},
      {73, "2.1.5"},
      {72, "mercury230"},
      {61, "40"},
      {84, std::to_string(utc("2024-03-14 08:00:00"))},
      {85, std::to_string(utc("2024-03-15 10:20:30"))},
      {64, "[{\"from_s\":\"01-01\",\"to_s\":\"01-01\"},{\"from_s\":\"01-07\",\"to_s\":\"01-07\"}]"},
      {63,
       "[{\"from_s\":\"01-01\",\"to_s\":\"01-31\",\"days\":{\"1\":[{\"time_s\":\"07:00\","
       "\"tariff\":0},{\"time_s\":\"23:00\",\"tariff\":1}]}}]"}};
  for (const auto& [code, text] : want) EXPECT_EQ(text, value(v, 10, code)) << code;
  EXPECT_EQ(1, rig.meter.asked["06 02 1C AF 10"]);  // the whole tariff calendar was read
  rig.meter.table["08 03"] = "09 01 05";            // a meter of another model is taken as that
  rig.driver.get_all_system_values();
  EXPECT_EQ(std::make_pair(234, 8192),
            std::make_pair(rig.driver.modelNumber(), rig.driver.profileMemorySize()));
}

TEST(MercuryDriver, CurrentValues) {
  Rig rig;
  rig.driver.get_all_system_values();
  MeasuredValueList v = rig.driver.get_all_curtime_cur_integ_values();
  EXPECT_EQ("229.36 230.40 5.000 -0.10000 12.345 0.016 8.249",
            value(v, 0, 39) + " " + value(v, 0, 41) + " " + value(v, 0, 42) + " " +
                value(v, 0, 34) + " " + value(v, 0, 50) + " " + value(v, 0, 52) + " " +
                value(v, 0, 50, 1));
  EXPECT_EQ("<absent>", value(v, 0, 40));  // refused with status 01
  EXPECT_EQ(0x100u, rig.driver.state().last_profile_addr);
  for (const auto& r : v) EXPECT_EQ(1710498030, r.timestamp);
}

TEST(MercuryDriver, ArchiveCacheReadsOncePerKind) {
  Rig rig;
  rig.driver.get_all_system_values();
  timestamps ts;
  rig.driver.GetTimestamps(ts);
  MeasuredValueList first, second, monthly;
  rig.driver.get_arch_values(Daily, utc("2024-03-14"), utc("2024-03-14"), first);
  // Start of yesterday only: today's start and yesterday's use count at today.
  EXPECT_EQ(4u, first.size());
  EXPECT_EQ("10.000", value(first, 2, 50, 0, utc("2024-03-14")));
  rig.driver.get_arch_values(Daily, utc("2024-03-15"), utc("2024-03-15"), second);
  EXPECT_EQ("20.000 1.000", value(second, 2, 50, 0, utc("2024-03-15")) + " " +
                                value(second, 7, 50, 0, utc("2024-03-14")));
  EXPECT_EQ(1, rig.meter.asked["05 D0 00"]);
  // Month use for the running month is asked for but gives no record.
  rig.driver.get_arch_values(Monthly, utc("2023-03-15"), utc("2024-03-14"), monthly);
  EXPECT_EQ("30.000 3.000", value(monthly, 4, 50, 0, utc("2024-03-01")) + " " +
                                value(monthly, 8, 50, 0, utc("2024-02-01")));
  EXPECT_EQ(1, rig.meter.asked["05 33 00"]);
  for (const auto& r : monthly) EXPECT_FALSE(r.kind == 8 && r.timestamp >= utc("2024-03-01"));
  // Current values empty the cache.
  rig.driver.get_arch_values(Daily, utc("2024-03-14"), utc("2024-03-14"), first);
  EXPECT_EQ(2, rig.meter.asked["05 D0 00"]);
  rig.driver.get_all_curtime_cur_integ_values();
  rig.driver.get_arch_values(Daily, utc("2024-03-14"), utc("2024-03-14"), first);
  EXPECT_EQ(3, rig.meter.asked["05 D0 00"]);
}

TEST(MercuryDriver, HourlyArchiveWithClockOffset) {
  Rig rig(SettingsMap{{"pu_tz", "4"}, {"srv_tz", "3"}});
  rig.driver.get_all_system_values();
  rig.driver.get_all_curtime_cur_integ_values();
  timestamps ts;
  rig.driver.GetTimestamps(ts);
  EXPECT_EQ(utc("2024-03-15 09:20:30"), ts.curr_time);  // the meter is an hour ahead
  MeasuredValueList v;
  // Controller hours 08:00 to 09:00 are meter hours 09:00 to 10:00.
  rig.driver.get_arch_values(Hourly, utc("2024-03-15 08:00:00"), utc("2024-03-15 09:00:00"), v);
  EXPECT_EQ("2.00000 3.00000", value(v, 6, 54, 0, utc("2024-03-15 08:00:00")) + " " +
                                   value(v, 6, 54, 0, utc("2024-03-15 09:00:00")));
  EXPECT_EQ(std::to_string(1 << 19), value(v, 6, 69, 0, utc("2024-03-15 08:15:00")));
  EXPECT_EQ(10u, v.size());
  // The whole profile memory was walked, wrapping to the top of the ring.
  EXPECT_EQ(1, rig.meter.asked["06 83 F1 80 78"]);
}

}  // namespace
