#include "simtime.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace msim {

double wallNow() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

double monoNow() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

namespace {
long g_clock_shift = 0;  // the engine's thread only
}  // namespace

void shiftMeterClocks(long seconds) {
  g_clock_shift += seconds;
}

long meterClockShift() {
  return g_clock_shift;
}

std::tm localTm(time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}

time_t localTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return mktime(&tm);
}

time_t dayStart(time_t t, int days_back) {
  std::tm tm = localTm(t);
  return localTime(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday - days_back);
}

time_t monthStart(time_t t, int months_back) {
  std::tm tm = localTm(t);
  return localTime(tm.tm_year + 1900, tm.tm_mon + 1 - months_back, 1);
}

time_t yearStart(time_t t, int years_back) {
  std::tm tm = localTm(t);
  return localTime(tm.tm_year + 1900 - years_back, 1, 1);
}

bool validDate(int year, int month, int day, int hour, int minute, int second) {
  if (year < 1970 || year > 2099 || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 ||
      minute < 0 || minute > 59 || second < 0 || second > 59)
    return false;
  std::tm tm = localTm(localTime(year, month, day, 12));
  return tm.tm_mday == day && tm.tm_mon + 1 == month;
}

namespace {

bool parseClock(const char* p, int& h, int& m, int& s) {
  s = 0;
  int used = 0;
  if (sscanf(p, "%2d:%2d:%2d%n", &h, &m, &s, &used) == 3 && p[used] == 0) return true;
  used = 0;
  s = 0;
  return sscanf(p, "%2d:%2d%n", &h, &m, &used) == 2 && p[used] == 0;
}

}  // namespace

bool parseTimeSpec(const std::string& text, time_t base, time_t& out, std::string& err) {
  const char* s = text.c_str();
  int y, mo, d, h = 0, mi = 0, se = 0, used = 0;
  if (sscanf(s, "%4d-%2d-%2d%n", &y, &mo, &d, &used) == 3) {
    const char* rest = s + used;
    if (*rest == ' ' || *rest == 'T') {
      if (!parseClock(rest + 1, h, mi, se)) {
        err = "bad time of day in \"" + text + "\"";
        return false;
      }
    } else if (*rest != 0) {
      err = "bad date \"" + text + "\"";
      return false;
    }
    if (!validDate(y, mo, d, h, mi, se)) {
      err = "no such date \"" + text + "\"";
      return false;
    }
    out = localTime(y, mo, d, h, mi, se);
    return true;
  }
  if (strncmp(s, "now", 3) == 0) {
    if (s[3] == 0) {
      out = base;
      return true;
    }
    char sign = 0, unit = 0;
    long n = 0;
    if (sscanf(s + 3, "%c%ld%c%n", &sign, &n, &unit, &used) == 3 && s[3 + used] == 0 &&
        (sign == '-' || sign == '+') && n >= 0) {
      long mult = unit == 's' ? 1 : unit == 'm' ? 60 : unit == 'h' ? 3600 : unit == 'd' ? 86400 : 0;
      if (mult) {
        out = base + (sign == '-' ? -1 : 1) * n * mult;
        return true;
      }
    }
    err = "bad relative time \"" + text + "\" (now-90s, now-2h, now+1d)";
    return false;
  }
  const char* units[] = {"day", "month", "year"};
  for (int u = 0; u < 3; ++u) {
    size_t len = strlen(units[u]);
    if (strncmp(s, units[u], len) != 0) continue;
    const char* p = s + len;
    long n = 0;
    if (*p == '-' || *p == '+') {
      char* end = nullptr;
      n = strtol(p + 1, &end, 10);
      if (end == p + 1) break;
      if (*p == '+') n = -n;
      p = end;
    }
    if (*p == ' ' && u == 0) {
      if (!parseClock(p + 1, h, mi, se) || h > 23 || mi > 59 || se > 59) break;
    } else if (*p != 0) {
      break;
    }
    time_t t0 = u == 0   ? dayStart(base, static_cast<int>(n))
                : u == 1 ? monthStart(base, static_cast<int>(n))
                         : yearStart(base, static_cast<int>(n));
    if (h || mi || se) {
      std::tm tm = localTm(t0);
      t0 = localTime(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, h, mi, se);
    }
    out = t0;
    return true;
  }
  err = "bad time \"" + text + "\" (YYYY-MM-DD hh:mm:ss, now-2h, day-1 12:00, month-3, year-1)";
  return false;
}

uint8_t toBcd(int value) {
  return static_cast<uint8_t>(((value / 10) % 10) << 4 | (value % 10));
}

std::string hexBytes(const uint8_t* data, size_t n) {
  std::string out;
  out.reserve(n * 3);
  char buf[4];
  for (size_t i = 0; i < n; ++i) {
    snprintf(buf, sizeof buf, i ? " %02X" : "%02X", data[i]);
    out += buf;
  }
  return out;
}

std::string localStamp(double t) {
  time_t secs = static_cast<time_t>(std::floor(t));
  std::tm tm = localTm(secs);
  char buf[40];
  snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900, tm.tm_mon + 1,
           tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
           static_cast<int>((t - static_cast<double>(secs)) * 1000));
  return buf;
}

}  // namespace msim
