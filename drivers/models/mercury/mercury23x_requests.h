#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "drivers/models/mercury/mercury23x_lowlevel.h"
#include "drivers/models/mercury/mercury23x_timetable.h"
#include "server/measured_value.h"

namespace CmtrMercury23XRequets {

// Quality of every record this driver produces.
constexpr int32_t kQuality = 0xC0;

// ---- number formats of the meter's replies ----
bool isBcd(uint8_t b);
int bcd(uint8_t b);  // tens * 10 + units
// Three-byte measured value B0 B1 B2 = (B0 << 16) | (B2 << 8) | B1.
uint32_t value3(const uint8_t* p);
// The same with the direction bits of B0 masked off (power, power factor).
uint32_t value3Masked(const uint8_t* p);
// Four-byte register B0 B1 B2 B3 = (B1 << 24) | (B0 << 16) | (B3 << 8) | B2;
// FF FF FF FF (nothing stored) reads as 0.
uint32_t register4(const uint8_t* p);
// Local time; -1 when the fields do not form a date.
time_t localTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);
// Six BCD bytes second, minute, hour, day, month, year - 2000, read as local
// time; false when they are not a valid time stamp.
bool timeStamp6(const uint8_t* p, time_t* out);
// Impulses per kWh from the low nibble of variant byte 1 (1 when unknown).
int meterConstant(uint8_t variant1);
// Local midnight of the day holding t.
time_t dayStart(time_t t);
// Adds calendar days (DST-safe).
time_t addDays(time_t t, int days);
// Adds calendar months to a local time (day and time of day kept).
time_t addMonths(time_t t, int months);
std::string formatTime(time_t t);
std::string fixed(double value, int decimals);

// Driver state that requests read or write.
struct MeterState {
  mtr::Clock* clock = nullptr;
  int dtz = 0;              // meter clock minus controller clock, seconds
  int64_t meter_time = 0;   // the meter's clock read as local time
  uint8_t variant[6] = {};  // "model" reply
  uint8_t firmware[3] = {};
  bool firmware_read = false;
  int ext_arch = 0;
  int int_rater = 1;
  uint32_t last_profile_addr = 0;
  int64_t last_profile_time = 0;
  int last_profile_period = 0;
  int model_number = 0;
  bool direct_command = true;
  CmtrMercury23XTimeTable timetable;

  time_t now() const { return clock ? clock->now() : time(nullptr); }
  void sleepMs(long ms) const {
    if (clock) clock->sleepMs(ms);
  }
};

using LowLevel = std::shared_ptr<CMercury23XLowLevelConnector>;

class BaseRequest {
 public:
  virtual ~BaseRequest() = default;
  virtual void setConnector(LowLevel connector) { ll_ = std::move(connector); }
  // One exchange (or a run of them); appends what it decoded.
  virtual void sendRequest(MeasuredValueList& values) = 0;
  virtual void setPeriod(int64_t from, int64_t till) {
    from_ = from;
    till_ = till;
  }

  void setOptional(bool v) { optional_ = v; }
  bool optional() const { return optional_; }
  void setSerialRequired(bool v) { serial_required_ = v; }
  bool serialRequired() const { return serial_required_; }
  int64_t from() const { return from_; }
  int64_t till() const { return till_; }

 protected:
  const char* id() const { return ll_ ? ll_->meterId() : ""; }
  const char* sn() const { return ll_ ? ll_->serial() : ""; }

  LowLevel ll_;
  int64_t from_ = 0;
  int64_t till_ = 0;
  bool optional_ = false;
  bool serial_required_ = false;
};

// One request frame, one reply frame.
class Request : public BaseRequest {
 public:
  explicit Request(MeterState* state) : st_(state) {}
  void sendRequest(MeasuredValueList& values) override;
  // Writes command and parameters at p; returns the end of what was written.
  virtual uint8_t* fillCMD(uint8_t* p) = 0;
  // Data bytes of a good reply (the frame is 3 bytes longer).
  virtual uint16_t dataSize() const = 0;
  virtual void parseData(const uint8_t* data, uint16_t size, MeasuredValueList& values) = 0;

  // Logs the meaning of a status byte; returns its low 4 bits.
  int parseErrorCode(uint8_t status);

 protected:
  // Throws CWrongPacketException for a frame that cannot be a reply.
  void parseFrame(uint16_t size);
  void add(MeasuredValueList& values, uint32_t code, uint32_t kind, const std::string& text,
           int64_t timestamp, uint8_t sys = 0) const;

