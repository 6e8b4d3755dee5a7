#pragma once

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

// The meter's tariff calendar as read from its memory: holiday dates and, per
// month and day type (1-7 the weekdays Monday to Sunday, 8 holidays), the times
// of day at which a tariff starts.
class CmtrMercury23XTimeTable {
 public:
  struct Switch {
    int seconds;  // seconds after midnight
    int tariff;
    bool operator<(const Switch& o) const {
      return seconds != o.seconds ? seconds < o.seconds : tariff < o.tariff;
    }
    bool operator==(const Switch& o) const { return seconds == o.seconds && tariff == o.tariff; }
  };
  static constexpr int kHolidayDayType = 8;

  void clear();
  void addHoliday(int month, int day);
  void clearHolidays(int month);
  void clearDay(int month, int day_type);
  void addSwitch(int month, int day_type, int seconds, int tariff);

  const std::set<std::pair<int, int>>& holidays() const { return holidays_; }
  std::vector<Switch> switches(int month, int day_type) const;

  // Texts of the three passport values. Equal tables give equal texts.
  // Seasons: month ranges sharing one weekday schedule (day types 1-7).
  std::string seasonsText() const;
  // Holidays: runs of consecutive holiday dates.
  std::string holidaysText() const;
  // Special: month ranges sharing one schedule for holidays (day type 8).
  std::string specialText() const;

 private:
  std::string rangesText(int first_type, int last_type) const;

  std::set<std::pair<int, int>> holidays_;                // (month, day)
  std::map<std::pair<int, int>, std::set<Switch>> days_;  // (month, day type) -> switches
};
