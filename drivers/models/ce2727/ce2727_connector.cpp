#include "drivers/models/ce2727/ce2727_connector.h"

#include <cctype>
#include <cinttypes>

#include "base/crc.h"
#include "base/logger.h"

using CmtrCE2727Requests::kHeaderSize;
using CmtrCE2727Requests::kMaxFrame;
using CmtrCE2727Requests::kMinFrame;
using CmtrCE2727Requests::Request;

namespace {

// A pause before a repeated exchange lets a late answer drain away first.
constexpr long kRetryPauseMs = 100;

void putU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

CCE2727Connector::CCE2727Connector(std::shared_ptr<CConnector> connector, long long meter_number,
                                   std::string serial_text, uint32_t address, std::string password,
                                   std::string password_type, mtr::Clock* clock)
    : connector_(std::move(connector)),
      meter_number_(meter_number),
      serial_text_(std::move(serial_text)),
      password_(std::move(password)),
      password_type_(std::move(password_type)),
      address_(address),
      clock_(clock ? clock : &mtr::systemClock()) {}

bool CCE2727Connector::ParsePassword(const std::string& text, const std::string& type,
                                     uint32_t& value, std::string& error) {
  value = 0;
  unsigned long long v = 0;
  if (type == "ascii") {
    if (text.size() > 10) {
      error = "Too Long Password";
      return false;
    }
    for (char c : text) {
      if (!isdigit(static_cast<unsigned char>(c))) {
        error = "Incorrect ASCII Password";
        return false;
      }
      v = v * 10 + static_cast<unsigned>(c - '0');
    }
  } else {
    std::string digits = text;
    bool prefixed =
        digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
    if (prefixed) digits.erase(0, 2);
    if (digits.size() > 16) {
      error = "Too Long Password";
      return false;
    }
    // An empty text is the factory password 0; a bare "0x" is a typo.
    if (digits.empty() && prefixed) {
      error = "Incorrect HEX Password";
      return false;
    }
    for (char c : digits) {
      if (!isxdigit(static_cast<unsigned char>(c))) {
        error = "Incorrect HEX Password";
        return false;
      }
      int d = isdigit(static_cast<unsigned char>(c)) ? c - '0' : tolower(c) - 'a' + 10;
      v = v << 4 | static_cast<unsigned>(d);
    }
  }
  // The frame has 32 bits for it: a larger number could never be accepted.
  if (v > 0xFFFFFFFFull) {
    error = "Password Out Of Range";
    return false;
  }
  value = static_cast<uint32_t>(v);
  return true;
}

bool CCE2727Connector::init() {
  std::string error;
  ready_ = ParsePassword(password_, password_type_, password_value_, error);
  if (!ready_) {
    LOG_ERR("[%lld][%s] CCE2727Connector::init() - CAN'T INIT %s", meter_number_,
            serial_text_.c_str(), error.c_str());
  }
  return ready_;
}

bool CCE2727Connector::makePacket(const Request& r) {
  uint8_t params[5];
  int n = 0;
  switch (r.cmd) {
    case 0:
    case 1:
    case 3:
    case 21:
    case 23:
      break;
    case 11:
      params[n++] = r.p1;
      params[n++] = r.p3;
      break;
    case 13:
      params[n++] = r.p3;
      params[n++] = r.p4;
      break;
    case 15:
      params[n++] = r.p2;
      params[n++] = r.p3;
      params[n++] = r.p4;
      break;
    case 17:
      params[n++] = r.p1;
      params[n++] = 0;
      params[n++] = r.p2;
      params[n++] = r.p3;
      params[n++] = r.p4;
      break;
    case 27:
      params[n++] = 0;
      params[n++] = 0;
      break;
    default:
      LOG_ERR("[%lld][%s] CCE2727Connector::makePacket('%s') - %d UNKNOWN COMMAND !!!",
              meter_number_, serial_text_.c_str(), r.name.c_str(), r.cmd);
      frame_len_ = 0;
      return false;
  }
  LOG_DEBUG("[%lld][%s] CCE2727Connector::makePacket('%s') - Cmd=%02X Prms=%X.%X.%X.%X",
            meter_number_, serial_text_.c_str(), r.name.c_str(), r.cmd, r.p1, r.p2, r.p3, r.p4);
  uint8_t* f = frame_.data();
  frame_len_ = kHeaderSize + n + 2;
  f[0] = 0x02;
  f[1] = static_cast<uint8_t>(frame_len_);
  putU32(f + 2, address_);
  putU32(f + 6, password_value_);
  f[10] = 0x01;
  f[11] = r.cmd;
  for (int i = 0; i < n; ++i) f[kHeaderSize + i] = params[i];
  uint16_t crc = mtr::crc16_x25(f, frame_len_ - 2);
  f[frame_len_ - 2] = static_cast<uint8_t>(crc & 0xFF);
  f[frame_len_ - 1] = static_cast<uint8_t>(crc >> 8);
  return true;
}

int CCE2727Connector::readUpTo(int pos, int want) {
  int got = 0;
  while (got < want) {
    int32_t n =
        connector_->ReadBuffer(answer_.data() + pos + got, static_cast<uint16_t>(want - got), true);
    if (n <= 0) break;
    got += n;
  }
  return got;
}

bool CCE2727Connector::exchangeOnce(const Request& r) {
  const char* serial = serial_text_.c_str();
  const char* name = r.name.c_str();
  answer_len_ = 0;
  // Stale bytes from an earlier answer would shift this one.
  connector_->FlushBuffer();
  LOG_DUMP("CE2727 >>", frame_.data(), frame_len_);
  if (connector_->WriteBuffer(frame_.data(), static_cast<uint16_t>(frame_len_), true) !=
      frame_len_) {
    LOG_ERR("[%lld][%s] CCE2727Connector::SendRequest('%s') - CAN'T WRITE %d BYTES !!!",
            meter_number_, serial, name, frame_len_);
    return false;
  }

  int expected = kMinFrame;
  int got = readUpTo(0, kHeaderSize);
  if (got < kHeaderSize) {
    if (got > 0) LOG_DUMP("CE2727 <<", answer_.data(), got);
    LOG_ERR(
        "[%lld][%s] CCE2727Connector::SendRequest('%s') - CAN'T READ HEADER !!! WHANT %d "
        "BYTES, BUT GOT %d",
        meter_number_, serial, name, kHeaderSize, got);
    return false;
  }
  const uint8_t* a = answer_.data();
  int length_byte = a[1];
  if (a[0] != 0x02 || length_byte < kMinFrame || CmtrCE2727Requests::U32(a + 2) != address_ ||
      a[11] != r.cmd) {
    // Read off the rest of a well-formed foreign answer, or its tail would
    // arrive after the next flush and spoil the retry.
    if (a[0] == 0x02 && length_byte >= kMinFrame && length_byte <= kMaxFrame)
      got += readUpTo(got, length_byte - got);
    LOG_DUMP("CE2727 <<", a, got);
    LOG_ERR(
        "[%lld][%s] CCE2727Connector::SendRequest('%s') - WRONG ANSWER HEADER: start 0x%02x, "
        "length %d, address %u, command %d !!!",
        meter_number_, serial, name, a[0], length_byte, CmtrCE2727Requests::U32(a + 2), a[11]);
    return false;
  }
  bool has_params = frameLength() > kMinFrame;
  expected = has_params ? length_byte : r.p1;
  // An answer without data is short whatever the request expected; byte 10
  // cannot tell it, as some meters put 0x01 there in every answer.
  if (length_byte == kMinFrame) expected = kMinFrame;
  if (expected < kMinFrame || expected > kMaxFrame) expected = kMinFrame;

  got += readUpTo(got, expected - got);
  LOG_DUMP("CE2727 <<", a, got);
  if (got < expected) {
    LOG_ERR(
        "[%lld][%s] CCE2727Connector::SendRequest('%s') - MUST READ %d, BUT GOT %d. CAN'T "
        "READ FULL PACKET !!!",
        meter_number_, serial, name, expected, got);
    return false;
  }
  uint16_t calc = mtr::crc16_x25(a, expected - 2);
  uint16_t read = static_cast<uint16_t>(a[expected - 2] | a[expected - 1] << 8);
  if (calc != read) {
    LOG_ERR("[%lld][%s] CCE2727Connector::calcCRC CRC ERROR: read crc 0x%02x != calc crc 0x%02x",
            meter_number_, serial, read, calc);
    return false;
  }
  answer_len_ = expected;
  return true;
}

bool CCE2727Connector::SendRequest(const Request& r) {
  if (!makePacket(r)) return false;
  for (int attempt = 1; attempt <= CmtrCE2727Requests::kAttempts; ++attempt) {
    if (exchangeOnce(r)) return true;
    LOG_WARNING("[%lld][%s] CCE2727Connector::SendRequest('%s') - %d RAEDING ATTEMPT IS FAILED !!!",
                meter_number_, serial_text_.c_str(), r.name.c_str(), attempt);
    if (attempt < CmtrCE2727Requests::kAttempts) clock_->sleepMs(kRetryPauseMs);
  }
  LOG_ERR("[%lld][%s] CCE2727Connector::SendRequest('%s') CAN'T SEND !!!", meter_number_,
          serial_text_.c_str(), r.name.c_str());
  return false;
}

bool CCE2727Connector::SendRequestOnce(const Request& r) {
  return makePacket(r) && exchangeOnce(r);
}
