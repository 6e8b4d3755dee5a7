#pragma once

#include <modbus/modbus.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace transport_test {

using Clock = std::chrono::steady_clock;

inline double msSince(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// The process logger, writing into a file the tests read back.
class TestLog {
 public:
  static TestLog& get();
  void setLevel(int level);
  size_t mark() const;                   // current end of the log
  std::string since(size_t mark) const;  // text logged after `mark`

 private:
  TestLog();
  std::string path_;
};

// A pseudo-terminal pair. The slave end stays open here as well, so the
// connector may close and reopen its side without the master seeing a hang-up.
class Pty {
 public:
  Pty();
  ~Pty();
  const std::string& slavePath() const { return slave_path_; }
  int master() const { return master_; }
  void send(const std::vector<uint8_t>& bytes);
  void closeMaster();  // the far end hangs up
  void send(const std::string& text);
  // Reads from the master until `count` bytes came or `timeout_ms` of silence.
  std::vector<uint8_t> receive(size_t count, int timeout_ms);

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slave_path_;
};

// Linux pseudo-terminals force CS8 and no parity whatever is asked; where
// that holds, the character format is checked on what was requested.
bool ptyKeepsCharacterFormat();

// MTR_ROOT on a fresh folder whose LED control files are FIFOs, so every
// '0'/'1' written by a connector's LEDs is seen with the time it came.
class LedProbe {
 public:
  LedProbe();
  ~LedProbe();
  const std::string& root() const { return dir_.path(); }
  // Characters written to LED "A" (transmit) and "B" (receive) so far.
  std::string transmit();
  std::string receive();
  static int flashes(const std::string& states);

 private:
  struct Fifo {
    int fd = -1;
    std::string seen;
  };
  void drain(Fifo& f);

  mtr_test::TempDir dir_;
  std::unique_ptr<mtr_test::ScopedEnv> env_;
  Fifo a_, b_;
};

// Two linked pseudo-terminals made by socat.
class SocatPair {
 public:
  SocatPair();
  ~SocatPair();
  bool ready() const { return ready_; }
  std::string a() const { return dir_ / "ttyA"; }
  std::string b() const { return dir_ / "ttyB"; }

 private:
  mtr_test::TempDir dir_;
  std::unique_ptr<mtr_test::Child> socat_;
  bool ready_ = false;
};

// A libmodbus RTU slave serving a register map, in a thread of the test.
class ModbusSlave {
 public:
  static constexpr int kRegisters = 100;
  ModbusSlave(const std::string& device, int slave_id);
  ~ModbusSlave();
  bool ready() const { return ready_; }
  int requests() const { return requests_.load(); }
  int errors() const { return errors_.load(); }
  // Holding register as the slave holds it (read under the slave's lock).
  uint16_t holding(int addr);

 private:
  void run();

  modbus_t* ctx_ = nullptr;
  modbus_mapping_t* map_ = nullptr;
  std::mutex map_mutex_;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::atomic<int> errors_{0};
  bool ready_ = false;
  std::thread thread_;
};

}  // namespace transport_test