  MeterState* st_;
};

// Requests answered by one status byte.
class WriteRequest : public Request {
 public:
  using Request::Request;
  uint16_t dataSize() const override { return 1; }
  void parseData(const uint8_t*, uint16_t, MeasuredValueList&) override {}
};

class TestRequest : public WriteRequest {
 public:
  using WriteRequest::WriteRequest;
  uint8_t* fillCMD(uint8_t* p) override;
};

class OpenChannelRequest : public WriteRequest {
 public:
  using WriteRequest::WriteRequest;
  uint8_t* fillCMD(uint8_t* p) override;
};

class CloseChannelRequest : public WriteRequest {
 public:
  using WriteRequest::WriteRequest;
  uint8_t* fillCMD(uint8_t* p) override;
};

// Command 08 11 (or 08 14): one measured quantity of one phase.
class ReadExtendedRequest : public Request {
 public:
  ReadExtendedRequest(MeterState* state, int phase) : Request(state), phase_(phase) {}
  virtual int kind() const = 0;
  virtual int paramCode() const { return 0x11; }
  virtual int bwri() const { return (kind() << 4) | phase_; }
  uint8_t* fillCMD(uint8_t* p) override;
  uint16_t dataSize() const override { return 3; }

 protected:
  int phase_;
};

class VoltageRequest : public ReadExtendedRequest {
 public:
  using ReadExtendedRequest::ReadExtendedRequest;
  int kind() const override { return 1; }
  void parseData(const uint8_t* data, uint16_t size, MeasuredValueList& values) override;
};

class CurrentRequest : public ReadExtendedRequest {
 public:
  using ReadExtendedRequest::ReadExtendedRequest;
  int kind() const override { return 2; }
  void parseData(const uint8_t* data, uint16_t size, MeasuredValueList& values) override;
};

class FrequencyRequest : public ReadExtendedRequest {
 public:
  explicit FrequencyRequest(MeterState* state) : ReadExtendedRequest(state, 0) {}
  int kind() const override { return 4; }
  void parseData(const uint8_t* data, uint16_t size, MeasuredValueList& values) override;
};

class PowerRequest : public ReadExtendedRequest {
 public:
  // power_kind 0 active, 1 reactive; phase 0 the sum.
  PowerRequest(MeterState* state, int power_kind, int phase)
      : ReadExtendedRequest(state, phase), power_kind_(power_kind) {}
  int kind() const override { return 0; }
  int bwri() const override { return ReadExtendedRequest::bwri() | (power_kind_ << 2); }
  void parseData(const uint8_t* data, uint16_t size, MeasuredValueList& values) override;

 private:
  int power_kind_;
};

class CosRequest : public ReadExtendedRequest {
 public:
  using ReadExtendedRequest::ReadExtendedRequest;
  int kind() const override { return 3; }
  void parseData(const uint8_t* data, uint16_t size, MeasuredValueList& values) override;
};

class DateTime2Request : public ReadExtendedRequest {
 public:
  explicit DateTime2Request(MeterState* state) : ReadExtendedRequest(state, 0) {}
  int kind() const override { return 14; }
  int paramCode() const override { return 0x14; }
  uint16_t dataSize() const override { return 8; }
  void parseData(const uint8_t* data, uint16_t size, MeasuredValueList& values) override;
};

// The meter clock ("MDateTime"); also sets the driver's meter time.
class DateTimeRequest : public Request {
 public:
  using Request::Request;
  void sendRequest(MeasuredValueList& values) override;
  uint8_t* fillCMD(uint8_t* p) override;
  uint16_t dataSize() const override { return 8; }
  void parseData(const uint8_t* data, uint16_t size, MeasuredValueList& values) override;
};

class SerialRequest : public Request {
 public:
  explicit SerialRequest(MeterState* state) : Request(state) { setSerialRequired(true); }
  uint8_t* fillCMD(uint8_t* p) override;
  uint16_t dataSize() const override { return 7; }
  void parseData(const uint8_t* data, uint16_t size, MeasuredValueList& values) override;
};

class IcfUcfRequest : public Request {
 public:
  using Request::Request;
  uint8_t* fillCMD(uint8_t* p) override;
  uint16_t dataSize() const override { return 4; }
  void parseData(const uint8_t* data, uint16_t size, MeasuredValueList& values) override;
};

class FirmwareRequest : public Request {
 public:
  using Request::Request;
  uint8_t* fillCMD(uint8_t* p) override;
  uint16_t dataSize() const override { return 3; }
  void parseData(const uint8_t* data, uint16_t size, MeasuredValueList& values) override;
  static std::string modelName(int first_firmware_number);
};

