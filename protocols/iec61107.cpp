#include "protocols/iec61107.h"

#include <cstring>
#include <string>

#include "base/logger.h"

using namespace iec61107;

namespace iec61107 {

uint8_t XorBcc(const uint8_t* frame, uint16_t len) {
  if (len < 3) return 0;
  uint8_t bcc = 0;
  for (uint16_t i = 1; i + 1 < len; ++i) bcc ^= frame[i];
  return bcc;
}

uint8_t Sum7Bcc(const uint8_t* frame, uint16_t len) {
  if (len <= 2) return 0;
  uint8_t sum = 0;
  for (uint16_t i = 1; i + 1 < len; ++i) sum = static_cast<uint8_t>(sum + frame[i]);
  return sum & 0x7F;
}

}  // namespace iec61107

namespace {

void dumpFrame(long long id, const char* name, const char* what, const uint8_t* bytes,
               size_t count) {
  logger* log = logger::instance();
  if (!log || !log->isLevel(TL_DEBUG)) return;
  std::string title = "[" + std::to_string(id) + "][" + name +
                      "] cGost61107Connector::SendRequest(): " + what + ": ";
  log->dump(title.c_str(), bytes, count);
}

}  // namespace

CGost61107Connector::CGost61107Connector(std::shared_ptr<CConnector> connector,
                                         const Gost61107Settings& settings, uint16_t capacity,
                                         mtr::Clock* clock)
    : connector_(std::move(connector)),
      settings_(settings),
      capacity_(capacity),
      clock_(clock ? clock : &mtr::systemClock()) {}

CGost61107Connector::~CGost61107Connector() = default;

int8_t CGost61107Connector::ReadFirstByte(uint8_t* buf) {
  int32_t got;
  do {
    got = connector_->ReadBuffer(buf, 1, flash_);
  } while (got == 1 && buf[0] == NAK);
  return static_cast<int8_t>(got);
}

bool CGost61107Connector::SendRequest(const uint8_t* request, uint16_t length, uint8_t* answer,
                                      int32_t& answer_length, bool framed) {
  const long long id = settings_.id;
  const char* name = settings_.name.c_str();
  LOG_DEBUG("[%lld][%s] cGost61107Connector::%s", id, name, "SendRequest");
  dumpFrame(id, name, "Send", request, length);
  if (!connector_) {
    LOG_ERR("[%lld][%s] cGost61107Connector::SendRequest(): no serial connector", id, name);
    answer_length = -1;
    return true;
  }

  // Bytes left over from an earlier, cut-off answer would be taken for this one.
  connector_->FlushBuffer();
  connector_->WriteBuffer(request, length, flash_);
  clock_->sleepMs(100);

  // A zero read (line hung up) counts as nothing received, like a timeout.
  if (ReadFirstByte(answer) < 1) {
    LOG_DEBUG("[%lld][%s] cGost61107Connector::SendRequest(): Can't read", id, name);
    answer_length = -1;
    return true;
  }

  int32_t received = 1;
  int32_t remaining = answer_length - received;
  while (remaining >= 1) {
    // received + remaining does not change with a read, so judging it before
    // the read gives the same answer and never lets the read pass the buffer.
    // One byte more than the answer is needed for the terminating zero.
    if (received + remaining >= capacity_) {
      LOG_ERR(
          "[%lld][%s] ATTENTION!!! BUFFER SIZE IS TOO SMALL FOR THIS RESPONSE!!! ASK A PROGRAMMER "
          "TO ENLARGE THIS BUFFER!!!",
          id, name);
      return false;
    }
    int32_t got =
        connector_->ReadBuffer(answer + received, static_cast<uint16_t>(remaining), flash_);
    if (got <= 0) break;
    received += got;
    remaining -= got;
    const uint8_t last = answer[received - 1];
    const uint8_t before = received >= 2 ? answer[received - 2] : 0;
    if (!framed) {
      if (received >= 2 && before == CR && last == LF) break;
      continue;
    }
    if (remaining == 0) {
      if (before == ETX) {
        break;
      } else if (last == ETX) {
        remaining = 1;  // only the check byte is missing
      } else if (last == ')' || last == LF) {
        remaining = 2;  // ETX and the check byte at least
      } else {
        remaining = 4;
      }
    }
    if (received >= 3 && before == ETX) {
      if (answer[received - 3] == ')') break;
      if (received >= 4 && answer[received - 4] == CR && answer[received - 3] == LF) break;
    }
  }

  LOG_DEBUG("[%lld][%s] cGost61107Connector::SendRequest(): Ok - full packet read: %d", id, name,
            received);
  answer[received] = 0;
  answer_length = received;
  dumpFrame(id, name, "Recv", answer, static_cast<size_t>(received));
  return true;
}

