#pragma once

#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>
#include <optional>
#include <thread>

#include "base/crc.h"
#include "base/logger.h"
#include "support/test_support.h"
#include "transport/connector.h"

namespace ce2727_test {

using Bytes = std::vector<uint8_t>;

inline void putLE(Bytes& b, uint32_t v, int size) {
  for (int i = 0; i < size; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline Bytes answerFrame(uint32_t address, uint8_t cmd, uint8_t code, const Bytes& data) {
  Bytes f = {0x02, static_cast<uint8_t>(14 + data.size())};
  putLE(f, address, 4);
  putLE(f, 0, 4);
  f.insert(f.end(), {code, cmd});
  f.insert(f.end(), data.begin(), data.end());
  putLE(f, mtr::crc16_x25(f.data(), f.size()), 2);
  return f;
}

inline uint32_t getLE(const Bytes& b, size_t at, int size) {
  uint32_t v = 0;
  for (int i = size - 1; i >= 0; --i) v = v << 8 | b[at + i];
  return v;
}

struct SeenRequest {
  uint32_t address, password;
  uint8_t cmd;
  Bytes params;
};

// Null for a frame a meter ignores.
inline std::optional<SeenRequest> parseRequest(const Bytes& f) {
  if (f.size() < 14 || f[0] != 0x02 || f[1] != f.size() || f[10] != 0x01 ||
      getLE(f, f.size() - 2, 2) != mtr::crc16_x25(f.data(), f.size() - 2))
    return std::nullopt;
  return SeenRequest{getLE(f, 2, 4), getLE(f, 6, 4), f[11], Bytes(f.begin() + 12, f.end() - 2)};
}

// Answers through a handler per command (code 1 for a wrong password, 2 for no
// handler, silence for another address); keeps the parameters asked per command.
struct FakeMeter {
  uint32_t address = 4242;
  using Handler = std::function<Bytes(const Bytes& params, uint8_t& code)>;
  std::map<uint8_t, Handler> handlers;
  std::map<uint8_t, std::vector<Bytes>> asked;

  Bytes operator()(const Bytes& frame) {
    std::optional<SeenRequest> r = parseRequest(frame);
    if (!r || r->address != address) return {};
    asked[r->cmd].push_back(r->params);
    auto h = handlers.find(r->cmd);
    uint8_t code = r->password ? 1 : h == handlers.end() ? 2 : 0;
    Bytes data = code ? Bytes{} : h->second(r->params, code);
    return answerFrame(address, r->cmd, code, code ? Bytes{} : data);
  }
};

// A pty whose one end is `line`, a serial connector (time-out 200 ms); the other
// answers each request frame in pieces 3 ms apart, as a slow line delivers them.
struct PtyMeter {
  mtr_test::TempDir root;
  mtr_test::ScopedEnv env{"MTR_ROOT", root.path().c_str()};
  int master = -1, slave = -1;
  std::shared_ptr<CConnector> line;
  std::atomic<size_t> piece{7};
  std::atomic<bool> stop{false};
  std::thread thread;

  explicit PtyMeter(std::function<Bytes(const Bytes&)> answer) {
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
    line.reset(CreateConnector({{"name", name}, {"speed", "9600"}}));
    line->SetTimeout(200);
    thread = std::thread([this, answer] {
      Bytes buf;
      uint8_t chunk[256];
      for (struct pollfd p = {master, POLLIN, 0}; !stop;) {
        ssize_t n = poll(&p, 1, 20) > 0 ? read(master, chunk, sizeof chunk) : 0;
        if (n > 0) buf.insert(buf.end(), chunk, chunk + n);
        while (buf.size() >= 2 && buf.size() >= buf[1]) {
          Bytes out = answer(Bytes(buf.begin(), buf.begin() + buf[1]));
          buf.erase(buf.begin(), buf.begin() + buf[1]);
          for (size_t i = 0, k = piece; i < out.size() && !stop; i += k) {
            if (write(master, out.data() + i, std::min(k, out.size() - i)) < 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
          }
        }
      }
    });
  }
  ~PtyMeter() {
    stop = true;
    if (thread.joinable()) thread.join();
    close(master);
    close(slave);
  }
};

// The process log, in a file in RAM; a LogSince looks at what came after it.
inline const std::string& logPath() {
  static const std::string path = "/dev/shm/mtr_ce2727_test." + std::to_string(getpid()) + ".log";
  static const bool made = [] {
    logger::getInstance(path.c_str(), false)->setLevel(TL_INFO);
    return atexit([] { unlink(path.c_str()); }) == 0;
  }();
  (void)made;
  return path;
}

struct LogSince {
  size_t mark = mtr_test::readFile(logPath()).size();
  bool has(const std::string& s) const {
    return mtr_test::readFile(logPath()).find(s, mark) != std::string::npos;
  }
};

}  // namespace ce2727_test
