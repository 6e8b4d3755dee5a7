#include "drivers/framework/factory.h"

#include <functional>
#include <vector>

namespace {

bool has(const std::string& s, const char* part) {
  return s.find(part) != std::string::npos;
}

struct Row {
  std::function<bool(const std::string&)> test;
  const char* class_name;
  const char* argument;
};

// Order matters: earlier rows shadow later ones ("rim489-0", "mercury204-dlms", "ce30x").
const std::vector<Row>& table() {
  static const std::vector<Row> rows = {
      {[](const std::string& m) { return m == "ce308-spodes"; }, "CmtrSpodesDriver", "1"},
      {[](const std::string& m) { return m == "emis_ee971"; }, "CmtrSpodesDriver", "11"},
      {[](const std::string& m) { return m == "mercury-23x-spodes"; }, "CmtrSpodesDriver", "2"},
      {[](const std::string& m) { return m == "mercury-234-dlms"; }, "CmtrSpodesDriver", "2"},
      {[](const std::string& m) { return has(m, "rim489") && !has(m, "-0"); }, "CmtrSpodesDriver",
       "4"},
      {[](const std::string& m) { return has(m, "mercury204-dlms"); }, "CmtrSpodesDriver", "2"},
      {[](const std::string& m) { return m == "matrica-np7xx"; }, "CmtrSpodesDriver", "5"},
      {[](const std::string& m) { return m == "matrica-ad1x"; }, "CmtrSpodesDriver", "6"},
      {[](const std::string& m) { return m == "milur-307s"; }, "CmtrSpodesDriver", "9"},
      {[](const std::string& m) { return m == "emis-ee871"; }, "CmtrSpodesDriver", "11"},
      {[](const std::string& m) { return m == "mir-s04"; }, "CmtrSpodesDriver", "12"},
      {[](const std::string& m) { return m == "rotek-rtm0x"; }, "CmtrSpodesDriver", "13"},
      {[](const std::string& m) { return m == "fobos-x-spodes"; }, "CmtrSpodesDriver", "16"},
      {[](const std::string& m) { return m == "neva_st413"; }, "CmtrSpodesDriver", "19"},
      {[](const std::string& m) { return m == "rokip-st40x"; }, "CmtrSpodesDriver", "21"},
      {[](const std::string& m) { return m == "adi"; }, "CmtrADI", ""},
      {[](const std::string& m) { return has(m, "rim181") || has(m, "rim489-0"); }, "CmtrRiM489",
       ""},
      {[](const std::string& m) { return has(m, "topaz"); }, "CmtrTopaz1xx", ""},
      {[](const std::string& m) { return has(m, "mercury23"); }, "CmtrMercury23X", "model"},
      {[](const std::string& m) { return m == "vector-3"; }, "CmtrMercury23X", "model"},
      {[](const std::string& m) { return has(m, "mercury204"); }, "CmtrMercury23X", "mercury230"},
      {[](const std::string& m) { return m == "mercury200" || m == "mercury206"; },
       "CmtrMercury206", ""},
      {[](const std::string& m) { return has(m, "ce30"); }, "CmtrGost61107", ""},
      {[](const std::string& m) { return has(m, "ce102m"); }, "CmtrGost61107", ""},
      {[](const std::string& m) { return has(m, "ce2727"); }, "CmtrCE2727", "2"},
      {[](const std::string& m) { return has(m, "proton-k"); }, "CmtrProton", ""},
      {[](const std::string& m) { return has(m, "psch-4"); }, "CmtrPSCH4TM", ""},
      {[](const std::string& m) { return has(m, "heba-mt-3") || has(m, "neva-mt-3"); }, "CmtrNEVA",
       ""},
      {[](const std::string& m) { return has(m, "heba-mt-1") || has(m, "neva-mt-1"); }, "CmtrNEVA",
       ""},
      {[](const std::string& m) { return has(m, "psch-3"); }, "CmtrMAYAK301", ""},
      {[](const std::string& m) { return has(m, "seb-2a"); }, "CmtrMAYAK301", ""},
      {[](const std::string& m) { return has(m, "mayak-301"); }, "CmtrMAYAK301", ""},
      {[](const std::string& m) { return has(m, "mayak-t301"); }, "CmtrMAYAK301", ""},
      {[](const std::string& m) { return has(m, "mayak-302"); }, "CmtrMAYAK302", ""},
      {[](const std::string& m) { return has(m, "mayak-1"); }, "CmtrMAYAK302", ""},
      {[](const std::string& m) { return has(m, "ce10"); }, "CmtrCE10X", "0"},
      {[](const std::string& m) { return has(m, "ce6850"); }, "CmtrCE6850", ""},
      {[](const std::string& m) { return has(m, "cascade-1-mt") || has(m, "vector-100"); },
       "CmtrCascade1mt", "0"},
      {[](const std::string& m) { return has(m, "mirtek1x2x"); }, "CmtrCascade1mt", "2"},
      {[](const std::string& m) { return has(m, "iek_star"); }, "CmtrCascade1mt", "1"},
      {[](const std::string& m) { return has(m, "milur"); }, "CmtrMilur", ""},
      {[](const std::string& m) { return has(m, "gamma3"); }, "CmtrGamma3", ""},
      {[](const std::string& m) { return m == "steb-04n"; }, "CmtrSteb04N", "0"},
      {[](const std::string& m) { return m == "rim-889"; }, "CmtrSteb04N", "1"},
  };
  return rows;
}

}  // namespace

FactoryRow FindFactoryRow(const std::string& model) {
  const auto& rows = table();
  for (size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].test(model)) {
      std::string arg = rows[i].argument;
      if (arg == "model") arg = model;
      return FactoryRow{static_cast<int>(i + 1), rows[i].class_name, arg};
    }
  }
  return FactoryRow{0, "CmtrEmptyDriver", ""};
}
