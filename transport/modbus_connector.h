#pragma once

#include <modbus/modbus.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "transport/connector.h"
#include "transport/led.h"

// A connector that speaks Modbus RTU a whole transaction at a time.
class CModbusConnector : public CConnector {
 public:
  virtual int32_t ReadRegisters(int32_t slave, int32_t addr, int32_t count, uint16_t* dest,
                                bool flash) = 0;
  virtual int32_t ReadInputRegisters(int32_t slave, int32_t addr, int32_t count, uint16_t* dest,
                                     bool flash) = 0;
  virtual int32_t WriteRegister(int32_t slave, int32_t addr, uint16_t value, bool flash) = 0;
  virtual int32_t WriteRegisters(int32_t slave, int32_t addr, int32_t count, const uint16_t* src,
                                 bool flash) = 0;
  virtual int32_t WriteAndReadRegisters(int32_t slave, int32_t write_addr, int32_t write_count,
                                        const uint16_t* src, int32_t read_addr, int32_t read_count,
                                        uint16_t* dest, bool flash) = 0;
  virtual int32_t ReportSlaveId(int32_t slave, int32_t max_dest, uint8_t* dest, bool flash) = 0;
  // `buf` holds the request (slave, function, data; no CRC) and receives the
  // confirmation, so it must have room for a whole 256-byte RTU frame.
  virtual int32_t SendRawRequest(int32_t slave, uint8_t* buf, int32_t len, bool flash) = 0;
};

// Line settings as handed to libmodbus.
struct ModbusLine {
  int baud = 0;
  char parity = 'N';
  int data_bits = 0;
  int stop_bits = 0;
};

// The libmodbus RTU implementation. The byte-stream operations are not
// available on a Modbus line and return -1.
class CModbusConnectorItself : public CModbusConnector {
 public:
  explicit CModbusConnectorItself(const SettingsMap& port_params);
  ~CModbusConnectorItself() override;

  int32_t WriteBuffer(const uint8_t* buf, uint16_t len, bool flash) override;
  int32_t ReadBuffer(uint8_t* buf, uint16_t len, bool flash) override;
  int32_t ReadBufferCycle(uint8_t* buf, uint16_t len, bool flash, uint32_t timeout_ms) override;
  bool open_device() override;
  void close_device() override;
  int FlushBuffer() override;
  int DrainBuffer() override;
  void SetTimeout(uint32_t ms) override;

  int32_t ReadRegisters(int32_t slave, int32_t addr, int32_t count, uint16_t* dest,
                        bool flash) override;
  int32_t ReadInputRegisters(int32_t slave, int32_t addr, int32_t count, uint16_t* dest,
                             bool flash) override;
  int32_t WriteRegister(int32_t slave, int32_t addr, uint16_t value, bool flash) override;
  int32_t WriteRegisters(int32_t slave, int32_t addr, int32_t count, const uint16_t* src,
                         bool flash) override;
  int32_t WriteAndReadRegisters(int32_t slave, int32_t write_addr, int32_t write_count,
                                const uint16_t* src, int32_t read_addr, int32_t read_count,
                                uint16_t* dest, bool flash) override;
  int32_t ReportSlaveId(int32_t slave, int32_t max_dest, uint8_t* dest, bool flash) override;
  int32_t SendRawRequest(int32_t slave, uint8_t* buf, int32_t len, bool flash) override;

  // The libmodbus context, null when the line could not be opened.
  modbus_t* context() const { return ctx_.load(); }
  uint32_t timeout() const { return timeout_.load(); }
  const std::string& devicePath() const { return device_; }
  // As of the last open_device.
  ModbusLine line() const { return line_; }

 private:
  void applyTimeouts(modbus_t* ctx, uint32_t ms);
  // Locks, selects the slave, flashes "A"; null (and unlocked) when no slave
  // could be selected.
  modbus_t* begin(int32_t slave, bool flash);
  int32_t finish(int32_t result, bool flash, bool flash_receive);

  std::atomic<modbus_t*> ctx_{nullptr};
  std::string device_;
  std::unique_ptr<CLed> led_a_;
  std::unique_ptr<CLed> led_b_;
  std::atomic<uint32_t> timeout_{60000};
  ModbusLine line_;
};
