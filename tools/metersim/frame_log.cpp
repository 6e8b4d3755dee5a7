#include "frame_log.h"

#include <cerrno>
#include <cstring>

#include "simtime.h"

namespace msim {

FrameLog::~FrameLog() {
  if (file_) fclose(file_);
}

bool FrameLog::open(const std::string& path, std::string& err) {
  file_ = fopen(path.c_str(), "a");
  if (!file_) {
    err = "cannot open log " + path + ": " + strerror(errno);
    return false;
  }
  return true;
}

void FrameLog::put(const std::string& line) {
  std::string full = localStamp(wallNow()) + " " + line + "\n";
  if (file_) {
    fputs(full.c_str(), file_);
    fflush(file_);
  }
  if (verbose_) fputs(full.c_str(), stderr);
}

void FrameLog::frame(const char* dir, const Bytes& bytes, const std::string& note) {
  if (!file_ && !verbose_) return;
  std::string line = std::string(dir) + " " + hexBytes(bytes.data(), bytes.size());
  if (!note.empty()) line += " ; " + note;
  put(line);
}

void FrameLog::event(const std::string& text) {
  if (!file_ && !verbose_) return;
  put("# " + text);
}

}  // namespace msim
