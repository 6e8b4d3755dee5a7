#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "drivers/framework/base_driver.h"
#include "protocols/iec61107.h"

// Type codes carried by the request descriptors; each selects how the parser
// reads the bracketed values.
enum CeTypeCode : uint32_t {
  kCeTypeDate = 27,       // a date: "dd.mm.yy", "ww.dd.mm.yy" or "mm.yy"
  kCeTypeTime = 32,       // "hh:mm:ss"
  kCeTypeText = 34,       // text, kept as the meter sends it
  kCeTypeSchedule = 152,  // tariff schedule "hh:mm,t" entries
  kCeTypeNumber = 256,    // decimal number, kept as the meter sends it
  kCeTypeEnergy = 260,    // energy register per tariff
  kCeTypeProfile = 296,   // load profile of one day
};

// Event bits of the journals: the record value is the decimal text of 1 << bit.
// A journal's type code is the bit of its (start) event.
enum CeEventBit : uint32_t {
  kEvAccess = 10,        // programming access
  kEvPhaseOff = 11,      // phase voltage lost / power off
  kEvPhaseOn = 12,       // phase voltage back / power on
  kEvStatus = 13,        // status word changed
  kEvOverBegin = 14,     // power limit exceeded
  kEvOverEnd = 15,       // power back within the limit
  kEvDenied = 16,        // access denied (wrong password)
  kEvClockSet = 17,      // clock corrected
  kEvCoverOpen = 20,     // electronic seal: cover opened
  kEvCoverClosed = 21,   // cover closed
  kEvVoltageBegin = 22,  // voltage out of range
  kEvVoltageEnd = 23,    // voltage back within range
};

// The tariff schedules and the rendering of seasons and special days.
class CeTimeTable {
 public:
  struct Season {
    int day = 1, month = 1;
    int grf[4] = {0, 0, 0, 0};  // working days, Saturdays, Sundays, holidays
  };
  struct Special {
    int day = 1, month = 1;
    int grf = 0;
  };

  void clear() { schedules_.clear(); }
  // Switching points (second of the day, tariff) of schedule `grf`, in time order.
  void setSchedule(int grf, std::vector<std::pair<int, int>> points);
  const std::vector<std::pair<int, int>>* schedule(int grf) const;

  std::string renderSeasons(std::vector<Season> seasons) const;
  std::string renderSpecial(std::vector<Special> days) const;

 private:
  std::string renderPoints(int grf) const;
  std::map<int, std::vector<std::pair<int, int>>> schedules_;
};

// Parses "dd.mm" into day and month; false (and 01.01) when it is not a date.
bool ParseDayMonth(const std::string& text, int& day, int& month);

// What the driver learns about its meter. It outlives the model object, which
// every init builds anew, and lasts until the daemon restarts.
struct CeMeterMemory {
  std::set<std::string> answered;  // names the meter has answered with values
  std::set<std::string> refused;   // names it answered with an error first: never asked again
  std::set<std::string> warned;    // names whose unreadable answer was logged this session
  bool session_open = false;       // system values opened the session that current values join
  int profile_minutes = 0;         // TAVER, 0 until read
};

// CE102M: the single-phase member of the family, and the base of the CE30x and
// CE308 classes. Holds the request descriptors and their parsers.
class CCE102M : public cGost61107 {
 public:
  struct Descriptor;
  using Parser = bool (CCE102M::*)(const Descriptor&, const std::vector<std::string>&,
                                   MeasuredValueList&);
  struct Descriptor {
    std::string name;
    uint32_t type;
    uint32_t param;
    uint32_t group;
    Parser parser;  // null: the first bracketed value as one record
    int arg;
  };

  explicit CCE102M(std::shared_ptr<CGost61107Connector> connector,
                   std::shared_ptr<CeMeterMemory> memory = nullptr);
  ~CCE102M() override;

  bool Init(int dtz, const Gost61107Settings& settings) override;
  bool ReadCurrentValues(MeasuredValueList& out) override;
  bool ReadSystemValues(MeasuredValueList& out) override;
  bool ReadTimestamps(timestamps& out) override;
  bool ReadArchiveValues(uint32_t kind, time_t from, time_t till, MeasuredValueList& out) override;
  uint8_t CalcBcc(const uint8_t* buf, uint16_t len) override;

  // One parameter: request, answer checks, retries; the parser adds the
  // records. False only when the read failed; a refused name or an
  // unreadable value costs that value and is true.
  bool sendRequest(const Descriptor& d, const std::string& args, MeasuredValueList& out);

  const std::vector<Descriptor>& systemList() const { return system_list_; }
  const std::vector<Descriptor>& currentList() const { return current_list_; }
  const std::vector<Descriptor>& timeList() const { return time_list_; }
  const std::vector<Descriptor>& journalList() const { return journal_list_; }
  const CeTimeTable& timeTable() const { return time_table_; }
  const CeMeterMemory& memory() const { return *memory_; }
  // Meter time (controller seconds) of the last clock read, 0 before one.
  time_t meterTime() const { return meter_time_; }

  static constexpr int kRetryPauseMs = 200;
  static constexpr int kExpectedAnswer = 13;

