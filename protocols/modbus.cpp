#include "protocols/modbus.h"

#include <cstdlib>
#include <string>

#include "base/crc.h"
#include "base/logger.h"

namespace {

constexpr long kAfterWriteMs = 100;
constexpr long kAfterFailureMs = 1000;
constexpr uint32_t kStandardHeader = 5;

}  // namespace

ModBus::ModBus(std::shared_ptr<CConnector> conn, const MeterSettings& settings)
    : connector(std::move(conn)),
      meter_id(settings.meter_number),
      meter_name(settings.serial_text),
      clock(&mtr::systemClock()) {
  auto it = settings.settings.find("net_address");
  // Decimal, as every configuration number: no number gives 0.
  if (it != settings.settings.end())
    net_address = static_cast<uint32_t>(strtol(it->second.c_str(), nullptr, 10));
  LOG_INFO("[%lld][%s] ModBus::ModBus('%s') - ctor", meter_id, meter_name.c_str(),
           meter_name.c_str());
}

ModBus::~ModBus() = default;

bool ModBus::makeCustomPacket(bool& handled, const char*, uint8_t, const uint32_t*, int) {
  handled = false;
  return true;
}

uint32_t ModBus::getCustomResponseLength(const char*, uint8_t, const uint32_t*, int,
                                         const uint8_t*) {
  return 0;
}

uint32_t ModBus::roomForData() const {
  return request_len + 2 <= kRequestSize ? kRequestSize - 2 - request_len : 0;
}

void ModBus::appendCrc() {
  uint32_t start = wakeup_count;
  uint16_t crc = mtr::crc16_modbus(request + start, request_len - start);
  request[request_len++] = static_cast<uint8_t>(crc & 0xFF);
  request[request_len++] = static_cast<uint8_t>(crc >> 8);
}

bool ModBus::makePacket(const char* name, uint8_t function, const uint32_t* params, int count) {
  request_len = 0;
  response_len = 0;
  // Prefix, address, function and CRC must all fit.
  if (wakeup_count > kRequestSize - 4) {
    LOG_ERR("[%lld][%s] ModBus::makePacket('%s') - WAKE-UP PREFIX OF %u BYTES TOO LONG !!!",
            meter_id, meter_name.c_str(), name, wakeup_count);
    return false;
  }
  for (uint32_t i = 0; i < wakeup_count; ++i) request[request_len++] = wakeup_byte;
  request[request_len++] = static_cast<uint8_t>(net_address & 0xFF);
  request[request_len++] = function;

  bool handled = false;
  bool custom = makeCustomPacket(handled, name, function, params, count);
  if (handled) return custom;

  switch (function) {
    case 3:
    case 4:
      if (count != 2) {
        LOG_ERR(
            "[%lld][%s] ModBus::makePacket('%s') - %d - WRONG PARAMETERS COUNT FOR %d (0x%02X) "
            "MODBUS FUNCTION !!!",
            meter_id, meter_name.c_str(), name, count, function, function);
        return false;
      }
      request[request_len++] = static_cast<uint8_t>(params[0] >> 8);
      request[request_len++] = static_cast<uint8_t>(params[0]);
      request[request_len++] = static_cast<uint8_t>(params[1] >> 8);
      request[request_len++] = static_cast<uint8_t>(params[1]);
      response_len = 0;
      break;
    case 16: {
      if (count < 4) {
        LOG_ERR(
            "[%lld][%s] ModBus::makePacket('%s') - %d - TOO FEW PARAMETERS FOR %d (0x%02X) "
            "MODBUS FUNCTION !!!",
            meter_id, meter_name.c_str(), name, count, function, function);
        return false;
      }
      uint32_t bytes = params[2] & 0xFF;
      // Each value gives two bytes; a byte count beyond the values given is refused
      // rather than padded with whatever follows the array.
      if (static_cast<uint32_t>(count - 3) * 2 < bytes) {
        LOG_ERR(
            "[%lld][%s] ModBus::makePacket('%s') - %d - TOO FEW PARAMETERS FOR %d (0x%02X) "
            "MODBUS FUNCTION !!!",
            meter_id, meter_name.c_str(), name, count, function, function);
        return false;
      }
      if (5 + bytes > roomForData()) {
        LOG_ERR("[%lld][%s] ModBus::makePacket('%s') - %u DATA BYTES DO NOT FIT THE REQUEST !!!",
                meter_id, meter_name.c_str(), name, bytes);
        return false;
      }
      request[request_len++] = static_cast<uint8_t>(params[0] >> 8);
      request[request_len++] = static_cast<uint8_t>(params[0]);
      request[request_len++] = static_cast<uint8_t>(params[1] >> 8);
      request[request_len++] = static_cast<uint8_t>(params[1]);
      request[request_len++] = static_cast<uint8_t>(bytes);
      for (uint32_t i = 0; i < bytes; ++i) {
        uint32_t value = params[3 + i / 2];
        request[request_len++] = static_cast<uint8_t>(i % 2 == 0 ? value >> 8 : value);
      }
      response_len = 8;
      break;
    }
    case 17:
      response_len = 0;
      break;
    case 43:
      if (count != 3) {
        LOG_ERR(
            "[%lld][%s] ModBus::%s('%s') - %d - WRONG PARAMETERS COUNT FOR %d (0x%02X) "
            "MODBUS FUNCTION !!!",
            meter_id, meter_name.c_str(), "makePacket", name, count, function, function);
        return false;
      }
      for (int i = 0; i < 3; ++i) request[request_len++] = static_cast<uint8_t>(params[i]);
      response_len = 0;
      break;
    default:
      LOG_ERR("[%lld][%s] ModBus::makePacket('%s') - %d (0x%02X) UNKNOWN MODBUS FUNCTION !!!",
              meter_id, meter_name.c_str(), name, function, function);
      return false;
  }
  appendCrc();
  return true;
}

