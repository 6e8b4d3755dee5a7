#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "drivers/framework/base_driver.h"
#include "protocols/iec61107.h"

struct CeMeterMemory;

// Driver of the CE30x, CE308 and CE102M meters (IEC 61107 mode C). The model
// object chosen from the meter's identification does the reading.
class CmtrGost61107 : public electro::CMtrElectroBaseDriver {
 public:
  CmtrGost61107();
  ~CmtrGost61107() override;

  using CMtrBaseDriver::SaveConnector;
  void SaveConnector(std::shared_ptr<CConnector> connector) override;
  bool init() override;
  MeasuredValueList get_all_curtime_cur_integ_values() override;
  MeasuredValueList get_all_system_values() override;
  int get_arch_values(uint32_t kind, time_t from, time_t till, MeasuredValueList& values) override;
  bool GetTimestamps(timestamps& out) override;

  // The device address characters of the sign-on: the "net_address" setting
  // as configured, without surrounding blanks; none when it is absent, blank
  // or zero (the configuration's way of saying "no address").
  std::string deviceAddress() const;

  cGost61107* model() const { return model_if_; }
  const std::string& modelName() const { return model_name_; }
  CGost61107Connector* protocolConnector() const { return connector_.get(); }

  static constexpr uint16_t kAnswerCapacity = 6000;

 private:
  Gost61107Settings protocolSettings() const;
  void logRecords(const char* title, const MeasuredValueList& values) const;

  std::shared_ptr<cGost61107> model_;
  cGost61107* model_if_ = nullptr;
  std::shared_ptr<CGost61107Connector> connector_;
  std::string model_name_;
  // What was learnt about the meter; kept across reconnections.
  std::shared_ptr<CeMeterMemory> memory_;
};

// One line of log text for a value record.
std::string CeRecordText(const MeasuredValue& v);

// Break, sign-on with `address` and identification, up to 3 attempts; the
// model name from the identification's sixth character. Throws
// CDisconnectException when no identification came.
std::string CeIdentify(CGost61107Connector& connector, const std::string& address);

// The model object for a model name; null for a name of no known model.
std::shared_ptr<cGost61107> CeModelFor(const std::string& model_name,
                                       std::shared_ptr<CGost61107Connector> connector,
                                       std::shared_ptr<CeMeterMemory> memory);
