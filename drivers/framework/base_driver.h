#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include "base/clock.h"
#include "base/thread.h"
#include "server/jsonrpc_connector.h"
#include "server/measured_value.h"
#include "server/settings.h"
#include "transport/connector.h"

class FileConnector;

// What a model reports of its archive span.
struct timestamps {
  int64_t min_time_hour = 0;
  int64_t min_time_day = 0;
  int64_t curr_time = 0;
};

// The driver of one meter: a worker thread plus the slot interface the polling
// cycle calls. Slot order is fixed; see the comments.
class CMtrBaseDriver : public myThreadAttached {
 public:
  CMtrBaseDriver();
  ~CMtrBaseDriver() override;

  static CMtrBaseDriver* create_and_init(SettingsMap params, std::shared_ptr<CConnector> connector,
                                         CJSONRPCConnector* rpc);

  // slot 2: functionThread (myThreadAttached)
  virtual time_t ReadArchDaily() = 0;                                 // slot 3
  virtual time_t ReadHourlyArch() = 0;                                // slot 4
  virtual time_t ReadArchMonthly() = 0;                               // slot 5
  virtual time_t ReadArchYearly() = 0;                                // slot 6
  virtual void ReadHourlyArchLoop() = 0;                              // slot 7
  virtual void ReadDailyArchLoop() = 0;                               // slot 8
  virtual bool IsArchReadDue() = 0;                                   // slot 9
  virtual void WaitDataRate(int seconds) = 0;                         // slot 10
  virtual int HourlyArchPeriod() = 0;                                 // slot 11
  virtual void SaveConnector(CConnector* connector);                  // slot 12
  virtual void SaveConnector(std::shared_ptr<CConnector> connector);  // slot 13
  virtual bool init() = 0;                                            // slot 14
  virtual MeasuredValueList get_all_curtime_cur_integ_values() = 0;   // slot 15
  virtual MeasuredValueList get_all_system_values() = 0;              // slot 16
  virtual int get_arch_values(uint32_t kind, time_t from, time_t till,
                              MeasuredValueList& values) = 0;  // slot 17
  virtual bool IsArchFresh() = 0;                              // slot 18

  void setJSONRPCConnector(CJSONRPCConnector* connector);
  void save_init_params(const SettingsMap& map);
  bool IsPortFree();

  // The turn flag: set by the supervisor, cleared by the cycle. Waiters are
  // woken at once instead of polling.
  void setTurn();
  void clearTurn();
  bool hasTurn() const { return poll_turn.load() != 0; }
  // Waits up to `ms` for the flag to become `value`; true when it did.
  bool waitTurn(bool value, long ms);
  // The body has returned (or is about to): no one will clear the turn.
  bool threadEnded() const { return body_ended_.load() || isFinished(); }

  void setClock(mtr::Clock* c) { clock = c; }
  mtr::Clock& Clock() const { return *clock; }

  // Settings every model reads from its settings map: "net_address" (decimal
  // network address of the meter on the line), "srv_tz" and "pu_tz" (hours east
  // of UTC of the controller clock and of the meter clock). A meter clock read
  // as local time minus dTZ() is controller time: dTZ = (pu_tz - srv_tz) * 3600.
  int netAddress() const;
  int srvTZ() const;
  int puTZ() const;
  int dTZ() const;

  const MeterSettings& Settings() const { return settings; }
  const SettingsMap& Params() const { return params; }
  long long meterNumber() const { return settings.meter_number; }
  const char* serialText() const { return settings.serial_text.c_str(); }

 protected:
  std::atomic<bool> local_port{false};
  std::atomic<uint8_t> poll_turn{0};
  CJSONRPCConnector* rpc = nullptr;
  SettingsMap params;
  bool led_indication = true;
  MeterSettings settings;
  int arch_mode = 0;
  int tz_offset = 0;
  int tz_offset2 = 0;
  mtr::Clock* clock;

  // Called by a body that returns, so that a supervisor waiting for the turn
  // learns at once that it will never be cleared.
  void bodyEnds();