void ModBus::dump(const char* name, const char* what, const uint8_t* bytes, size_t count) {
  logger* log = logger::instance();
  if (!log || !log->isLevel(TL_DEBUG)) return;
  std::string title =
      "[" + std::to_string(meter_id) + "][" + meter_name + "] ModBus::SendRequest('" + name + what;
  log->dump(title.c_str(), bytes, count);
}

uint32_t ModBus::readBytewise(uint8_t* dst, uint32_t want) {
  uint32_t got = 0;
  while (got < want) {
    if (connector->ReadBuffer(dst + got, 1, true) != 1) break;
    ++got;
  }
  return got;
}

bool ModBus::attempt(const char* name, uint8_t function, const uint32_t* params, int count,
                     uint8_t* answer, uint32_t& answer_len, uint32_t capacity, bool& built) {
  const char* id = meter_name.c_str();
  connector->FlushBuffer();
  built = makePacket(name, function, params, count);
  if (!built) return false;

  dump(name, "'): Send: ", request, request_len);
  connector->WriteBuffer(request, static_cast<uint16_t>(request_len), true);
  clock->sleepMs(kAfterWriteMs);

  uint32_t header = header_len < kStandardHeader ? kStandardHeader : header_len;
  if (header > capacity) {
    LOG_ERR("[%lld][%s] ModBus::SendRequest('%s') - HEADER OF %u BYTES DOES NOT FIT %u !!!",
            meter_id, id, name, header, capacity);
    return false;
  }
  uint32_t got = readBytewise(answer, kStandardHeader);
  if (got < kStandardHeader) {
    LOG_ERR(
        "[%lld][%s] ModBus::SendRequest('%s') - CAN'T READ STANDART HEADER !!! WHANT %d BYTES, "
        "BUT GOT %d",
        meter_id, id, name, static_cast<int>(kStandardHeader), static_cast<int>(got));
    dump(name, "'): Standart Header Recv: ", answer, got);
    return false;
  }
  if (header > kStandardHeader) {
    uint32_t more = readBytewise(answer + got, header - kStandardHeader);
    if (more < header - kStandardHeader) {
      LOG_ERR(
          "[%lld][%s] ModBus::SendRequest('%s') - CAN'T READ ADDITIONAL HEADER !!! WHANT %d "
          "BYTES, BUT GOT %d",
          meter_id, id, name, static_cast<int>(header - kStandardHeader), static_cast<int>(more));
      dump(name, "'): Additional Header Recv: ", answer + got, more);
      return false;
    }
    got += more;
  }

  bool exception = (answer[1] & 0x80) != 0;
  uint32_t total = got;
  if (exception) {
    LOG_WARNING("[%lld][%s] ModBus::SendRequest('%s') - ERROR RESPONSE RECEIVED !!!", meter_id, id,
                name);
  } else {
    total = response_len;
    if (total == 0) {
      total = getCustomResponseLength(name, function, params, count, answer);
      if (total == 0) total = static_cast<uint32_t>(answer[2]) + 5;
    }
    if (total == 0) {
      LOG_WARNING("[%lld][%s] ModBus::SendRequest('%s') - CAN'T GET CUSTOM RESPONSE LENGTH !!!",
                  meter_id, id, name);
      return false;
    }
    if (total < got || total > capacity) {
      LOG_ERR("[%lld][%s] ModBus::SendRequest('%s') - ANSWER LENGTH %u OUT OF RANGE %u..%u !!!",
              meter_id, id, name, total, got, capacity);
      return false;
    }
    while (got < total) {
      uint32_t missing = total - got;
      int32_t r = connector->ReadBuffer(answer + got, static_cast<uint16_t>(missing), true);
      if (r <= 0) {
        LOG_ERR(
            "[%lld][%s] ModBus::SendRequest('%s') - MUST READ %d, BUT GOT %d. CAN'T READ FULL "
            "PACKET !!!",
            meter_id, id, name, static_cast<int>(total), static_cast<int>(got));
        return false;
      }
      got += static_cast<uint32_t>(r) < missing ? static_cast<uint32_t>(r) : missing;
    }
  }

  {
    logger* log = logger::instance();
    if (log && log->isLevel(TL_DEBUG)) {
      std::string what = "'): Recv: received size = " + std::to_string(total) + " bytes: ";
      dump(name, what.c_str(), answer, total);
    }
  }

  uint8_t want_addr = request[wakeup_count];
  if (answer[0] != want_addr) {
    LOG_ERR("[%lld][%s] ModBus::SendRequest('%s') - WRONG NET ADDR !!! WANT 0x%02x, BUT GOT 0x%02x",
            meter_id, id, name, want_addr, answer[0]);
    return false;
  }
  if ((answer[1] & 0x7F) != function) {
    LOG_ERR("[%lld][%s] ModBus::SendRequest('%s') - WRONG FUNCTION !!! WANT 0x%02x, BUT GOT 0x%02x",
            meter_id, id, name, function, answer[1]);
    return false;
  }
  uint16_t read_crc = static_cast<uint16_t>(answer[total - 2] | (answer[total - 1] << 8));
  uint16_t calc_crc = mtr::crc16_modbus(answer, total - 2);
  if (read_crc != calc_crc) {
    LOG_ERR("[%lld][%s] ModBus::SendRequest('%s') - CRC ERROR: read crc 0x%04x != calc crc 0x%04x",
            meter_id, id, name, read_crc, calc_crc);
    return false;
  }

  answer_len = total;
  if (exception) {
    last_error = static_cast<uint32_t>(answer[1] & 0x7F) + static_cast<uint32_t>(answer[2]) * 256;
    LOG_WARNING("[%lld][%s] ModBus::SendRequest('%s') - FUNCTION 0x%02x RETURN ERROR 0x%02x !!!",
                meter_id, id, name, answer[1] & 0x7F, answer[2]);
  }
  return true;
}