class IndividualParamsRequest : public Request {
 public:
  using Request::Request;
  uint8_t* fillCMD(uint8_t* p) override;
  uint16_t dataSize() const override { return 24; }
  void parseData(const uint8_t* data, uint16_t size, MeasuredValueList& values) override;
};

class ModelRequest : public Request {
 public:
  using Request::Request;
  uint8_t* fillCMD(uint8_t* p) override;
  uint16_t dataSize() const override { return 6; }
  void parseData(const uint8_t* data, uint16_t size, MeasuredValueList& values) override;
};

class LastOnOffRequest : public Request {
 public:
  using Request::Request;
  uint8_t* fillCMD(uint8_t* p) override;
  uint16_t dataSize() const override { return 13; }
  void parseData(const uint8_t* data, uint16_t size, MeasuredValueList& values) override;
};

class TsrRequest : public Request {
 public:
  using Request::Request;
  // Older firmware (second number up to 2) does not know the command.
  void sendRequest(MeasuredValueList& values) override;
  uint8_t* fillCMD(uint8_t* p) override;
  uint16_t dataSize() const override { return 2; }
  void parseData(const uint8_t* data, uint16_t size, MeasuredValueList& values) override;
};

class StateRequest : public Request {
 public:
  using Request::Request;
  uint8_t* fillCMD(uint8_t* p) override;
  uint16_t dataSize() const override { return 6; }
  void parseData(const uint8_t* data, uint16_t size, MeasuredValueList& values) override;
  static uint32_t stateWord(const uint8_t* data);
};

// Ten records of one event journal.
class ErrorHistoryRequest : public Request {
 public:
  ErrorHistoryRequest(MeterState* state, int journal, int record_size, int event_bit)
      : Request(state), journal_(journal), record_size_(record_size), event_bit_(event_bit) {}
  uint8_t* fillCMD(uint8_t* p) override;
  uint16_t dataSize() const override { return static_cast<uint16_t>(10 * record_size_); }
  void parseData(const uint8_t* data, uint16_t size, MeasuredValueList& values) override;

 private:
  int journal_;
  int record_size_;
  int event_bit_;
};

// Energy registers A+, A-, R+, R- of one array and tariff (command 05h).
class IntegratorsRequest : public Request {
 public:
  IntegratorsRequest(MeterState* state, int array_code, int tariff, int divisor = 1)
      : Request(state), code_(array_code), tariff_(tariff), divisor_(divisor) {}
  uint8_t* fillCMD(uint8_t* p) override;
  uint16_t dataSize() const override { return 16; }
  void parseData(const uint8_t* data, uint16_t size, MeasuredValueList& values) override;

  // Record time and group of an array code read at `meter_time`; false when
  // the code gives no record.
  static bool arrayTime(int array_code, time_t meter_time, time_t reading_time, time_t* t,
                        uint32_t* kind);
  // The four registers as records of `kind` at `t`.
  static void addRegisters(const uint8_t* data, int divisor, uint32_t kind, time_t t, int tariff,
                           MeasuredValueList& values);

 protected:
  int code_;
  int tariff_;
  int divisor_;
};

// The same registers read from memory, for meters without command 05h.
class DmaIntegratorsRequest : public IntegratorsRequest {
 public:
  DmaIntegratorsRequest(MeterState* state, int array_code, int tariff)
      : IntegratorsRequest(state, array_code, tariff, 2) {}
  uint8_t* fillCMD(uint8_t* p) override;
  uint16_t address() const;
};

// Registers at the start of each day or month of the window (command 18h).
class IntegratorsRequestExt : public Request {
 public:
  IntegratorsRequestExt(MeterState* state, bool monthly, int tariff)
      : Request(state), monthly_(monthly), tariff_(tariff) {}
  void sendRequest(MeasuredValueList& values) override;
  uint8_t* fillCMD(uint8_t* p) override;
  uint16_t dataSize() const override { return 16; }
  void parseData(const uint8_t* data, uint16_t size, MeasuredValueList& values) override;

 private:
  bool monthly_;
  int tariff_;
  time_t step_ = 0;  // local midnight of the day asked for
};

class LastProfileRequest : public Request {
 public:
  using Request::Request;
  uint8_t* fillCMD(uint8_t* p) override;
  uint16_t dataSize() const override { return 9; }
  void parseData(const uint8_t* data, uint16_t size, MeasuredValueList& values) override;
};

