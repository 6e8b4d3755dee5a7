#pragma once

#include <cstdio>
#include <string>

#include "family.h"

namespace msim {

// Every frame heard and sent, one line each:
//   2024-05-01 12:00:00.123 RX 01 00 F0 ... ; note
//   2024-05-01 12:00:00.131 TX 01 00 ... ; meter 1: test channel
// Lines starting "#" are events (start, stop, mute). Also to stderr with verbose.
class FrameLog {
 public:
  ~FrameLog();
  bool open(const std::string& path, std::string& err);
  void setVerbose(bool v) { verbose_ = v; }
  void frame(const char* dir, const Bytes& bytes, const std::string& note);
  void event(const std::string& text);

 private:
  void put(const std::string& line);
  FILE* file_ = nullptr;
  bool verbose_ = false;
};

}  // namespace msim
