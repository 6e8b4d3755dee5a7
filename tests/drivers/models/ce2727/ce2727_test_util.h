#pragma once

// Test-side helpers: the meter's side of the protocol (its own frame parser and
// builder), a line double, and the log the tests read back.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base/logger.h"
#include "support/test_support.h"
#include "transport/connector.h"

namespace ce2727_test {

using Bytes = std::vector<uint8_t>;

// CRC-16/X-25 bit by bit from its definition, independent of the driver's table.
inline uint16_t crcBitwise(const uint8_t* d, size_t n) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < n; ++i) {
    crc ^= d[i];
    for (int b = 0; b < 8; ++b) crc = (crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1;
  }
  return static_cast<uint16_t>(~crc);
}

inline void putLE(Bytes& b, uint32_t v, int size) {
  for (int i = 0; i < size; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline Bytes answerFrame(uint32_t address, uint8_t cmd, uint8_t code, const Bytes& data) {
  Bytes f = {0x02, 0};
  putLE(f, address, 4);
  putLE(f, 0, 4);
  f.push_back(code);
  f.push_back(cmd);
  f.insert(f.end(), data.begin(), data.end());
  f[1] = static_cast<uint8_t>(f.size() + 2);
  putLE(f, crcBitwise(f.data(), f.size()), 2);
  return f;
}

struct SeenRequest {
  bool ok = false;  // false: a frame the meter ignores
  uint32_t address = 0, password = 0;
  uint8_t cmd = 0;
  Bytes params;
};

inline SeenRequest parseRequest(const Bytes& f) {
  SeenRequest r;
  if (f.size() < 14 || f[0] != 0x02 || f[1] != f.size() || f[10] != 0x01) return r;
  uint16_t crc = crcBitwise(f.data(), f.size() - 2);
  if ((crc & 0xFF) != f[f.size() - 2] || (crc >> 8) != f[f.size() - 1]) return r;
  for (int i = 0; i < 4; ++i) {
    r.address |= uint32_t(f[2 + i]) << (8 * i);
    r.password |= uint32_t(f[6 + i]) << (8 * i);
  }
  r.cmd = f[11];
  r.params.assign(f.begin() + 12, f.end() - 2);
  r.ok = true;
  return r;
}

// A meter as each test wants it: answers per command from the request it saw.
struct FakeMeter {
  uint32_t address = 4242;
  uint32_t password = 0;
  using Handler = std::function<Bytes(const SeenRequest&, uint8_t& code)>;
  std::map<uint8_t, Handler> handlers;
  std::vector<SeenRequest> seen;

  Bytes operator()(const Bytes& frame) {
    SeenRequest r = parseRequest(frame);
    if (!r.ok || r.address != address) return {};
    seen.push_back(r);
    if (r.password != password) return answerFrame(address, r.cmd, 1, {});
    auto h = handlers.find(r.cmd);
    if (h == handlers.end()) return answerFrame(address, r.cmd, 2, {});
    uint8_t code = 0;
    Bytes data = h->second(r, code);
    return answerFrame(address, r.cmd, code, code ? Bytes{} : data);
  }
  std::vector<Bytes> paramsOf(uint8_t cmd) const {
    std::vector<Bytes> out;
    for (const auto& r : seen)
      if (r.cmd == cmd) out.push_back(r.params);
    return out;
  }
};

// A connector double: records what is written and answers through `respond`
// or from `script`. Reads hand out at most `chunk` bytes, as a slow line does.
class ScriptedLine : public CConnector {
 public:
  std::function<Bytes(const Bytes&)> respond;
  std::vector<Bytes> written;
  std::deque<Bytes> script;
  size_t chunk = 0;

  int32_t WriteBuffer(const uint8_t* buf, uint16_t len, bool) override {
    written.emplace_back(buf, buf + len);
    Bytes answer;
    if (respond) {
      answer = respond(written.back());
    } else if (!script.empty()) {
      answer = script.front();
      script.pop_front();
    }
    pending_.insert(pending_.end(), answer.begin(), answer.end());
    return len;
  }
  int32_t ReadBuffer(uint8_t* buf, uint16_t len, bool) override {
    if (pending_.empty()) return -1;  // the timeout
    size_t n = std::min<size_t>(len, pending_.size());
    if (chunk) n = std::min(n, chunk);
    std::copy(pending_.begin(), pending_.begin() + n, buf);
    pending_.erase(pending_.begin(), pending_.begin() + n);
    return static_cast<int32_t>(n);
  }
  int32_t ReadBufferCycle(uint8_t* buf, uint16_t len, bool flash, uint32_t) override {
    return ReadBuffer(buf, len, flash);
  }
  bool open_device() override { return true; }
  void close_device() override {}
  int FlushBuffer() override {
    pending_.clear();
    return 0;
  }
  int DrainBuffer() override { return 0; }
  void SetTimeout(uint32_t) override {}

 private:
  std::deque<uint8_t> pending_;
};

// The process logger writing to a file in RAM.
class TestLog {
 public:
  static TestLog& get() {
    static TestLog log;
    return log;
  }
  size_t mark() const {
    struct stat st;
    return stat(path_.c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
  }
  std::string since(size_t mark) const {
    std::string all = mtr_test::readFile(path_);
    return mark < all.size() ? all.substr(mark) : std::string();
  }

 private:
  TestLog() : path_("/dev/shm/mtr_ce2727_test." + std::to_string(getpid()) + ".log") {
    unlink(path_.c_str());
    logger::getInstance(path_.c_str(), false)->setLevel(TL_INFO);
    static std::string at_exit;
    at_exit = path_;
    atexit([] { unlink(at_exit.c_str()); });
  }
  std::string path_;
};

}  // namespace ce2727_test