// Eight power-profile records, `offset` bytes before the newest one.
class ProfileMemoryRequest : public Request {
 public:
  ProfileMemoryRequest(MeterState* state, uint32_t offset) : Request(state), offset_(offset) {}
  uint8_t* fillCMD(uint8_t* p) override;
  uint16_t dataSize() const override { return 120; }
  void parseData(const uint8_t* data, uint16_t size, MeasuredValueList& values) override;
  uint32_t address() const;

 private:
  uint32_t offset_;
};

class HolidaysRequest : public Request {
 public:
  HolidaysRequest(MeterState* state, int month) : Request(state), month_(month) {}
  uint8_t* fillCMD(uint8_t* p) override;
  uint16_t dataSize() const override { return 4; }
  void parseData(const uint8_t* data, uint16_t size, MeasuredValueList& values) override;

 protected:
  int month_;
};

class HolidaysRequest236 : public HolidaysRequest {
 public:
  using HolidaysRequest::HolidaysRequest;
  uint8_t* fillCMD(uint8_t* p) override;
  void parseData(const uint8_t* data, uint16_t size, MeasuredValueList& values) override;
};

class ScheduleRequest : public Request {
 public:
  ScheduleRequest(MeterState* state, int month, int day_type, int part)
      : Request(state), month_(month), day_type_(day_type), part_(part) {}
  uint8_t* fillCMD(uint8_t* p) override;
  uint16_t dataSize() const override { return 16; }
  void parseData(const uint8_t* data, uint16_t size, MeasuredValueList& values) override;
  uint16_t address() const;

 private:
  int month_;
  int day_type_;
  int part_;
};

// Time of the last change of a tariff table (journal reads 04 07 / 04 08).
class TimeTableChangeRequest : public Request {
 public:
  TimeTableChangeRequest(MeterState* state, int journal, uint32_t code)
      : Request(state), journal_(journal), code_(code) {}
  uint8_t* fillCMD(uint8_t* p) override;
  uint16_t dataSize() const override { return 7; }
  void parseData(const uint8_t* data, uint16_t size, MeasuredValueList& values) override;

 private:
  int journal_;
  uint32_t code_;
};

class TimeTableSeasonsChangeRequest : public TimeTableChangeRequest {
 public:
  explicit TimeTableSeasonsChangeRequest(MeterState* state)
      : TimeTableChangeRequest(state, 0x07, 66) {}
};

class TimeTableHolidaysChangeRequest : public TimeTableChangeRequest {
 public:
  explicit TimeTableHolidaysChangeRequest(MeterState* state)
      : TimeTableChangeRequest(state, 0x08, 67) {}
};

// Requests run as one unit: open the channel, then each request with up to
// three attempts.
class RequestSequence : public BaseRequest {
 public:
  // Member `index` of a sequence whose members are made as it runs.
  using Maker = std::function<std::shared_ptr<BaseRequest>(size_t index)>;

  explicit RequestSequence(MeterState* state) : st_(state), open_(state) {}
  // `count` members, each made just before it runs and dropped after it: a
  // kept sequence then costs a few bytes instead of an object per member.
  RequestSequence(MeterState* state, size_t count, Maker make)
      : st_(state), open_(state), made_(count), make_(std::move(make)) {}
  void setConnector(LowLevel connector) override;
  void sendRequest(MeasuredValueList& values) override;
  void setPeriod(int64_t from, int64_t till) override;

  void add(std::shared_ptr<BaseRequest> request);
  void clear() {
    requests_.clear();
    made_ = 0;
  }
  size_t size() const { return requests_.size() + made_; }
  // Every member as an object; made members are built (with the sequence's
  // connector and period) and kept from here on.
  const std::vector<std::shared_ptr<BaseRequest>>& requests();

  void setAllOptional(bool v) { all_optional_ = v; }
  bool allOptional() const { return all_optional_; }
  void setDateTimeRequired(bool v) { date_time_required_ = v; }
  bool dateTimeRequired() const { return date_time_required_; }

 private:
  std::shared_ptr<BaseRequest> make(size_t index) const;

  MeterState* st_;
  std::vector<std::shared_ptr<BaseRequest>> requests_;  // run first
  OpenChannelRequest open_;
  size_t made_ = 0;  // members made by make_, run after requests_
  Maker make_;
  bool all_optional_ = false;
  bool date_time_required_ = false;
};

}  // namespace CmtrMercury23XRequets
