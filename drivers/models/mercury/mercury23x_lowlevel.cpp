#include "drivers/models/mercury/mercury23x_lowlevel.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/logger.h"

CMercury23XLowLevelConnector::CMercury23XLowLevelConnector(std::shared_ptr<CConnector> connector,
                                                           const std::string& meter_id,
                                                           const std::string& serial)
    : connector_(std::move(connector)), meter_id_(meter_id), serial_(serial) {}

void CMercury23XLowLevelConnector::setPassword(const std::string& password) {
  memset(password_, 0, sizeof password_);
  memcpy(password_, password.data(), std::min<size_t>(password.size(), 6));
}

int32_t CMercury23XLowLevelConnector::WriteBuffer(uint16_t len) {
  char title[160];
  snprintf(title, sizeof title, "[%s][%s] CMercury23XLowLevelConnector::WriteBuffer: ", meterId(),
           serial());
  uint8_t* tx = txBuffer();
  LOG_DUMP(title, tx, len);
  if (!connector_) return -1;
  // A reply that came too late for the previous request must not be taken
  // for the answer to this one.
  connector_->FlushBuffer();
  return connector_->WriteBuffer(tx, len, false);
}

uint16_t CMercury23XLowLevelConnector::ReadBufferCycle(uint16_t expected) {
  if (expected > kBufferSize) expected = kBufferSize;
  LOG_DEBUG("[%s][%s] CMercury23XLowLevelConnector::ReadBufferCycle: read %d bytes", meterId(),
            serial(), expected);
  uint8_t* rx = buffers().rx;
  int32_t n = connector_ ? connector_->ReadBufferCycle(rx, expected, true, 0) : -1;
  if (n <= 0) return kNoFrame;
  char title[160];
  snprintf(title, sizeof title,
           "[%s][%s] CMercury23XLowLevelConnector::ReadBufferCycle: ", meterId(), serial());
  LOG_DUMP(title, rx, n);
  return static_cast<uint16_t>(n);
}
