#pragma once

#include <string>

#include "family.h"

namespace msim {

// The line the meters hang on: a pseudo-terminal whose slave side the daemon
// opens as its serial device. The simulator keeps a slave descriptor open so
// that the line survives the daemon closing and reopening the device.
class PtyLine {
 public:
  PtyLine() = default;
  ~PtyLine();
  PtyLine(const PtyLine&) = delete;
  PtyLine& operator=(const PtyLine&) = delete;

  bool open(int baud, std::string& err);
  const std::string& path() const { return path_; }
  int fd() const { return master_; }

  // Speed the other end set on its side (termios of the slave), 0 if unknown.
  int peerBaud() const;

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

// termios speed constant <-> bit/s; 0 / B0 when not a standard rate.
unsigned speedConstant(int baud);
int speedBaud(unsigned constant);

}  // namespace msim
