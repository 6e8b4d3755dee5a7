#include "drivers/models/mercury/mercury23x_timetable.h"

#include <cstdio>

namespace {

// Days per month with 29 February, so a range never ends short in leap years.
const int kMonthDays[13] = {0, 31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

std::string monthDay(int month, int day) {
  char buf[16];
  snprintf(buf, sizeof buf, "%02d-%02d", month, day);
  return buf;
}

std::string switchesText(const std::set<CmtrMercury23XTimeTable::Switch>& s) {
  std::string out = "[";
  bool first = true;
  for (const auto& sw : s) {
    char buf[64];
    snprintf(buf, sizeof buf, "%s{\"time_s\":\"%02d:%02d\",\"tariff\":%d}", first ? "" : ",",
             sw.seconds / 3600, sw.seconds / 60 % 60, sw.tariff);
    out += buf;
    first = false;
  }
  return out + "]";
}

}  // namespace

void CmtrMercury23XTimeTable::clear() {
  holidays_.clear();
  days_.clear();
}

void CmtrMercury23XTimeTable::addHoliday(int month, int day) {
  holidays_.insert({month, day});
}

void CmtrMercury23XTimeTable::clearHolidays(int month) {
  holidays_.erase(holidays_.lower_bound({month, 0}), holidays_.lower_bound({month + 1, 0}));
}

void CmtrMercury23XTimeTable::clearDay(int month, int day_type) {
  days_.erase({month, day_type});
}

void CmtrMercury23XTimeTable::addSwitch(int month, int day_type, int seconds, int tariff) {
  days_[{month, day_type}].insert({seconds, tariff});
}

std::vector<CmtrMercury23XTimeTable::Switch> CmtrMercury23XTimeTable::switches(int month,
                                                                               int day_type) const {
  auto it = days_.find({month, day_type});
  if (it == days_.end()) return {};
  return {it->second.begin(), it->second.end()};
}

std::string CmtrMercury23XTimeTable::holidaysText() const {
  std::string out = "[";
  bool first = true;
  auto it = holidays_.begin();
  while (it != holidays_.end()) {
    auto start = *it;
    auto end = *it;
    for (++it; it != holidays_.end(); ++it) {
      bool next_day = it->first == end.first && it->second == end.second + 1;
      bool next_month = it->first == end.first + 1 && it->second == 1 && end.first >= 1 &&
                        end.first <= 12 && end.second == kMonthDays[end.first];
      if (!next_day && !next_month) break;
      end = *it;
    }
    out += first ? "" : ",";
    out += "{\"from_s\":\"" + monthDay(start.first, start.second) + "\",\"to_s\":\"" +
           monthDay(end.first, end.second) + "\"}";
    first = false;
  }
  return out + "]";
}

std::string CmtrMercury23XTimeTable::rangesText(int first_type, int last_type) const {
  // One month's schedule for the day types asked for, as text; months with
  // equal text and next to each other share a range.
  auto monthText = [&](int month) {
    std::string t = "{";
    bool first = true;
    for (int type = first_type; type <= last_type; ++type) {
      auto it = days_.find({month, type});
      if (it == days_.end() || it->second.empty()) continue;
      t += first ? "" : ",";
      t += "\"" + std::to_string(type) + "\":" + switchesText(it->second);
      first = false;
    }
    return t + "}";
  };
  std::string out = "[";
  bool first = true;
  int month = 1;
  while (month <= 12) {
    std::string text = monthText(month);
    int last = month;
    while (last < 12 && monthText(last + 1) == text) ++last;
    if (text != "{}") {
      out += first ? "" : ",";
      out += "{\"from_s\":\"" + monthDay(month, 1) + "\",\"to_s\":\"" +
             monthDay(last, kMonthDays[last]) + "\",\"days\":" + text + "}";
      first = false;
    }
    month = last + 1;
  }
  return out + "]";
}

std::string CmtrMercury23XTimeTable::seasonsText() const {
  return rangesText(1, 7);
}

std::string CmtrMercury23XTimeTable::specialText() const {
  return rangesText(kHolidayDayType, kHolidayDayType);
}
