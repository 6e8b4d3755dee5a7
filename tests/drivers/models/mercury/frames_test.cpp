// Request frames against bytes worked out by hand from the protocol tables.
#include <gtest/gtest.h>

#include <cstring>

#include "base/crc.h"
#include "mercury_test_util.h"

using namespace mercury_test;
using namespace CmtrMercury23XRequets;

namespace {

// The frame a request writes, its reply made to fail so nothing else happens.
Bytes frameOf(BaseRequest& request, uint8_t address = 0x23, const std::string& password = "111111",
              bool ascii = false) {
  auto line = std::make_shared<ScriptedConnector>();
  auto ll = std::make_shared<CMercury23XLowLevelConnector>(line, "1", "s");
  ll->setAddress(address);
  ll->setPassword(password);
  ll->setPasswordAscii(ascii);
  request.setConnector(ll);
  line->silence();
  MeasuredValueList values;
  try {
    request.sendRequest(values);
  } catch (const CWrongPacketException&) {
  }
  return line->writes.empty() ? Bytes{} : line->writes.front();
}

// Command and parameters only: address and CRC cut off (the CRC is checked).
std::string commandOf(BaseRequest& request) {
  Bytes f = frameOf(request);
  if (f.size() < 4) return "<no frame>";
  EXPECT_EQ(f, withCrc(Bytes(f.begin(), f.end() - 2))) << "bad CRC in " << toHex(f);
  EXPECT_EQ(0x23, f[0]);
  return toHex(Bytes(f.begin() + 1, f.end() - 2));
}

uint16_t dataSizeOf(BaseRequest& r) {
  auto* req = dynamic_cast<Request*>(&r);
  return req ? req->dataSize() : 0;
}

}  // namespace

TEST(MercuryCrc, StandardCheckValueAndKnownFrames) {
  const char* check = "123456789";
  EXPECT_EQ(0x4B37, mtr::crc16_modbus(reinterpret_cast<const uint8_t*>(check), strlen(check)));
  // Empty body: FF FF.
  EXPECT_EQ(0xFFFF, mtr::crc16_modbus(nullptr, 0));
  // The link test to address 0 is the well-known 00 00 01 B0.
  EXPECT_EQ(hex("00 00 01 B0"), withCrc(hex("00 00")));
  EXPECT_EQ(hex("23 08 11 11 46 3E"), withCrc(hex("23 08 11 11")));
}

TEST(MercuryFrames, WholeFramesWithKnownCrc) {
  TestRequest test(nullptr);
  EXPECT_EQ(hex("00 00 01 B0"), frameOf(test, 0x00));
  TestDriver driver("mercury230", {}, "", "");
  EXPECT_EQ(hex("23 08 11 11 46 3E"), frameOf(*driver.makeRequest(4)));
  EXPECT_EQ(hex("23 04 00 82 CA"), frameOf(*driver.makeRequest(23)));
}

TEST(MercuryFrames, OpenChannelPasswordModes) {
  struct Case {
    const char* password;
    bool ascii;
    const char* frame;
  } cases[] = {
      // Digit mode: "1" goes as 01; a 4-character password ends in two zero bytes.
      {"1234", false, "23 01 01 01 02 03 04 00 00 6F 59"},
      // ASCII mode: "1" goes as 0x31.
      {"1234", true, "23 01 01 31 32 33 34 00 00 25 A2"},
      // Only the first 6 characters count.
      {"11111199", false, "23 01 01 01 01 01 01 01 01 XX XX"},
      {"", false, "23 01 01 00 00 00 00 00 00 XX XX"},
  };
  for (const auto& c : cases) {
    OpenChannelRequest open(nullptr);
    Bytes frame = frameOf(open, 0x23, c.password, c.ascii);
    std::string want = c.frame;
    if (want.find("XX") != std::string::npos) {
      Bytes body = hex(want.substr(0, want.find("XX")));
      EXPECT_EQ(withCrc(body), frame) << c.password;
    } else {
      EXPECT_EQ(hex(want), frame) << c.password << (c.ascii ? " ascii" : " digits");
    }
  }
}

