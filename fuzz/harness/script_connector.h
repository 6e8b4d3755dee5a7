#pragma once

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "base/clock.h"
#include "base/logger.h"
#include "transport/connector.h"

namespace mtr_fuzz {

// A meter line answering from the fuzz input. ReadBuffer takes up to `chunk`
// bytes, never past the end of their burst (the next answer has not arrived);
// ReadBufferCycle gathers the length asked. Reads time out like the serial
// connector's at each gap of the script and once it is spent.
class ScriptConnector : public CConnector {
 public:
  // `gaps` and `bursts` (where each burst ends) are ascending positions.
  ScriptConnector(const uint8_t* data, size_t size, uint16_t chunk = 0xFFFF,
                  std::vector<size_t> gaps = {}, std::vector<size_t> bursts = {})
      : data_(data),
        size_(size),
        chunk_(chunk ? chunk : 1),
        gaps_(std::move(gaps)),
        bursts_(std::move(bursts)) {}

  int32_t WriteBuffer(const uint8_t* buf, uint16_t len, bool) override {
    written.insert(written.end(), buf, buf + len);
    frames.emplace_back(buf, buf + len);
    ++writes;
    return len;
  }
  int32_t ReadBuffer(uint8_t* buf, uint16_t len, bool) override {
    if (atGap()) return -1;
    while (burst_ < bursts_.size() && bursts_[burst_] <= pos_) ++burst_;
    size_t n = std::min<size_t>(len, chunk_);
    if (burst_ < bursts_.size()) n = std::min(n, bursts_[burst_] - pos_);
    return take(buf, n);
  }
  int32_t ReadBufferCycle(uint8_t* buf, uint16_t len, bool, uint32_t) override {
    if (atGap()) return -1;
    int32_t n = take(buf, len);
    if (n > 0 && n < len) atGap();  // the rest timed out within this call
    return n;
  }
  bool open_device() override { return true; }
  void close_device() override {}
  int FlushBuffer() override { return 0; }
  int DrainBuffer() override { return 0; }
  void SetTimeout(uint32_t) override {}

  size_t consumed() const { return pos_; }
  std::vector<uint8_t> written;              // every byte written
  std::vector<std::vector<uint8_t>> frames;  // one entry per write
  int writes = 0;

 private:
  // True, once, when the read position has reached the next gap.
  bool atGap() {
    if (gap_ < gaps_.size() && gaps_[gap_] <= pos_) {
      ++gap_;
      return true;
    }
    return false;
  }
  int32_t take(uint8_t* buf, size_t len) {
    size_t end = gap_ < gaps_.size() ? std::min(gaps_[gap_], size_) : size_;
    size_t n = std::min(len, end > pos_ ? end - pos_ : 0);
    if (n == 0) return -1;
    memcpy(buf, data_ + pos_, n);
    pos_ += n;
    return static_cast<int32_t>(n);
  }

  const uint8_t* data_;
  size_t size_, pos_ = 0, chunk_;
  std::vector<size_t> gaps_, bursts_;
  size_t gap_ = 0, burst_ = 0;
};

// Sleeps cost nothing; time only moves by what was slept.
class NullClock : public mtr::Clock {
 public:
  time_t now() override { return static_cast<time_t>(1700000000 + slept_ms / 1000); }
  void sleepMs(long ms) override { slept_ms += ms; }
  long long slept_ms = 0;
};

// Reads fields off the front of the fuzz input.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  uint8_t byte() { return p_ < end_ ? *p_++ : 0; }
  uint16_t u16() {
    uint16_t hi = byte();
    return static_cast<uint16_t>(hi << 8 | byte());
  }
  uint32_t u32() {
    uint32_t hi = u16();
    return hi << 16 | u16();
  }
  const uint8_t* rest() const { return p_; }
  size_t left() const { return static_cast<size_t>(end_ - p_); }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

// The meter's frames from the fuzz input: [control][length][bytes]. Control
// bit 0 fixes the length field and bit 1 the checksum (so the parsers behind
// them are reached), bit 6 adds a silence after the frame, bit 7 repeats it.
struct FrameFixer {
  int length_offset = -1;  // where the frame's own length byte sits, or -1
  std::function<void(std::vector<uint8_t>&)> checksum;
};

struct Script {
  std::vector<uint8_t> bytes;
  std::vector<size_t> gaps;    // positions in `bytes` where the line goes quiet
  std::vector<size_t> bursts;  // where each frame (each arrival) ends
};

inline Script framedScript(Reader& in, const FrameFixer& fix) {
  Script script;
  std::vector<uint8_t>& out = script.bytes;
  while (in.left() > 0) {
    uint8_t control = in.byte();
    size_t len = in.byte();
    std::vector<uint8_t> frame;
    for (size_t i = 0; i < len && in.left() > 0; ++i) frame.push_back(in.byte());
    if ((control & 1) && fix.length_offset >= 0 &&
        frame.size() > static_cast<size_t>(fix.length_offset))
      frame[fix.length_offset] = static_cast<uint8_t>(frame.size());
    if ((control & 2) && fix.checksum) fix.checksum(frame);
    out.insert(out.end(), frame.begin(), frame.end());
    script.bursts.push_back(out.size());
    if (control & 0x80) {
      out.insert(out.end(), frame.begin(), frame.end());
      script.bursts.push_back(out.size());
    }
    if (control & 0x40) script.gaps.push_back(out.size());
  }
  return script;
}

// `verbose` logs into /dev/null so logging sees fuzzed bytes; MTR_FUZZ_LOG=FILE keeps it.
inline void fuzzLogging(bool verbose) {
  static const char* file = getenv("MTR_FUZZ_LOG");
  if (file) verbose = true;
  logger* log = logger::instance();
  if (!log && !verbose) return;
  if (!log) log = logger::getInstance(file ? file : "/dev/null", false);
  log->setLevel(verbose ? TL_DEBUG : TL_EMERG);
}

}  // namespace mtr_fuzz
