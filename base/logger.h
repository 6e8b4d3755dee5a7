#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

enum LogLevel {
  TL_EMERG = 0,
  TL_ALERT = 1,
  TL_CRIT = 2,
  TL_ERR = 3,
  TL_WARNING = 4,
  TL_NOTICE = 5,
  TL_INFO = 6,
  TL_DEBUG = 7,
};

// Process-wide log object. Every message is formatted into a buffer of its own
// call and leaves in one write, so lines from concurrent threads (and from the
// signal handler) never interleave and no lock is needed.
class logger {
 public:
  static logger* getInstance(const char* name, bool use_syslog);
  // The instance or null before main created it; call sites test it first.
  static logger* instance();
  virtual ~logger();

  void setLevel(int level) { level_ = level; }
  void setStderr(bool flag) { to_stderr_ = flag; }
  void setMaxSize(int bytes) { max_size_ = bytes; }
  int level() const { return level_; }
  bool isLevel(int level) const { return level <= level_; }

  void emerg(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void alert(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void crit(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void err(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void warning(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void notice(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void info(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void debug(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

  void dump(const char* title, const unsigned char* bytes, size_t count);

  static constexpr int kBufSize = 128;

 private:
  logger(const char* name, bool use_syslog);
  void message(int level, const char* fmt, va_list ap);
  void saveToFile(const char* levelName, const char* text);
  void printToStderr(const char* levelName, const char* text);

  char* ident_;
  bool use_syslog_;
  int buf_size_;
  volatile int level_;
  volatile bool to_stderr_;
  volatile int max_size_;
};

// Logging through the global instance; nothing happens before it exists.
#define MTR_LOG(method, ...)                     \
  do {                                           \
    if (logger* mtr_log_ = logger::instance()) { \
      mtr_log_->method(__VA_ARGS__);             \
    }                                            \
  } while (0)

#define LOG_EMERG(...) MTR_LOG(emerg, __VA_ARGS__)
#define LOG_ALERT(...) MTR_LOG(alert, __VA_ARGS__)
#define LOG_CRIT(...) MTR_LOG(crit, __VA_ARGS__)
#define LOG_ERR(...) MTR_LOG(err, __VA_ARGS__)
#define LOG_WARNING(...) MTR_LOG(warning, __VA_ARGS__)
#define LOG_NOTICE(...) MTR_LOG(notice, __VA_ARGS__)
#define LOG_INFO(...) MTR_LOG(info, __VA_ARGS__)
#define LOG_DEBUG(...) MTR_LOG(debug, __VA_ARGS__)
#define LOG_DUMP(title, bytes, count) MTR_LOG(dump, title, bytes, count)
