#include "meter_double.h"

#include <algorithm>

#include "protocols/iec61107.h"

namespace ce_test {

std::string Framed(const std::string& body, char first, int bcc_delta) {
  std::string f = std::string(1, first) + body + "\x03";
  f.push_back(0);
  uint8_t bcc = iec61107::Sum7Bcc(reinterpret_cast<const uint8_t*>(f.data()),
                                  static_cast<uint16_t>(f.size()));
  f.back() = static_cast<char>((bcc + bcc_delta) & 0xFF);
  return f;
}

bool MeterDouble::takeFault(const std::string& key, Fault& f) {
  auto it = faults.find(key);
  if (it == faults.end() || it->second.empty()) return false;
  f = it->second.front();
  it->second.pop_front();
  return true;
}

int32_t MeterDouble::WriteBuffer(const uint8_t* buf, uint16_t len, bool) {
  const std::string frame(reinterpret_cast<const char*>(buf), len);
  Fault f;
  if (frame == std::string("\x01"
                           "B0\x03"
                           "u")) {
    heard_.push_back("break");
  } else if (frame.size() >= 5 && frame.compare(0, 2, "/?") == 0 &&
             frame.compare(frame.size() - 3, 3, "!\r\n") == 0) {
    heard_.push_back("signon " + frame.substr(2, frame.size() - 5));
    if (takeFault("signon", f)) {
      if (f.kind == kWrongName) queue(f.arg);  // some other text instead
      return len;
    }
    queue(ident);
  } else if (frame == std::string("\x06"
                                  "051\r\n")) {
    heard_.push_back("option 051");
    if (takeFault("option", f)) {
      if (f.kind == kWrongBcc) queue(Framed("P0\x02(" + serial + ")", '\x01', 1));
      return len;
    }
    queue(Framed("P0\x02(" + serial + ")", '\x01'));
  } else if (frame.size() >= 6 && frame[0] == '\x01' && frame[3] == '\x02' &&
             frame[frame.size() - 2] == '\x03') {
    const uint8_t bcc = iec61107::Sum7Bcc(buf, len);
    if (bcc != buf[len - 1]) {
      heard_.push_back("bad-bcc");
      queue("\x15");
      return len;
    }
    const std::string inside = frame.substr(4, frame.size() - 6);
    if (frame[1] == 'R' && frame[2] == '1') {
      heard_.push_back("read " + inside);
      answerRead(inside);
    } else if (frame[1] == 'P' && frame[2] == '1') {
      heard_.push_back("password " + inside);
      queue(inside == "(" + password + ")" ? "\x06" : "\x15");
    } else {
      heard_.push_back("junk");
    }
  } else {
    heard_.push_back("junk");
  }
  return len;
}

void MeterDouble::answerRead(const std::string& request) {
  const std::string name = request.substr(0, request.find('('));
  auto it = answers.find(request);
  if (it == answers.end()) {
    queue(Framed("(ERR12)"));
    return;
  }
  const std::string body = name + it->second;
  Fault f;
  if (!takeFault(request, f)) {
    queue(Framed(body));
    return;
  }
  switch (f.kind) {
    case kWrongName:
      queue(Framed(f.arg + "(1)\r\n"));
      break;
    case kWrongBcc:
      queue(Framed(body, '\x02', 1));
      break;
    case kNak:
      queue("\x15");
      queue(Framed(body));
      break;
    case kSilent:
      break;
    case kNotInfo:
      queue(Framed("P0\x02(" + serial + ")", '\x01'));
      break;
    case kBadValue:
      queue(Framed(name + "(" + f.arg + ")\r\n"));
      break;
  }
}

int32_t MeterDouble::ReadBuffer(uint8_t* buf, uint16_t len, bool) {
  if (input_.empty() || len == 0) return -1;
  size_t n = std::min<size_t>(len, input_.size());
  if (max_chunk) n = std::min(n, max_chunk);
  std::copy(input_.begin(), input_.begin() + static_cast<long>(n), buf);
  input_.erase(0, n);
  return static_cast<int32_t>(n);
}

std::vector<std::string> MeterDouble::take() {
  std::vector<std::string> h;
  h.swap(heard_);
  return h;
}

std::vector<std::string> MeterDouble::takeReads() {
  std::vector<std::string> reads;
  for (auto& h : take())
    if (h.compare(0, 5, "read ") == 0) reads.push_back(h.substr(5));
  return reads;
}

}  // namespace ce_test