TEST(MercuryFrames, WholeCatalogue) {
  TestDriver driver("mercury230", {}, "", "");
  auto& st = driver.mutableState();
  st.firmware[1] = 3;  // so the averaging-time request goes out
  st.firmware_read = true;
  st.last_profile_addr = 0x1000;

  struct Case {
    int number;
    size_t members;     // 0: a single request
    const char* first;  // command of the (first) request
    uint16_t data;      // reply data size of the (first) request
    const char* last;   // command of the last member, when a sequence
  } cases[] = {
      {0, 0, "00", 1, nullptr},
      {1, 0, "01 01 01 01 01 01 01 01", 1, nullptr},
      {2, 0, "02", 1, nullptr},
      {3, 0, "08 00", 7, nullptr},
      {4, 0, "08 11 11", 3, nullptr},
      {5, 0, "08 11 12", 3, nullptr},
      {6, 0, "08 11 13", 3, nullptr},
      {7, 0, "08 11 21", 3, nullptr},
      {8, 0, "08 11 22", 3, nullptr},
      {9, 0, "08 11 23", 3, nullptr},
      {10, 0, "08 11 40", 3, nullptr},
      {11, 0, "08 11 00", 3, nullptr},
      {12, 0, "08 11 01", 3, nullptr},
      {13, 0, "08 11 02", 3, nullptr},
      {14, 0, "08 11 03", 3, nullptr},
      {15, 0, "08 11 04", 3, nullptr},
      {16, 0, "08 11 05", 3, nullptr},
      {17, 0, "08 11 06", 3, nullptr},
      {18, 0, "08 11 07", 3, nullptr},
      {19, 0, "08 11 30", 3, nullptr},
      {20, 0, "08 11 31", 3, nullptr},
      {21, 0, "08 11 32", 3, nullptr},
      {22, 0, "08 11 33", 3, nullptr},
      {23, 0, "04 00", 8, nullptr},
      {24, 0, "08 02", 4, nullptr},
      {25, 0, "08 03", 3, nullptr},
      {26, 0, "08 01 00", 24, nullptr},
      {27, 0, "08 12", 6, nullptr},
      {28, 0, "04 01 FF", 13, nullptr},
      {29, 0, "08 21", 2, nullptr},
      {30, 0, "08 0A", 6, nullptr},
      {31, 4, "04 01 FE", 120, "04 07 FE"},
      {32, 5, "05 00 00", 16, "05 00 04"},
      {33, 2, "05 00 00", 16, "05 00 01"},
      {34, 5, "05 D0 00", 16, "05 D0 04"},
      {35, 5, "05 C0 00", 16, "05 C0 04"},
      {36, 5, "18 00 0A 03 18 00", 16, "18 00 0A 03 18 04"},
      {37, 60, "05 B1 00", 16, "05 BC 04"},
      {38, 5, "18 01 01 03 18 00", 16, "18 01 01 03 18 04"},
      {39, 5, "05 A0 00", 16, "05 A0 04"},
      {40, 5, "05 90 00", 16, "05 90 04"},
      {41, 60, "05 31 00", 16, "05 3C 04"},
      {42, 5, "05 50 00", 16, "05 50 04"},
      {43, 5, "05 20 00", 16, "05 20 04"},
      {44, 0, "08 13", 9, nullptr},
      // Newest record at 0x1000; blocks of 128 bytes going back, 4096 bytes in all.
      {45, 32, "06 03 10 00 78", 120, "06 03 00 80 78"},
      // Holiday bytes of month m at 1D00 + ((m & 3F) * 4 + m - 5).
      {46, 12, "06 02 1D 00 04", 4, "06 02 1D 37 04"},
      // 12 months x 8 day types x 2 parts; month 1 type 1 part 1 at 0x1000.
      {47, 192, "06 02 10 00 10", 16, "06 02 1C AF 10"},
      {48, 0, "04 07 FF", 7, nullptr},
      {49, 0, "04 08 FF", 7, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("catalogue number " + std::to_string(c.number));
    auto request = driver.makeRequest(c.number);
    ASSERT_NE(nullptr, request);
    request->setPeriod(utc(2024, 3, 10), utc(2024, 3, 15, 10));
    auto* seq = dynamic_cast<RequestSequence*>(request.get());
    if (c.members == 0) {
      ASSERT_EQ(nullptr, seq);
      EXPECT_EQ(c.first, commandOf(*request));
      EXPECT_EQ(c.data, dataSizeOf(*request));
      continue;
    }
    ASSERT_NE(nullptr, seq);
    ASSERT_EQ(c.members, seq->size());
    EXPECT_EQ(c.first, commandOf(*seq->requests().front()));
    EXPECT_EQ(c.data, dataSizeOf(*seq->requests().front()));
    EXPECT_EQ(c.last, commandOf(*seq->requests().back()));
  }
  EXPECT_EQ(nullptr, driver.makeRequest(50));
  EXPECT_EQ(nullptr, driver.makeRequest(-1));
}

TEST(MercuryFrames, SequenceMembers) {
  struct Case {
    const char* model;
    int number;
    size_t index;
    const char* command;
  } cases[] = {
      {"mercury230", 31, 1, "04 02 FE"},
      {"mercury230", 31, 2, "04 12 FE"},
      {"mercury230", 45, 1, "06 03 0F 80 78"},
      {"mercury230", 46, 1, "06 02 1D 05 04"},   // February: 8 + 2 - 5
      {"mercury230", 47, 1, "06 02 10 11 10"},   // part 2: 17 bytes on
      {"mercury230", 47, 2, "06 02 10 22 10"},   // day type 2: 34 bytes on
      {"mercury230", 47, 16, "06 02 11 10 10"},  // February: 272 bytes on
      {"mercury230", 37, 5, "05 B2 00"},         // month 2, tariff 0
      // Newest record at 0x10040: bit 16 of the address goes into bit 7.
      {"mercury234", 45, 0, "06 83 00 40 78"},
      {"mercury234", 45, 1, "06 03 FF C0 78"},
      // Without command 05h the registers are memory reads.
      {"vector-3", 34, 0, "06 02 06 FB 10"},  // previous day at 0x6FB
      {"vector-3", 34, 1, "06 02 07 0C 10"},  // + 17 per tariff
      {"vector-3", 35, 0, "06 02 06 A6 10"},  // current day at 0x6A6
      {"vector-3", 37, 0, "06 02 02 AA 10"},  // month 1 at 0x2AA
      {"vector-3", 37, 5, "06 02 02 FF 10"},  // month 2: 85 bytes on
      {"vector-3", 39, 0, "06 02 02 00 10"},
      {"vector-3", 40, 0, "06 02 02 00 10"},
      {"vector-3", 41, 0, "05 31 00"},  // consumption has no memory form
      {"vector-3", 42, 0, "05 50 00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.model) + " " + std::to_string(c.number));
    TestDriver driver(c.model, {}, "", "");
    driver.mutableState().last_profile_addr = driver.modelNumber() == 234 ? 0x10040 : 0x1000;
    auto seq = std::dynamic_pointer_cast<RequestSequence>(driver.makeRequest(c.number));
    ASSERT_NE(nullptr, seq);
    EXPECT_EQ(c.command, commandOf(*seq->requests().at(c.index)));
  }
  TestDriver big("mercury234", {}, "", "");
  EXPECT_EQ(64u, std::dynamic_pointer_cast<RequestSequence>(big.makeRequest(45))->size());
  TestDriver journals("mercury230", {}, "", "");
  auto seq = std::dynamic_pointer_cast<RequestSequence>(journals.makeRequest(31));
  EXPECT_EQ(60, dataSizeOf(*seq->requests().back()));  // 6-byte records
}

TEST(MercuryFrames, RequestsOutsideTheCatalogue) {
  MeterState st;
  DateTime2Request dt2(&st);
  EXPECT_EQ("08 14 E0", commandOf(dt2));
  HolidaysRequest236 h(&st, 5);
  EXPECT_EQ("08 23 05", commandOf(h));
}
