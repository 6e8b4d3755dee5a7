#include "drivers/framework/factory.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

TEST(Factory, EveryRowTopToBottom) {
  // Per class: "model row [argument]" entries; row 0 is no row at all.
  const std::pair<const char*, const char*> groups[] = {
      {"CmtrSpodesDriver",
       "ce308-spodes 1 1, emis_ee971 2 11, mercury-23x-spodes 3 2, mercury-234-dlms 4 2, "
       "rim489 5 4, mercury204-dlms 6 2, matrica-np7xx 7 5, matrica-ad1x 8 6, milur-307s 9 9, "
       "emis-ee871 10 11, mir-s04 11 12, rotek-rtm0x 12 13, fobos-x-spodes 13 16, "
       "neva_st413 14 19, rokip-st40x 15 21, mercury204-dlms-x 6 2"},  // the first match wins
      {"CmtrADI", "adi 16"},
      {"CmtrRiM489", "rim181 17, rim489-0 17"},
      {"CmtrTopaz1xx", "topaz-103 18"},
      {"CmtrMercury23X",
       "mercury230 19 mercury230, mercury234art 19 mercury234art, vector-3 20 vector-3, "
       "mercury204 21 mercury230"},
      {"CmtrMercury206", "mercury200 22, mercury206 22"},
      {"CmtrGost61107", "ce301 23, ce307 23, ce102m 24"},
      {"CmtrCE2727", "ce2727a 25 2"},
      {"CmtrProton", "proton-k 26"},
      {"CmtrPSCH4TM", "psch-4tm 27"},
      {"CmtrNEVA", "heba-mt-3 28, neva-mt-3xx 28, neva-mt-1 29"},
      {"CmtrMAYAK301", "psch-3art 30, seb-2a 31, mayak-301art 32, mayak-t301 33"},
      {"CmtrMAYAK302", "mayak-302 34, mayak-1 35"},
      {"CmtrCE10X", "ce102 36 0"},
      {"CmtrCE6850", "ce6850 37"},
      {"CmtrCascade1mt", "cascade-1-mt 38 0, vector-100 38 0, mirtek1x2x 39 2, iek_star 40 1"},
      {"CmtrMilur", "milur-104 41"},
      {"CmtrGamma3", "gamma3 42"},
      {"CmtrSteb04N", "steb-04n 43 0, rim-889 44 1"},
      {"CmtrEmptyDriver", "Mercury230 0, steb-04n2 0"},  // case counts; no prefix match
  };
  for (const auto& [cls, entries] : groups) {
    std::istringstream in(entries);
    for (std::string entry; std::getline(in, entry, ',');) {
      std::istringstream e(entry);
      std::string model, arg;
      int row = -1;
      e >> model >> row >> arg;
      FactoryRow r = FindFactoryRow(model);
      EXPECT_EQ(std::make_tuple(row, std::string(cls), arg),
                std::make_tuple(r.row, r.class_name, r.argument))
          << model;
    }
  }
  EXPECT_EQ(std::make_pair(0, std::string("CmtrEmptyDriver")),
            std::make_pair(FindFactoryRow("").row, FindFactoryRow("").class_name));
}

}  // namespace
