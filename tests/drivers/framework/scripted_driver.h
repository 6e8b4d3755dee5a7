#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "drivers/framework/base_driver.h"

// A model driver whose answers are given by the test and whose calls are recorded.
class ScriptedDriver : public electro::CMtrElectroBaseDriver {
 public:
  explicit ScriptedDriver(const std::string& model = "scripted") {
    name = model;
    arch_mode = 2;
  }
  ~ScriptedDriver() override { Stop(); }

  struct ArchCall {
    uint32_t kind;
    time_t from, till;
  };

  void SaveConnector(std::shared_ptr<CConnector> c) override { connector = c; }
  bool init() override { return record("init"), true; }
  MeasuredValueList get_all_system_values() override {
    return record("system", fail_system), system_values;
  }
  MeasuredValueList get_all_curtime_cur_integ_values() override {
    return record("current", fail_current), current_values;
  }
  int get_arch_values(uint32_t kind, time_t from, time_t till, MeasuredValueList& out) override {
    record("arch" + std::to_string(kind));
    std::lock_guard<std::mutex> lock(mutex);
    arch_calls.push_back({kind, from, till});
    if (arch_source) out.splice(out.end(), arch_source(kind, from, till));
    return 0;
  }
  // Runs right after the session gave the turn back.
  void WaitDataRate(int seconds) override {
    if (on_turn_end) on_turn_end();
    CMtrHeatBaseDriver::WaitDataRate(seconds);
  }
  bool GetTimestamps(timestamps& out) override {
    record("GetTimestamps");
    out = ts;
    return ts_ok;
  }

  std::vector<std::string> takeCalls() {
    std::lock_guard<std::mutex> lock(mutex);
    return std::exchange(calls, {});
  }
  std::vector<ArchCall> archCalls() {
    std::lock_guard<std::mutex> lock(mutex);
    return arch_calls;
  }
  // Records the call; throws while `fail` counts down.
  void record(const std::string& what, std::atomic<int>& fail) {
    record(what);
    if (fail > 0 && fail-- > 0) throw CWrongPacketException();
  }
  void record(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back(what);
    if (on_call) on_call(what);
  }

  // Test access to the cycle's state.
  using CMtrHeatBaseDriver::ReadArch;
  bool psdEnabled() const { return psd_enabled; }
  bool t1Active() const { return t1_active; }
  bool t2Active() const { return t2_active; }
  time_t t1Deadline() const { return t1_deadline; }
  void setTimesDiff(int64_t d) { times_diff = d; }

  std::mutex mutex;
  std::vector<std::string> calls;
  std::vector<ArchCall> arch_calls;
  std::function<void(const std::string&)> on_call;
  std::function<void()> on_turn_end;
  std::function<MeasuredValueList(uint32_t, time_t, time_t)> arch_source;
  MeasuredValueList system_values, current_values;
  std::atomic<int> fail_system{0}, fail_current{0};
  timestamps ts;
  bool ts_ok = true;
  std::shared_ptr<CConnector> connector;
};
