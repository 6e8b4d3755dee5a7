#pragma once

// Peers on real pseudo-terminals, shared by the serial and Modbus framing tests.
#include <gtest/gtest.h>
#include <modbus/modbus.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <deque>
#include <functional>
#include <thread>

#include "base/clock.h"
#include "base/crc.h"
#include "base/logger.h"
#include "support/test_support.h"
#include "transport/rs_connector.h"

namespace peers {

using Bytes = std::vector<uint8_t>;

// "01 0a FF" -> bytes, and back as "01 0A FF".
inline Bytes hex(const std::string& text) {
  Bytes out;
  unsigned v;
  int used;
  for (const char* p = text.c_str(); sscanf(p, " %2x%n", &v, &used) == 1; p += used)
    out.push_back(uint8_t(v));
  return out;
}
inline std::string hexText(const Bytes& b) {
  std::string out;
  char item[4];
  for (uint8_t v : b) snprintf(item, sizeof item, " %02X", v), out += item;
  return out.empty() ? out : out.substr(1);
}
inline void putLE(Bytes& b, uint32_t v, int size) {
  for (int i = 0; i < size; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
inline uint32_t getLE(const Bytes& b, size_t at, int size) {
  uint32_t v = 0;
  for (int i = size - 1; i >= 0; --i) v = v << 8 | b[at + i];
  return v;
}
// Appends CRC-16/MODBUS or CRC-16/X-25, low byte first.
inline Bytes withCrc(Bytes frame) {
  putLE(frame, mtr::crc16_modbus(frame.data(), frame.size()), 2);
  return frame;
}
inline Bytes withX25(Bytes frame) {
  putLE(frame, mtr::crc16_x25(frame.data(), frame.size()), 2);
  return frame;
}

struct Stopwatch {
  std::chrono::steady_clock::time_point t0 = std::chrono::steady_clock::now();
  double ms() const {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  }
};

// A scripted meter on a line that is its own clock: each write releases the
// next reply; reads take up to `chunk` pending bytes. Calls and sleeps are recorded.
struct ScriptLine : CConnector, mtr::Clock {
  std::deque<Bytes> replies;  // one per write; none left: the meter stays silent
  Bytes pending;
  size_t chunk = 1 << 16;
  std::vector<Bytes> written;
  std::vector<std::string> events;

  int32_t WriteBuffer(const uint8_t* buf, uint16_t len, bool) override {
    written.emplace_back(buf, buf + len);
    events.push_back("write " + std::to_string(len));
    if (!replies.empty()) pending.insert(pending.end(), replies[0].begin(), replies[0].end());
    if (!replies.empty()) replies.pop_front();
    return len;
  }
  int32_t ReadBuffer(uint8_t* buf, uint16_t len, bool) override {
    size_t n = std::min({size_t(len), chunk, pending.size()});
    events.push_back(n ? "read " + std::to_string(n) : "timeout");
    std::copy_n(pending.begin(), n, buf);
    pending.erase(pending.begin(), pending.begin() + long(n));
    return n ? int32_t(n) : -1;
  }
  int32_t ReadBufferCycle(uint8_t*, uint16_t, bool, uint32_t) override { return -1; }
  bool open_device() override { return true; }
  void close_device() override {}
  int FlushBuffer() override { return pending.clear(), events.push_back("flush"), 0; }
  int DrainBuffer() override { return 0; }
  void SetTimeout(uint32_t) override {}
  time_t now() override { return 1700000000; }
  void sleepMs(long ms) override { events.push_back("sleep " + std::to_string(ms)); }
};

// The process logger, writing into a file the tests read back.
inline const std::string& logPath() {
  static mtr_test::TempDir dir;
  static const std::string path = dir / "test.log";
  if (!logger::instance()) logger::getInstance(path.c_str(), false)->setLevel(TL_DEBUG);
  return path;
}
inline void logLevel(int level) {
  logPath();
  logger::instance()->setLevel(level);
}
inline std::string logText() {
  return mtr_test::exists(logPath()) ? mtr_test::readFile(logPath()) : "";
}
// What the log got after this was made.
struct LogSince {
  size_t mark = logText().size();
  std::string text() const { return logText().substr(mark); }
  bool has(const std::string& s) const { return text().find(s) != std::string::npos; }
  int count(const std::string& s) const { return mtr_test::countLinesContaining(text(), s); }
};

// The LED files of connectors made later under MTR_ROOT `root`: '0' when
// opened, then "10" for every flash.
struct Leds {
  std::string send_path, receive_path;
  explicit Leds(const std::string& root)
      : send_path(root + kLedTransmitPath), receive_path(root + kLedReceivePath) {
    mkdir((root + "/proc").c_str(), 0755);
    mkdir((root + "/proc/leds").c_str(), 0755);
  }
  std::string send() const { return mtr_test::readFile(send_path); }
  std::string receive() const { return mtr_test::readFile(receive_path); }
  static std::string history(size_t flashes) {
    std::string h = "0";
    while (flashes--) h += "10";
    return h;
  }
  // Both LEDs dark after exactly these numbers of flashes, at one look.
  bool show(size_t send_flashes, size_t receive_flashes, int timeout_ms = 5000) const {
    return mtr_test::waitFor(
        [&] { return send() == history(send_flashes) && receive() == history(receive_flashes); },
        timeout_ms, 1);
  }
};

// A raw pty; its slave end stays open here so reopening it is no hang-up.
struct Pty {
  int master = -1, slave = -1;
  char name[256] = {};
  Pty() {
    struct termios raw {};
    cfmakeraw(&raw);
    openpty(&master, &slave, name, &raw, nullptr);
  }
  ~Pty() { close(master), close(slave); }
  std::string path() const { return name; }
  void send(const Bytes& b) { ASSERT_EQ(ssize_t(b.size()), write(master, b.data(), b.size())); }
  void send(const std::string& s) { send(Bytes(s.begin(), s.end())); }
  // Reads until `count` bytes came or `timeout_ms` of silence.
  Bytes receive(size_t count, int timeout_ms) {
    Bytes out(count);
    size_t got = 0;
    struct pollfd p = {master, POLLIN, 0};
    for (ssize_t n = 1; got < count && n > 0 && poll(&p, 1, timeout_ms) > 0; got += size_t(n))
      n = std::max<ssize_t>(0, read(master, out.data() + got, count - got));
    out.resize(got);
    return out;
  }
};

// A meter at the master end of a pty. `frame` gives the length of the request
// at the front of what came (0: not yet; `quiet`: 15 ms without a byte); each
// answer goes out in pieces of `piece` bytes `gap_us` apart, like a slow line.
struct PtyMeter {
  using Frame = std::function<size_t(const Bytes& buf, bool quiet)>;
  mtr_test::TempDir root;
  mtr_test::ScopedEnv env{"MTR_ROOT", root.path().c_str()};
  Pty pty;
  std::atomic<size_t> piece{7};
  std::atomic<int> gap_us{3000};
  std::atomic<bool> stopped{false};
  std::thread thread;

  PtyMeter(Frame frame, std::function<Bytes(const Bytes&)> answer) {
    thread = std::thread([this, frame, answer] {
      Bytes buf;
      uint8_t chunk[512];
      for (struct pollfd p = {pty.master, POLLIN, 0}; !stopped;) {
        ssize_t n = poll(&p, 1, 15) > 0 ? read(pty.master, chunk, sizeof chunk) : 0;
        if (n > 0) buf.insert(buf.end(), chunk, chunk + n);
        for (size_t end; !buf.empty() && (end = frame(buf, n <= 0)) > 0;) {
          Bytes out = answer(Bytes(buf.begin(), buf.begin() + long(end)));
          buf.erase(buf.begin(), buf.begin() + long(end));
          for (size_t i = 0, k = piece; i < out.size() && !stopped; i += k) {
            if (write(pty.master, out.data() + i, std::min(k, out.size() - i)) < 0) break;
            std::this_thread::sleep_for(std::chrono::microseconds(gap_us));
          }
        }
      }
    });
  }
  ~PtyMeter() { stop(); }
  void stop() {
    stopped = true;
    if (thread.joinable()) thread.join();
  }
  std::string device() const { return pty.path(); }
};

// An independent libmodbus RTU slave behind a socat pty pair. Holding register
// i (< 100) holds i, input registers 0x100..0x107 hold 0xA000 + index.
struct RtuSlave {
  mtr_test::TempDir dir;
  std::string device = dir / "master", far_end = dir / "slave";  // device: for the code under test
  mtr_test::Child socat{
      {"/usr/bin/socat", "pty,raw,echo=0,link=" + device, "pty,raw,echo=0,link=" + far_end},
      dir / "socat.out",
      dir / "socat.err"};
  modbus_t* ctx = nullptr;
  modbus_mapping_t* map = nullptr;
  std::atomic<bool> stop{false};
  std::atomic<int> requests{0}, errors{0};  // errors: garbled or interleaved frames
  std::thread thread;

  explicit RtuSlave(int id) {
    auto linked = [&] { return mtr_test::exists(device) && mtr_test::exists(far_end); };
    if (!mtr_test::waitFor(linked, 5000, 5)) return;
    ctx = modbus_new_rtu(far_end.c_str(), 9600, 'N', 8, 1);
    if (!ctx || modbus_set_slave(ctx, id) != 0 || modbus_connect(ctx) != 0) return;
    modbus_set_indication_timeout(ctx, 0, 50000);  // lets the loop see the stop flag
    map = modbus_mapping_new_start_address(0, 0, 0, 0, 0, 100, 0x100, 8);
    for (int i = 0; i < 100; ++i) map->tab_registers[i] = uint16_t(i);
    for (int i = 0; i < 8; ++i) map->tab_input_registers[i] = uint16_t(0xA000 + i);
    thread = std::thread([this] {
      for (uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH]; !stop;) {
        int rc = modbus_receive(ctx, query);
        if (rc == -1 && errno != ETIMEDOUT) ++errors;
        if (rc > 0) ++requests, modbus_reply(ctx, query, rc, map);
      }
    });
  }
  ~RtuSlave() {
    stop = true;
    if (thread.joinable()) thread.join();
    if (map) modbus_mapping_free(map);
    if (ctx) modbus_close(ctx), modbus_free(ctx);
    socat.kill(SIGTERM);
    socat.wait(2000);
  }
  bool ready() const { return thread.joinable(); }
};

}  // namespace peers
