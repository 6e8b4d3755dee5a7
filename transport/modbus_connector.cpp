#include "transport/modbus_connector.h"

#include "base/logger.h"
#include "base/paths.h"
#include "transport/rs_connector.h"

namespace {

bool valueIs(const SettingsMap& params, const char* key, const char* expected) {
  auto it = params.find(key);
  return it != params.end() && it->second == expected;
}

}  // namespace

CModbusConnectorItself::CModbusConnectorItself(const SettingsMap& port_params) {
  pthread_mutex_init(&mutex, nullptr);
  params = port_params;
  device_ = devicePathOf(params);
  led_a_.reset(new CLed(mtr::rootedPath(kLedTransmitPath), kLedOnTimeUs));
  led_b_.reset(new CLed(mtr::rootedPath(kLedReceivePath), kLedOnTimeUs));
  led_a_->Start(led_a_.get(), "manager LED \"A\"");
  led_b_->Start(led_b_.get(), "manager LED \"B\"");
  open_device();
}

CModbusConnectorItself::~CModbusConnectorItself() {
  led_a_.reset();
  led_b_.reset();
  // Give the line back: a later connector on the same port must be able to open it.
  if (modbus_t* ctx = ctx_.exchange(nullptr)) {
    modbus_close(ctx);
    modbus_free(ctx);
  }
  pthread_mutex_destroy(&mutex);
}

void CModbusConnectorItself::applyTimeouts(modbus_t* ctx, uint32_t ms) {
  modbus_set_byte_timeout(ctx, ms / 1000, (ms % 1000) * 1000);
  uint32_t twice = 2 * ms;
  modbus_set_response_timeout(ctx, twice / 1000, (twice % 1000) * 1000);
}

bool CModbusConnectorItself::open_device() {
  int baud = 9600;
  auto it = params.find("speed");
  if (it != params.end()) baud = static_cast<int>(decimalOf(it->second));
  char parity = 'N';
  if (valueIs(params, "parity", "E"))
    parity = 'E';
  else if (valueIs(params, "parity", "O"))
    parity = 'O';
  int data_bits = 8;
  it = params.find("data");
  if (it != params.end()) data_bits = static_cast<int>(decimalOf(it->second));
  int stop_bits = valueIs(params, "stop", "2") ? 2 : 1;

  pthread_mutex_lock(&mutex);
  // A second open replaces the context rather than leaking the first one.
  if (modbus_t* old = ctx_.exchange(nullptr)) {
    modbus_close(old);
    modbus_free(old);
  }
  line_ = ModbusLine{baud, parity, data_bits, stop_bits};
  modbus_t* ctx = modbus_new_rtu(device_.c_str(), baud, parity, data_bits, stop_bits);
  if (!ctx) {
    pthread_mutex_unlock(&mutex);
    LOG_CRIT(
        "CModbusConnectorItself::open_device - Unable to allocate libmodbus context and open "
        "device %s.",
        device_.c_str());
    return false;
  }
  logger* log = logger::instance();
  modbus_set_debug(ctx, (log && log->level() >= TL_DEBUG) ? TRUE : FALSE);
  modbus_set_slave(ctx, 1);
  applyTimeouts(ctx, timeout_.load());
  if (modbus_connect(ctx) == -1) {
    modbus_free(ctx);
    pthread_mutex_unlock(&mutex);
    LOG_CRIT("CModbusConnectorItself::open_device - Connection failed. Unable to open device %s.",
             device_.c_str());
    return false;
  }
  ctx_.store(ctx);
  pthread_mutex_unlock(&mutex);
  return true;
}

void CModbusConnectorItself::close_device() {}

int32_t CModbusConnectorItself::WriteBuffer(const uint8_t*, uint16_t, bool) {
  return -1;
}
int32_t CModbusConnectorItself::ReadBuffer(uint8_t*, uint16_t, bool) {
  return -1;
}
int32_t CModbusConnectorItself::ReadBufferCycle(uint8_t*, uint16_t, bool, uint32_t) {
  return -1;
}
int CModbusConnectorItself::DrainBuffer() {
  return -1;
}

