#pragma once

// Peers on real pseudo-terminals, shared by the serial and Modbus framing tests.
#include <gtest/gtest.h>
#include <modbus/modbus.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include "base/crc.h"
#include "base/logger.h"
#include "support/test_support.h"

namespace peers {

using Bytes = std::vector<uint8_t>;

inline Bytes withCrc(Bytes frame) {
  uint16_t crc = mtr::crc16_modbus(frame.data(), frame.size());
  frame.push_back(uint8_t(crc & 0xFF));
  frame.push_back(uint8_t(crc >> 8));
  return frame;
}

struct Stopwatch {
  std::chrono::steady_clock::time_point t0 = std::chrono::steady_clock::now();
  double ms() const {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  }
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
inline size_t logMark() {
  return logText().size();
}
inline int logCount(size_t mark, const std::string& needle) {
  return mtr_test::countLinesContaining(logText().substr(mark), needle);
}

// A raw pseudo-terminal. The slave end stays open here too, so the code under
// test may close and reopen it without the master seeing a hang-up.
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

// A libmodbus RTU slave, an independent implementation, at the far end of a
// socat pty pair. Holding registers 0..99 hold their own address, input
// registers 0x100..0x107 hold 0xA000 + index.
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
