#pragma once

#include <pthread.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "server/settings.h"

// A serial line to meters: raw byte writes and timed reads. Failures are
// reported by return values (-1, false), never thrown.
class CConnector : public std::enable_shared_from_this<CConnector> {
 public:
  virtual int32_t WriteBuffer(const uint8_t* buf, uint16_t len, bool flash) = 0;
  virtual int32_t ReadBuffer(uint8_t* buf, uint16_t len, bool flash) = 0;
  // timeout_ms 0: the connector timeout. The timeout bounds each silence.
  virtual int32_t ReadBufferCycle(uint8_t* buf, uint16_t len, bool flash, uint32_t timeout_ms) = 0;
  virtual bool open_device() = 0;
  virtual void close_device() = 0;
  virtual int FlushBuffer() = 0;
  virtual int DrainBuffer() = 0;
  virtual ~CConnector() = default;
  virtual void SetTimeout(uint32_t ms) = 0;

  const SettingsMap& portParams() const { return params; }

 protected:
  SettingsMap params;
  pthread_mutex_t mutex;
};

// Builds the connector for a port parameter map ("protocol" "modbus" gives the
// Modbus connector). The line is already opened (or failed to open) on return.
CConnector* CreateConnector(const SettingsMap& port_params);

// Transport exceptions thrown by protocol layers and drivers.
class CDisconnectException : public std::exception {};
class CWrongPacketException : public std::exception {};
class CNoDateTimeException : public std::exception {};
class SerialErrorException : public std::exception {
 public:
  explicit SerialErrorException(std::string message) : message_(std::move(message)) {}
  const std::string& message() const { return message_; }

 private:
  std::string message_;
};
