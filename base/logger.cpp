#include "base/logger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace {

std::atomic<logger*> g_instance{nullptr};

const char* const kLevelNames[] = {"Emerg",   "Alert",  "Crit", "Err",
                                   "Warning", "Notice", "Info", "Debug"};

// "%02d:%02d:%02d.%03ld.%03ld %s: " of the current local time.
size_t formatPrefix(char* out, size_t size, const char* levelName) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm tm;
  localtime_r(&tv.tv_sec, &tm);
  int n = snprintf(out, size, "%02d:%02d:%02d.%03ld.%03ld %s: ", tm.tm_hour, tm.tm_min, tm.tm_sec,
                   static_cast<long>(tv.tv_usec / 1000), static_cast<long>(tv.tv_usec % 1000),
                   levelName);
  if (n < 0) return 0;
  return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
}

bool writeAll(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, data, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

logger* logger::getInstance(const char* name, bool use_syslog) {
  logger* cur = g_instance.load();
  if (cur) return cur;
  logger* created = new logger(name, use_syslog);
  if (!g_instance.compare_exchange_strong(cur, created)) {
    delete created;  // lost a race: keep the first one
    return cur;
  }
  return created;
}

logger* logger::instance() {
  return g_instance.load(std::memory_order_acquire);
}

logger::logger(const char* name, bool use_syslog)
    : ident_(strdup(name ? name : "Unnamed")),
      use_syslog_(use_syslog),
      buf_size_(kBufSize),
      level_(TL_INFO),
      to_stderr_(false),
      max_size_(0) {
  if (use_syslog_) openlog(ident_, LOG_PID | LOG_CONS, LOG_USER);
}

logger::~logger() {
  logger* self = this;
  g_instance.compare_exchange_strong(self, nullptr);
  if (use_syslog_) closelog();
  free(ident_);
}

void logger::message(int level, const char* fmt, va_list ap) {
  if (to_stderr_ || !use_syslog_) {
    char buf[kBufSize];
    vsnprintf(buf, sizeof buf, fmt, ap);  // keeps at most 127 characters
    if (to_stderr_)
      printToStderr(kLevelNames[level], buf);
    else
      saveToFile(kLevelNames[level], buf);
  } else {
    vsyslog(level, fmt, ap);
  }
}

#define MTR_LEVEL_METHOD(method, lvl, filtered) \
  void logger::method(const char* fmt, ...) {   \
    if (filtered && lvl > level_) return;       \
    va_list ap;                                 \
    va_start(ap, fmt);                          \
    message(lvl, fmt, ap);                      \
    va_end(ap);                                 \
  }

MTR_LEVEL_METHOD(emerg, TL_EMERG, false)
MTR_LEVEL_METHOD(alert, TL_ALERT, true)
MTR_LEVEL_METHOD(crit, TL_CRIT, true)
MTR_LEVEL_METHOD(err, TL_ERR, true)
MTR_LEVEL_METHOD(warning, TL_WARNING, true)
MTR_LEVEL_METHOD(notice, TL_NOTICE, true)
MTR_LEVEL_METHOD(info, TL_INFO, true)
MTR_LEVEL_METHOD(debug, TL_DEBUG, true)

#undef MTR_LEVEL_METHOD

void logger::printToStderr(const char* levelName, const char* text) {
  char line[40 + kBufSize + 1];
  size_t n = formatPrefix(line, 40, levelName);
  size_t len = strlen(text);
  memcpy(line + n, text, len);
  n += len;
  line[n++] = '\n';
  writeAll(STDERR_FILENO, line, n);
}

void logger::saveToFile(const char* levelName, const char* text) {
  int fd = open(ident_, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    printf("Can't open file %s\n", ident_);
    fflush(stdout);
    perror("addError: ");
    return;
  }
  char line[40 + kBufSize + 1];
  size_t n = formatPrefix(line, 40, levelName);
  size_t len = strlen(text);
  memcpy(line + n, text, len);
  n += len;
  line[n++] = '\n';
  // One write keeps the line whole against other writers of the file.
  ssize_t w = write(fd, line, n);
  if (w >= 0 && static_cast<size_t>(w) < n) {
    if (!writeAll(fd, line + w, n - static_cast<size_t>(w))) w = -1;
  }
  if (w < 0) fprintf(stderr, "[logger::saveToFile()] Can't write to file: %s\n", strerror(errno));
  fsync(fd);
  close(fd);
  int limit = max_size_;
  if (limit > 0) {
    struct stat st;
    if (stat(ident_, &st) == 0 && st.st_size > limit) unlink(ident_);
  }
}

void logger::dump(const char* title, const unsigned char* bytes, size_t count) {
  if (level_ <= TL_INFO) return;
  std::string text(title ? title : "");
  text += '\n';
  text.reserve(text.size() + count * 5 + 1);
  static const char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < count; ++i) {
    char item[5] = {'0', 'x', kHex[bytes[i] >> 4], kHex[bytes[i] & 15], ' '};
    text.append(item, 5);
  }
  text += '\n';
  if (to_stderr_) {
    writeAll(STDERR_FILENO, text.data(), text.size());
  } else if (use_syslog_) {
    syslog(TL_DEBUG, "%s", text.c_str());
  } else {
    int fd = open(ident_, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
      printf("Can't open file %s\n", ident_);
      fflush(stdout);
      perror("addError: ");
      return;
    }
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
      fprintf(stderr, "[logger::dump()] Can't write to file: %s\n", strerror(errno));
    fsync(fd);
    close(fd);
  }
}
