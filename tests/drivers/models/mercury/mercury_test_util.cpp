#include "mercury_test_util.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/crc.h"
#include "base/logger.h"

namespace mercury_test {

namespace {

// Every test of this binary runs in UTC unless it says otherwise.
struct UtcZone {
  UtcZone() {
    setenv("TZ", "UTC", 1);
    tzset();
  }
} g_utc;

// A plain array: it must outlive the exit handler that removes the file.
char g_log_path[64];

std::string logPath() {
  static const bool made = [] {
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    snprintf(g_log_path, sizeof g_log_path, "%s/mercury_test_log_%d.txt", dir,
             static_cast<int>(getpid()));
    unlink(g_log_path);
    atexit([] { unlink(g_log_path); });
    return true;
  }();
  (void)made;
  return g_log_path;
}

logger* ensureLogger() {
  static logger* log = [] {
    logger* l = logger::getInstance(logPath().c_str(), false);
    l->setLevel(TL_WARNING);
    l->setStderr(false);
    return l;
  }();
  return log;
}

size_t fileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
}

}  // namespace

Bytes hex(const std::string& text) {
  Bytes out;
  std::string digits;
  for (char c : text)
    if (isxdigit(static_cast<unsigned char>(c))) digits += c;
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return out;
}

std::string toHex(const Bytes& bytes) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
    out += buf;
  }
  return out;
}

Bytes withCrc(Bytes frame) {
  uint16_t crc = mtr::crc16_modbus(frame.data(), frame.size());
  frame.push_back(crc & 0xFF);
  frame.push_back(crc >> 8);
  return frame;
}

int32_t ScriptedConnector::WriteBuffer(const uint8_t* buf, uint16_t len, bool flash) {
  Bytes request(buf, buf + len);
  write_flash.push_back(flash);
  writes.push_back(request);
  if (replies.empty() && responder) pending_.push_back(responder(request));
  return len;
}

int32_t ScriptedConnector::ReadBuffer(uint8_t* buf, uint16_t len, bool flash) {
  return ReadBufferCycle(buf, len, flash, 0);
}

int32_t ScriptedConnector::ReadBufferCycle(uint8_t* buf, uint16_t len, bool flash,
                                           uint32_t timeout_ms) {
  read_flash.push_back(flash);
  read_timeouts.push_back(timeout_ms);
  Reply r;
  if (!replies.empty()) {
    r = replies.front();
    replies.pop_front();
  } else if (!pending_.empty()) {
    r = pending_.front();
    pending_.pop_front();
  } else {
    return -1;
  }
  if (r.silent || r.bytes.empty()) return -1;
  size_t n = std::min<size_t>(len, r.bytes.size());
  memcpy(buf, r.bytes.data(), n);
  return static_cast<int32_t>(n);
}

TableMeter::TableMeter(uint8_t address, const std::string& open_frame_hex)
    : address_(address), open_(toHex(hex(open_frame_hex))) {}

void TableMeter::set(const std::string& command_hex, const std::string& data_hex) {
  table[toHex(hex(command_hex))] = toHex(hex(data_hex));
}

int TableMeter::count(const std::string& command_hex) const {
  auto it = asked.find(toHex(hex(command_hex)));
  return it == asked.end() ? 0 : it->second;
}

ScriptedConnector::Reply TableMeter::answer(const Bytes& request) {
  if (request.size() < 4 || request[0] != address_ ||
      withCrc(Bytes(request.begin(), request.end() - 2)) != request)
    return {true, {}};
  const std::string command = toHex(Bytes(request.begin() + 1, request.end() - 2));
  asked[command]++;
  if (drop && drop(command)) return {true, {}};
  Bytes reply{address_};
  if (request[1] == 0x00) {
    reply.push_back(0x00);
  } else if (request[1] == 0x01) {
    channel_open = command == open_;
    reply.push_back(channel_open ? 0x00 : 0x03);
  } else if (!channel_open) {
    reply.push_back(0x05);
  } else {
    auto it = table.find(command);
    if (it == table.end()) {
      reply.push_back(0x01);
    } else {
      Bytes data = hex(it->second);
      reply.insert(reply.end(), data.begin(), data.end());
    }
  }
  return {false, withCrc(reply)};
}

LogCapture::LogCapture(int level) {
  old_level_ = ensureLogger()->level();
  ensureLogger()->setLevel(level);
  start_ = fileSize(logPath());
}

LogCapture::~LogCapture() {
  ensureLogger()->setLevel(old_level_);
}

std::string LogCapture::text() const {
  std::string all = mtr_test::readFile(logPath());
  return start_ <= all.size() ? all.substr(start_) : all;
}

TestDriver::TestDriver(const std::string& model, const SettingsMap& params,
                       const std::string& serial, const std::string& password,
                       const std::string& password_type)
    : CmtrMercury23X(model, 0), fake_clock(1710498030) {
  ensureLogger();
  setClock(&fake_clock);
  settings.meter_id = "7001";
  settings.meter_number = 7001;
  settings.serial_text = serial;
  settings.password = password;
  settings.password_type = password_type;
  save_init_params(params);
}

TestDriver::~TestDriver() = default;

const MeasuredValue* find(const MeasuredValueList& values, uint32_t kind, uint32_t code,
                          uint8_t sys) {
  for (const auto& v : values)
    if (v.kind == kind && v.param_code == code && v.sys == sys) return &v;
  return nullptr;
}

int countKind(const MeasuredValueList& values, uint32_t kind) {
  int n = 0;
  for (const auto& v : values) n += v.kind == kind;
  return n;
}

time_t utc(int year, int month, int day, int hour, int minute, int second) {
  struct tm tm = {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return timegm(&tm);
}

}  // namespace mercury_test
