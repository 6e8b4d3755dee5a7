#include "server/netstring.h"

#include <gtest/gtest.h>

#include "server/settings.h"

namespace {

// Encoding is checked on every replayed fuzz input; these are the decoder's
// exact texts and errors.
TEST(Netstring, Decode) {
  const std::pair<const char*, const char*> cases[] = {
      // text, or the error it throws
      {"5:hello,", "hello"},
      {":,", ""},
      {"3:a,b,", "a,b"},  // the last comma ends it
      {"5hello,", "netstring: missing ':' character"},
      {"x:hello,", "netstring: parsing error"},
      {"-5:hello,", "netstring: parsing error"},
      {"4:hello,", "netstring: size mismatch"},
      {":hello,", "netstring: size mismatch"},
      {"99999999999999999999999:hello,", "netstring: size mismatch"},
      {"5:hello", "netstring: missing ',' character"},
      {"", "netstring: missing ':' character"},
  };
  for (const auto& c : cases) {
    std::string got;
    try {
      got = netstring::decode(c.first);
    } catch (const netstring::NetstringException& e) {
      got = e.what();
    }
    EXPECT_EQ(c.second, got) << c.first;
  }
}

TEST(SettingsNumber, ReadsLikeStrtol) {
  const std::pair<const char*, long> rows[] = {{"9600", 9600}, {"12ab", 12}, {"ab12", 0},
                                               {"", 0},        {" 7", 7},    {"-3", -3},
                                               {"0x10", 0},    {"010", 10}};
  for (const auto& r : rows) EXPECT_EQ(r.second, settingsNumber(r.first)) << r.first;
}

}  // namespace
