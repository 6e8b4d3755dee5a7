#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "base/clock.h"
#include "drivers/models/ce2727/ce2727_requests.h"
#include "transport/connector.h"

// Builds CE2727 frames and exchanges them over the shared serial connector.
class CCE2727Connector {
 public:
  CCE2727Connector(std::shared_ptr<CConnector> connector, long long meter_number,
                   std::string serial_text, uint32_t address, std::string password,
                   std::string password_type, mtr::Clock* clock = nullptr);

  // Checks and converts the password; false (logged) when it is unusable.
  bool init();

  // Frame of a request into the frame buffer; false for an unknown command.
  bool makePacket(const CmtrCE2727Requests::Request& request);
  // One exchange with retries; on success the answer frame is in answer().
  bool SendRequest(const CmtrCE2727Requests::Request& request);
  // One exchange without retries, for a quick look at a silent address.
  bool SendRequestOnce(const CmtrCE2727Requests::Request& request);

  // Password text to its 32-bit value; false with the reason logged.
  static bool ParsePassword(const std::string& text, const std::string& type, uint32_t& value,
                            std::string& error);

  const uint8_t* frame() const { return frame_.data(); }
  int frameLength() const { return frame_len_; }
  const uint8_t* answer() const { return answer_.data(); }
  int answerLength() const { return answer_len_; }
  // An answer without data is the meter's "no", its reason at byte 10.
  bool answerHasData() const { return answer_len_ > CmtrCE2727Requests::kMinFrame; }
  uint8_t answerCode() const { return answer_len_ > 10 ? answer_[10] : 0xFF; }
  const uint8_t* answerData() const { return answer_.data() + CmtrCE2727Requests::kHeaderSize; }
  int answerDataLength() const { return answer_len_ - CmtrCE2727Requests::kHeaderSize - 2; }

  uint32_t address() const { return address_; }
  uint32_t passwordValue() const { return password_value_; }
  bool ready() const { return ready_; }

 private:
  bool exchangeOnce(const CmtrCE2727Requests::Request& request);
  // Repeated single timed reads until `want` bytes are at `pos`; the count read.
  int readUpTo(int pos, int want);

  std::shared_ptr<CConnector> connector_;
  long long meter_number_;
  std::string serial_text_;
  std::string password_;
  std::string password_type_;
  uint32_t address_;
  uint32_t password_value_ = 0;
  bool ready_ = false;
  mtr::Clock* clock_;
  std::array<uint8_t, CmtrCE2727Requests::kMaxFrame + 1> frame_{};
  int frame_len_ = 0;
  std::array<uint8_t, CmtrCE2727Requests::kMaxFrame + 1> answer_{};
  int answer_len_ = 0;
};