  // Parsers named by the descriptor tables.
  bool parseFirst(const Descriptor& d, const std::vector<std::string>& v, MeasuredValueList& out);
  bool parsePhases(const Descriptor& d, const std::vector<std::string>& v, MeasuredValueList& out);
  bool parseTariffs(const Descriptor& d, const std::vector<std::string>& v, MeasuredValueList& out);
  bool parseDate(const Descriptor& d, const std::vector<std::string>& v, MeasuredValueList& out);
  bool parseTime(const Descriptor& d, const std::vector<std::string>& v, MeasuredValueList& out);
  bool parseWatch(const Descriptor& d, const std::vector<std::string>& v, MeasuredValueList& out);
  bool parseVinfo(const Descriptor& d, const std::vector<std::string>& v, MeasuredValueList& out);
  bool parseSchedule(const Descriptor& d, const std::vector<std::string>& v,
                     MeasuredValueList& out);
  bool parseSeasons(const Descriptor& d, const std::vector<std::string>& v, MeasuredValueList& out);
  bool parseSpecial(const Descriptor& d, const std::vector<std::string>& v, MeasuredValueList& out);
  bool parsePointJournal(const Descriptor& d, const std::vector<std::string>& v,
                         MeasuredValueList& out);
  bool parseIntervalJournal(const Descriptor& d, const std::vector<std::string>& v,
                            MeasuredValueList& out);
  bool parseDateList(const Descriptor& d, const std::vector<std::string>& v,
                     MeasuredValueList& out);
  bool parseArchEnergy(const Descriptor& d, const std::vector<std::string>& v,
                       MeasuredValueList& out);
  bool parseProfile(const Descriptor& d, const std::vector<std::string>& v, MeasuredValueList& out);
  bool parseAveraging(const Descriptor& d, const std::vector<std::string>& v,
                      MeasuredValueList& out);

 protected:
  bool eventRecord(const Descriptor& d, const std::string& date, const std::string& time,
                   uint32_t bit, MeasuredValueList& out);
  struct MeterDate {
    int day = 1, month = 1, year = 2000;
  };

  enum class Reply { kValues, kRefused, kFailed };
  // One exchange with its retries; `values` gets the bracket contents in order.
  Reply exchange(const std::string& name, const std::string& args,
                 std::vector<std::string>& values);
  // sendRequest answered from an earlier read when that read was made after
  // `needed_after` (meter time).
  bool cachedRequest(const Descriptor& d, const std::string& args, MeasuredValueList& out,
                     time_t needed_after);
  // Adds what the parser could read; an unreadable value is logged once per
  // session and costs only itself.
  void runParser(const Descriptor& d, const std::vector<std::string>& values,
                 MeasuredValueList& out);
  bool asks(const std::string& name) const { return !memory_->refused.count(name); }
  bool readList(const std::vector<Descriptor>& list, MeasuredValueList& out);
  bool readArchives(uint32_t kind, time_t from, time_t till, MeasuredValueList& out, bool reactive,
                    bool profile);

  MeasuredValue record(const Descriptor& d, const std::string& value, const char* dim,
                       uint32_t param_offset = 0, uint8_t sys = 0) const;
  // Meter wall-clock to controller seconds, and back.
  time_t meterToUnix(int year, int month, int day, int hour = 0, int minute = 0,
                     int second = 0) const;
  std::string dateArg(const MeterDate& d, bool with_day) const;
  bool inWindow(time_t t) const { return t >= arch_from_ && t <= arch_till_; }

  Gost61107Settings settings_;
  size_t name_length_ = 5;
  std::shared_ptr<CeMeterMemory> memory_;
  std::vector<Descriptor> system_list_;
  std::vector<Descriptor> current_list_;
  std::vector<Descriptor> time_list_;
  std::vector<Descriptor> journal_list_;
  CeTimeTable time_table_;

  // Clock reading in progress: the date of DATE_ waits for TIME_.
  bool have_date_ = false;
  MeterDate clock_date_;
  time_t meter_time_ = 0;
  time_t meter_offset_ = 0;  // meter time minus controller time

  // Archive request in progress.
  time_t arch_from_ = 0;
  time_t arch_till_ = 0;
  MeterDate arch_date_;
  time_t arch_stamp_ = 0;
  std::vector<MeterDate> arch_dates_;
  bool arch_dates_monthly_ = false;

  struct CacheEntry {
    std::vector<std::string> values;
    time_t read_at = 0;  // meter time
  };
  std::map<std::string, CacheEntry> cache_;
  static constexpr size_t kCacheLimit = 256;
};

// The CE30x three-phase meters (CE301, CE303 and the other CE30 models).
class CCE30X : public CCE102M {
 public:
  CCE30X(std::shared_ptr<CGost61107Connector> connector, bool ce301,
         std::shared_ptr<CeMeterMemory> memory = nullptr);
  bool ReadArchiveValues(uint32_t kind, time_t from, time_t till, MeasuredValueList& out) override;
  bool isCE301() const { return ce301_; }

 private:
  bool ce301_;
};

// The CE308 three-phase meter.
class CCE308 : public CCE102M {
 public:
  explicit CCE308(std::shared_ptr<CGost61107Connector> connector,
                  std::shared_ptr<CeMeterMemory> memory = nullptr);
  bool Init(int dtz, const Gost61107Settings& settings) override;
  bool ReadArchiveValues(uint32_t kind, time_t from, time_t till, MeasuredValueList& out) override;
};
