#pragma once

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "transport/connector.h"

namespace ce_test {

using Bytes = std::vector<uint8_t>;

// A CE meter behind a connector: each written frame is decoded as the meter
// would (break, sign-on, option select, R1 read, P1 password) and its answer
// becomes readable. Frames are built here by hand; only the 7-bit sum is
// shared with the code under test.
class MeterDouble : public CConnector {
 public:
  enum FaultKind {
    kWrongName,  // answers for the parameter named in `arg`
    kWrongBcc,   // check byte off by one
    kNak,        // a NAK ahead of the right answer
    kSilent,     // no answer at all
    kNotInfo,    // a frame that does not start with STX
    kBadValue,   // the bracket holds `arg` instead of the value
  };
  struct Fault {
    FaultKind kind;
    std::string arg;
  };

  int32_t WriteBuffer(const uint8_t* buf, uint16_t len, bool) override;
  int32_t ReadBuffer(uint8_t* buf, uint16_t len, bool) override;
  int32_t ReadBufferCycle(uint8_t*, uint16_t, bool, uint32_t) override { return -1; }
  bool open_device() override { return true; }
  void close_device() override {}
  int FlushBuffer() override {
    input_.clear();
    return 0;
  }
  int DrainBuffer() override { return 0; }
  void SetTimeout(uint32_t) override {}

  // Requests heard since the last call, in order: "break", "signon ADDR",
  // "option 051", "read NAME(args)", "password PW", "bad-bcc", "junk".
  std::vector<std::string> take();
  // Only the "read ..." entries of take().
  std::vector<std::string> takeReads();

  std::string ident = "/EKT5CE303v12\r\n";  // empty: no identification
  std::string serial = "12345678";
  std::string password;
  // "NAME(args)" -> what follows the name up to ETX, e.g. "(1.5)\r\n(2)\r\n".
  // A request without an entry is answered "(ERR12)" without a name.
  std::map<std::string, std::string> answers;
  // Faults by "NAME(args)", or "signon" / "option": used up one per request.
  std::map<std::string, std::deque<Fault>> faults;
  size_t max_chunk = 0;  // largest read result; 0: no limit

 private:
  void answerRead(const std::string& request);
  void queue(const std::string& bytes) { input_.append(bytes); }
  bool takeFault(const std::string& key, Fault& f);

  std::string input_;
  std::vector<std::string> heard_;
};

// STX body ETX BCC (or with the given first byte).
std::string Framed(const std::string& body, char first = '\x02', int bcc_delta = 0);

}  // namespace ce_test
