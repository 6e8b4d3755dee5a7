#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <fstream>
#include <string>

#include "base/thread.h"

// One activity LED of the concentrator, driven through its control file by a
// thread of its own so that requesters never wait for the on-time.
class CLed : public myThreadAttached {
 public:
  CLed(const std::string& path, uint32_t on_time_us);
  ~CLed() override;

  // Requests one flash; returns at once. Requests arriving while the LED is lit
  // give exactly one further flash.
  void Blink();

  void functionThread(myThreadAttached* arg) override;

  const std::string& path() const { return path_; }
  bool isOpen() const { return out_.good(); }
  // Kernel id of the LED thread once it runs (0 before).
  pid_t threadId() const { return tid_.load(); }

 private:
  void put(char state);
  void sleepUs(long us);
  void waitForRequest();

  std::string path_;
  std::ofstream out_;
  uint32_t on_time_us_;
  std::atomic<int> pending_{0};
  int wake_fd_ = -1;
  std::atomic<pid_t> tid_{0};
};
