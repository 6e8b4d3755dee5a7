#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "drivers/framework/base_driver.h"
#include "drivers/models/mercury/mercury23x_lowlevel.h"
#include "drivers/models/mercury/mercury23x_requests.h"
#include "server/packed_values.h"

// Three-phase meters of the Mercury 230 family (230, 231, 233, 234, 236, 238,
// 204, 208) and the compatible "vector-3".
class CmtrMercury23X : public electro::CMtrElectroBaseDriver {
 public:
  using RequestPtr = std::shared_ptr<CmtrMercury23XRequets::BaseRequest>;
  using SequencePtr = std::shared_ptr<CmtrMercury23XRequets::RequestSequence>;

  CmtrMercury23X(const std::string& model, int variant);
  ~CmtrMercury23X() override;

  using CMtrBaseDriver::SaveConnector;
  void SaveConnector(std::shared_ptr<CConnector> connector) override;
  bool init() override;
  MeasuredValueList get_all_curtime_cur_integ_values() override;
  MeasuredValueList get_all_system_values() override;
  int get_arch_values(uint32_t kind, time_t from, time_t till, MeasuredValueList& values) override;
  bool GetTimestamps(timestamps& out) override;

  // The request of a catalogue number (0-49); null for other numbers.
  RequestPtr makeRequest(int number);
  // Family, number and the sequences that depend on them, from the model string.
  void modelInit();
  bool testConnection();

  const std::string& model() const { return model_; }
  const std::string& familyName() const { return family_; }
  int modelNumber() const { return state_.model_number; }
  bool directCommand() const { return state_.direct_command; }
  int profileMemorySize() const { return profile_memory_size_; }
  const CmtrMercury23XRequets::MeterState& state() const { return state_; }
  uint32_t cachedArchiveKind() const { return cache_kind_; }
  std::shared_ptr<CMercury23XLowLevelConnector> lowLevel() const { return ll_; }

 protected:
  // Settings can change between construction and use; requests see them here.
  void refreshState();
  SequencePtr sequence(std::initializer_list<int> numbers);
  void run(CmtrMercury23XRequets::RequestSequence& seq, MeasuredValueList& values);
  std::string recordText(const MeasuredValue& v) const;

  std::shared_ptr<CMercury23XLowLevelConnector> ll_;
  SequencePtr model_seq_;
  SequencePtr time_seq_;
  SequencePtr system_seq_;
  SequencePtr current_seq_;
  SequencePtr hourly_seq_;
  SequencePtr daily_seq_;
  SequencePtr monthly_seq_;
  SequencePtr yearly_seq_;
  int daily_ext_ = -1;    // extArch the daily sequence was built for
  int monthly_ext_ = -1;  // and the monthly one

  CmtrMercury23XRequets::MeterState state_;
  std::string model_;
  std::string family_ = "unknown";
  int variant_;
  int profile_memory_size_ = 4096;

  // Held until the next current values (an hour, for the hourly records), so
  // kept packed.
  PackedValueList cache_;
  uint32_t cache_kind_ = 0;
};
