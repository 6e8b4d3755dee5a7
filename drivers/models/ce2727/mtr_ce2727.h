#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "drivers/framework/base_driver.h"
#include "drivers/models/ce2727/ce2727_connector.h"
#include "drivers/models/ce2727/ce2727_requests.h"

// Driver of CE2727 (model 1) and CE2727A (model 2) electricity meters.
class CmtrCE2727 : public electro::CMtrElectroBaseDriver {
 public:
  using Request = CmtrCE2727Requests::Request;

  explicit CmtrCE2727(int model);
  ~CmtrCE2727() override;

  using CMtrBaseDriver::SaveConnector;
  void SaveConnector(std::shared_ptr<CConnector> connector) override;
  bool init() override;
  MeasuredValueList get_all_curtime_cur_integ_values() override;
  MeasuredValueList get_all_system_values() override;
  int get_arch_values(uint32_t kind, time_t from, time_t till, MeasuredValueList& values) override;
  bool GetTimestamps(timestamps& out) override;

  // One table entry: send, then parse into `out`. The window bounds archive
  // records. False when the exchange or the parse failed.
  bool sendRequest(Request& request, MeasuredValueList& out, time_t from = 0, time_t till = 0);
  bool sendOneRequest(Request& request, MeasuredValueList& out, time_t from = 0, time_t till = 0);
  // Archive walk: sets the request's parameters for the next date; false when done.
  bool isNextArchive(Request& request, time_t from, time_t till);
  // Dispatches the connector's current answer to the entry's parser.
  bool parseResponse(Request& request, MeasuredValueList& out, time_t from, time_t till);

  int model() const { return model_; }
  CCE2727Connector* connector() const { return connector_.get(); }
  uint32_t readNetAddress() const { return read_net_address_; }
  time_t lastProfileTime() const { return last_profile_time_; }

 protected:
  bool parseSystemParams(const Request& r, MeasuredValueList& out);
  bool parseDateTime(const Request& r, MeasuredValueList& out);
  bool parseCurrNrg(const Request& r, MeasuredValueList& out);
  bool parseCurrPwr(const Request& r, MeasuredValueList& out);
  bool parseCurrentState(const Request& r, MeasuredValueList& out);
  bool parseArchive(const Request& r, MeasuredValueList& out, time_t from, time_t till);
  bool parseProfile(const Request& r, MeasuredValueList& out, time_t from, time_t till);
  bool parseEvents(Request& r, time_t from, bool& more);

  // Walks one archive entry over [from, till].
  bool readArchiveEntry(Request& r, MeasuredValueList& out, time_t from, time_t till);
  // Event records of every journal in [from, till].
  bool readEvents(MeasuredValueList& out, time_t from, time_t till);

  [[noreturn]] void fail(const std::string& text);
  // A value the parser cannot read costs that value only: `defect` (a whole
  // log line) and the answer go out at Warning once a session, then at Debug.
  void unreadable(const Request& r, const std::string& value, const std::string& defect);
  void logRecords(const char* what, const MeasuredValueList& values);
  MeasuredValue record(uint32_t param, uint32_t group, const std::string& value,
                       const std::string& dim, uint8_t sys, time_t ts) const;

  int model_;
  std::unique_ptr<CCE2727Connector> connector_;
  std::shared_ptr<CConnector> line_;
  std::vector<Request> system_list, time_list, current_list, daily_list, monthly_list, yearly_list,
      profile_list, events_list;
  uint32_t read_net_address_ = 0;
  time_t last_profile_time_ = 0;
  time_t meter_time_ = 0;

  // Journal events read during one archive pass; cleared with each reading of
  // current values, so every window of the pass need not walk the journals again.
  struct Event {
    time_t time;  // controller time (meter time - dTZ)
    int value;
    int journal;
  };
  struct JournalCache {
    bool valid = false;
    time_t covered_from = 0;  // events at or after this are all in `events`
    std::vector<Event> events;
  };
  std::map<int, JournalCache> journal_cache_;
  std::set<std::string> warned_;  // unreadable values already reported this session
};