bool ModBus::SendRequest(const char* name, uint8_t function, const uint32_t* params, int count,
                         uint8_t* answer, uint32_t& answer_len, uint32_t capacity) {
  last_error = 0;
  for (int n = 1; n <= kAttempts; ++n) {
    bool built = true;
    if (attempt(name, function, params, count, answer, answer_len, capacity, built)) return true;
    if (!built) return false;
    LOG_WARNING("[%lld][%s] ModBus::SendRequest('%s') - %d ATTEMPT FAILED !!!", meter_id,
                meter_name.c_str(), name, n);
    clock->sleepMs(kAfterFailureMs);
  }
  LOG_ERR("[%lld][%s] ModBus::SendRequest('%s') CAN'T SEND !!!", meter_id, meter_name.c_str(),
          name);
  return false;
}

cADIConnector::cADIConnector(std::shared_ptr<CConnector> conn, const MeterSettings& settings)
    : ModBus(std::move(conn), settings) {}

bool cADIConnector::makeCustomPacket(bool& handled, const char* name, uint8_t function,
                                     const uint32_t* params, int count) {
  if (function != 20) return ModBus::makeCustomPacket(handled, name, function, params, count);
  handled = true;
  LOG_DEBUG("--- [%lld][%s] cADIConnector::%s('%s')", meter_id, meter_name.c_str(),
            "makeCustomPacket", name);
  if (count < 0 || static_cast<uint32_t>(count) * 2 > roomForData()) {
    LOG_ERR(
        "[%lld][%s] cADIConnector::makeCustomPacket('%s') - %d PARAMETERS DO NOT FIT THE "
        "REQUEST !!!",
        meter_id, meter_name.c_str(), name, count);
    return false;
  }
  for (int i = 0; i < count; ++i) {
    request[request_len++] = static_cast<uint8_t>(params[i] >> 8);
    request[request_len++] = static_cast<uint8_t>(params[i]);
  }
  response_len = 0;
  appendCrc();
  return true;
}
