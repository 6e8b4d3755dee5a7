#include "server/netstring.h"

#include <gtest/gtest.h>

#include "server/settings.h"

namespace {

TEST(Netstring, Encode) {
  EXPECT_EQ("5:hello,", netstring::encode("hello"));
  EXPECT_EQ("0:,", netstring::encode(""));
  std::string big(1234, 'x');
  EXPECT_EQ("1234:" + big + ",", netstring::encode(big));
  EXPECT_EQ(std::string("3:a\0b,", 6), netstring::encode(std::string("a\0b", 3)));
}

TEST(Netstring, Decode) {
  struct Case {
    const char* in;
    const char* out;    // null when it throws
    const char* error;  // the message then
  };
  const Case cases[] = {
      {"5:hello,", "hello", nullptr},
      {":,", "", nullptr},
      {"0:,", "", nullptr},
      {"11:{\"a\":[1,2]},", "{\"a\":[1,2]}", nullptr},
      {"3:a,b,", "a,b", nullptr},  // the last comma ends it
      {"5hello,", nullptr, "netstring: missing ':' character"},
      {"x:hello,", nullptr, "netstring: parsing error"},
      {"5x:hello,", nullptr, "netstring: parsing error"},
      {"-5:hello,", nullptr, "netstring: parsing error"},
      {"4:hello,", nullptr, "netstring: size mismatch"},
      {":hello,", nullptr, "netstring: size mismatch"},
      {"6:hello,", nullptr, "netstring: size mismatch"},
      {"99999999999999999999999:hello,", nullptr, "netstring: size mismatch"},
      {"5:hello", nullptr, "netstring: missing ',' character"},
      {"", nullptr, "netstring: missing ':' character"},
  };
  for (const Case& c : cases) {
    if (c.out) {
      EXPECT_EQ(c.out, netstring::decode(c.in)) << c.in;
      continue;
    }
    try {
      netstring::decode(c.in);
      ADD_FAILURE() << "no exception for " << c.in;
    } catch (const netstring::NetstringException& e) {
      EXPECT_STREQ(c.error, e.what()) << c.in;
    }
  }
}

TEST(Netstring, RoundTrip) {
  for (const std::string& s :
       {std::string(""), std::string("a"), std::string("x,y:z,"), std::string(100000, 'q')})
    EXPECT_EQ(s, netstring::decode(netstring::encode(s)));
}

TEST(SettingsNumber, ReadsLikeStrtol) {
  const std::pair<const char*, long> rows[] = {
      {"9600", 9600}, {"12ab", 12}, {"ab12", 0}, {"", 0},     {" 7", 7},
      {"-3", -3},     {"+4", 4},    {"0x10", 0}, {"010", 10}, {"1.9", 1}};
  for (const auto& r : rows) EXPECT_EQ(r.second, settingsNumber(r.first)) << r.first;
}

}  // namespace