int CModbusConnectorItself::FlushBuffer() {
  pthread_mutex_lock(&mutex);
  modbus_t* ctx = ctx_.load();
  int r = ctx ? modbus_flush(ctx) : -1;
  pthread_mutex_unlock(&mutex);
  return r;
}

void CModbusConnectorItself::SetTimeout(uint32_t ms) {
  timeout_.store(ms);
  // Never waits for a transaction in progress: if the line is busy, the next
  // transaction picks the new value up in begin().
  if (pthread_mutex_trylock(&mutex) == 0) {
    if (modbus_t* ctx = ctx_.load()) applyTimeouts(ctx, ms);
    pthread_mutex_unlock(&mutex);
  }
}

modbus_t* CModbusConnectorItself::begin(int32_t slave, bool flash) {
  pthread_mutex_lock(&mutex);
  modbus_t* ctx = ctx_.load();
  if (!ctx || modbus_set_slave(ctx, slave) == -1) {
    pthread_mutex_unlock(&mutex);
    return nullptr;
  }
  applyTimeouts(ctx, timeout_.load());
  if (flash) led_a_->Blink();
  return ctx;
}

int32_t CModbusConnectorItself::finish(int32_t result, bool flash, bool flash_receive) {
  if (flash && flash_receive && result > 0) led_b_->Blink();
  pthread_mutex_unlock(&mutex);
  return result;
}

int32_t CModbusConnectorItself::ReadRegisters(int32_t slave, int32_t addr, int32_t count,
                                              uint16_t* dest, bool flash) {
  modbus_t* ctx = begin(slave, flash);
  if (!ctx) return -1;
  return finish(modbus_read_registers(ctx, addr, count, dest), flash, true);
}

int32_t CModbusConnectorItself::ReadInputRegisters(int32_t slave, int32_t addr, int32_t count,
                                                   uint16_t* dest, bool flash) {
  modbus_t* ctx = begin(slave, flash);
  if (!ctx) return -1;
  return finish(modbus_read_input_registers(ctx, addr, count, dest), flash, true);
}

int32_t CModbusConnectorItself::WriteRegister(int32_t slave, int32_t addr, uint16_t value,
                                              bool flash) {
  modbus_t* ctx = begin(slave, flash);
  if (!ctx) return -1;
  return finish(modbus_write_register(ctx, addr, value), flash, false);
}

int32_t CModbusConnectorItself::WriteRegisters(int32_t slave, int32_t addr, int32_t count,
                                               const uint16_t* src, bool flash) {
  modbus_t* ctx = begin(slave, flash);
  if (!ctx) return -1;
  return finish(modbus_write_registers(ctx, addr, count, src), flash, false);
}

int32_t CModbusConnectorItself::WriteAndReadRegisters(int32_t slave, int32_t write_addr,
                                                      int32_t write_count, const uint16_t* src,
                                                      int32_t read_addr, int32_t read_count,
                                                      uint16_t* dest, bool flash) {
  modbus_t* ctx = begin(slave, flash);
  if (!ctx) return -1;
  return finish(modbus_write_and_read_registers(ctx, write_addr, write_count, src, read_addr,
                                                read_count, dest),
                flash, true);
}

int32_t CModbusConnectorItself::ReportSlaveId(int32_t slave, int32_t max_dest, uint8_t* dest,
                                              bool flash) {
  modbus_t* ctx = begin(slave, flash);
  if (!ctx) return -1;
  return finish(modbus_report_slave_id(ctx, max_dest, dest), flash, true);
}

int32_t CModbusConnectorItself::SendRawRequest(int32_t slave, uint8_t* buf, int32_t len,
                                               bool flash) {
  modbus_t* ctx = begin(slave, flash);
  if (!ctx) return -1;
  int r = modbus_send_raw_request(ctx, buf, len);
  if (r >= 0) r = modbus_receive_confirmation(ctx, buf);
  return finish(r, flash, true);
}