cGost61107::cGost61107(std::shared_ptr<CGost61107Connector> connector)
    : connector_(std::move(connector)) {
  rx_.assign(connector_ ? connector_->capacity() : 1, 0);
  if (rx_.empty()) rx_.assign(1, 0);
  if (connector_) {
    log_id_ = connector_->id();
    log_name_ = connector_->name();
  }
}

cGost61107::~cGost61107() = default;

uint8_t cGost61107::CalcBcc(const uint8_t* buf, uint16_t len) {
  return XorBcc(buf, len);
}

bool cGost61107::SendAck(bool option, int32_t& length, char c1, char c2) {
  uint8_t frame[6] = {ACK, static_cast<uint8_t>(c1), '5', static_cast<uint8_t>(c2), CR, LF};
  const uint16_t n = option ? 6 : 1;
  if (!connector_->SendRequest(frame, n, rx_.data(), length, true)) throw CDisconnectException();
  return true;
}

uint16_t cGost61107::MakeReadRequest(uint8_t* out, const char* name, const char* parameter) {
  const size_t name_len = strlen(name);
  const size_t param_len = strlen(parameter);
  size_t n = 0;
  out[n++] = SOH;
  out[n++] = 'R';
  out[n++] = '1';
  out[n++] = STX;
  memcpy(out + n, name, name_len);
  n += name_len;
  out[n++] = '(';
  memcpy(out + n, parameter, param_len);
  n += param_len;
  out[n++] = ')';
  out[n++] = ETX;
  out[n] = CalcBcc(out, static_cast<uint16_t>(n + 1));
  ++n;
  return static_cast<uint16_t>(n);
}

bool cGost61107::Init(int value, const Gost61107Settings& settings) {
  init_value_ = value;
  address_ = settings.address;
  log_id_ = settings.id;
  log_name_ = settings.name;
  const long long id = settings.id;
  const char* name = settings.name.c_str();
  LOG_DEBUG("[%lld][%s]cGost61107::%s", id, name, "Init");
  if (!connector_) {
    LOG_ERR("[%lld][%s] cGost61107::%s() - CAN'T SEND REQUEST !!!", id, name, "Init");
    return false;
  }

  uint8_t* rx = rx_.data();
  for (int attempt = 0; attempt < 3; ++attempt) {
    int32_t len = 1;
    connector_->SendRequest(kBreakFrame, sizeof kBreakFrame, rx, len, false);

    std::string signon = "/?" + address_ + "!\r\n";
    len = 21;
    if (!connector_->SendRequest(reinterpret_cast<const uint8_t*>(signon.data()),
                                 static_cast<uint16_t>(signon.size()), rx, len, false))
      throw CDisconnectException();
    if (len < 0) continue;
    if (!(rx[0] == '/' || (len >= 5 && rx[4] == '5'))) {
      LOG_ERR(
          "[%lld][%s]cGost61107::%s() - Initialization failed. Received packet isn't identifier",
          id, name, "Init");
      continue;
    }

    len = 17;
    SendAck(true, len, '0', '1');
    if (len < 1) {
      LOG_ERR("[%lld][%s] cGost61107::%s() - Initialization failed. Can't send Ack.", id, name,
              "Init");
      continue;
    }
    const uint8_t calculated = CalcBcc(rx, static_cast<uint16_t>(len));
    if (calculated != rx[len - 1]) {
      LOG_ERR(
          "[%lld][%s] cGost61107::%s() - Initialization failed. Ack answer has wrong checksum. "
          "Calculated %x Received %x",
          id, name, "Init", calculated, rx[len - 1]);
      continue;
    }
    static const uint8_t kProgram[] = {SOH, 'P', '0', STX, '('};
    if (len >= 5 && memcmp(rx, kProgram, sizeof kProgram) == 0) return true;
    LOG_ERR(
        "[%lld][%s] cGost61107::%s() - Initialization failed. Received packet isn't program "
        "command",
        id, name, "Init");
  }
  LOG_ERR("[%lld][%s] cGost61107::%s() - CAN'T SEND REQUEST !!!", id, name, "Init");
  return false;
}