 private:
  std::atomic<bool> body_ended_{false};
  // Counters that wake the turn's waiters: the driver waits on the first, the
  // supervisor on the second. poll(2) on them is a clean cancellation point.
  int turn_set_fd_ = -1;
  int turn_cleared_fd_ = -1;
};

// Stands in for a model this build does not have; its thread ends at once.
class CMtrEmptyDriver : public CMtrBaseDriver {
 public:
  // A thread that starts late must not find a half-destroyed object.
  ~CMtrEmptyDriver() override { Stop(); }
  void functionThread(myThreadAttached*) override { bodyEnds(); }
  time_t ReadArchDaily() override { return 0; }
  time_t ReadHourlyArch() override { return 0; }
  time_t ReadArchMonthly() override { return 0; }
  time_t ReadArchYearly() override { return 0; }
  void ReadHourlyArchLoop() override {}
  void ReadDailyArchLoop() override {}
  bool IsArchReadDue() override { return true; }
  void WaitDataRate(int) override {}
  int HourlyArchPeriod() override { return 1; }
  void SaveConnector(CConnector*) override {}
  void SaveConnector(std::shared_ptr<CConnector>) override {}
  bool init() override { return true; }
  MeasuredValueList get_all_curtime_cur_integ_values() override { return {}; }
  MeasuredValueList get_all_system_values() override { return {}; }
  int get_arch_values(uint32_t, time_t, time_t, MeasuredValueList&) override { return -1; }
  bool IsArchFresh() override { return true; }
};

namespace gas {
class CMtrGasBaseDriver : public CMtrBaseDriver {};
}  // namespace gas

namespace heat {

class MarkerWatch;

// Owns the polling cycle and the archive passes.
class CMtrHeatBaseDriver : public CMtrBaseDriver {
 public:
  CMtrHeatBaseDriver();
  ~CMtrHeatBaseDriver() override;

  void functionThread(myThreadAttached* arg) override;
  time_t ReadArchDaily() override { return ReadArch(Daily, 3600); }
  time_t ReadHourlyArch() override;
  time_t ReadArchMonthly() override { return ReadArch(Monthly, 3600); }
  time_t ReadArchYearly() override { return ReadArch(Yearly, 3600); }
  void ReadHourlyArchLoop() override {}
  void ReadDailyArchLoop() override {}
  bool IsArchReadDue() override;
  void WaitDataRate(int seconds) override;
  int HourlyArchPeriod() override { return 1; }
  bool IsArchFresh() override;
  virtual bool GetTimestamps(timestamps& out) = 0;  // slot 19

  time_t ReadArch(uint32_t kind, int step);
  void GetPsdParams();
  bool CanSessionStart();
  void SessionBegin();
  void SessionEnd(const char* activity);
  void GetTimesDiff(const MeasuredValueList& values);
  bool IsPuHourBegin();

  FileConnector* fileConnector() const { return file_connector.get(); }
  // Builds the file connector; the cycle does it when it starts.
  void InitFileConnector();

 protected:
  // One pass of the session loop, for the cycle and for tests.
  bool SessionAllowed(const char* activity);

  bool psd_enabled = false;
  bool system_read_done = false;
  std::string vsd_file;
  std::string pause_file;
  std::string printer_file;
  int time_psd = 300;
  int session_period = 30;
  time_t t1_deadline = 0;
  time_t t2_deadline = 0;
  bool t1_active = false;
  bool t2_active = false;
  int64_t times_diff = 0;
  int64_t last_hourly_next = 0;
  std::unique_ptr<FileConnector> file_connector;
  // Guards file_connector's creation against IsArchFresh on the main thread.
  std::atomic<FileConnector*> file_connector_ready{nullptr};

 private:
  // Made by the first real-clock wait and kept until the driver goes, after
  // its thread has ended: a cancelled wait leaves the registration alone.
  std::unique_ptr<MarkerWatch> marker_watch;
};

}  // namespace heat

namespace electro {
class CMtrElectroBaseDriver : public heat::CMtrHeatBaseDriver {};
}  // namespace electro
