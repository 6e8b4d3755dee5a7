#include "iec61107_client.h"

#include <chrono>

namespace iectest {

uint8_t sum7(const Bytes& b, size_t from, size_t to) {
  unsigned s = 0;
  for (size_t i = from; i < to; ++i) s += b[i];
  return static_cast<uint8_t>(s & 0x7F);
}

Bytes bytesOf(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

std::string textOf(const Bytes& b) {
  static const char* names[] = {"<NUL>", "<SOH>", "<STX>", "<ETX>"};
  std::string s;
  for (uint8_t c : b) {
    if (c < 4)
      s += names[c];
    else if (c == ACK)
      s += "<ACK>";
    else if (c == NAK)
      s += "<NAK>";
    else if (c == '\r')
      s += "\\r";
    else if (c == '\n')
      s += "\\n";
    else if (c < 0x20 || c > 0x7E)
      s += "<" + simtest::hexText(Bytes{c}) + ">";
    else
      s += static_cast<char>(c);
  }
  return s;
}

Bytes command(char c, char d, const std::string& data) {
  Bytes b{SOH, static_cast<uint8_t>(c), static_cast<uint8_t>(d), STX};
  b.insert(b.end(), data.begin(), data.end());
  b.push_back(ETX);
  b.push_back(sum7(b, 1, b.size()));
  return b;
}

Bytes readCommand(const std::string& name, const std::string& args) {
  return command('R', '1', name + "(" + args + ")");
}

Bytes dataAnswer(const std::string& body) {
  Bytes b{STX};
  b.insert(b.end(), body.begin(), body.end());
  b.push_back(ETX);
  b.push_back(sum7(b, 1, b.size()));
  return b;
}

bool checkOk(const Bytes& f) {
  size_t i = 0;
  while (i < f.size() && f[i] == NAK) ++i;
  size_t n = f.size();
  if (n - i < 3 || (f[i] != STX && f[i] != SOH) || f[n - 2] != ETX) return false;
  return sum7(f, i + 1, n - 1) == f[n - 1];
}

Client::Client(const std::string& device, speed_t speed) : port_(device, speed) {}

namespace {

bool complete(const Bytes& b) {
  size_t i = 0;
  while (i < b.size() && b[i] == NAK) ++i;
  if (i == b.size()) return false;
  size_t n = b.size();
  if (b[i] == '/') return n - i >= 2 && b[n - 2] == '\r' && b[n - 1] == '\n';
  if (b[i] == STX || b[i] == SOH) return n - i >= 3 && b[n - 2] == ETX;
  return true;  // ACK, or something no answer starts with
}

}  // namespace

Bytes Client::exchange(const Bytes& request, int timeout_ms) {
  port_.sendRaw(request);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  Bytes out;
  while (!complete(out)) {
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    deadline - std::chrono::steady_clock::now())
                                    .count());
    // NAKs alone may be all there is: give what follows a short while.
    if (!out.empty()) left = std::min(left, 200);
    if (left <= 0) break;
    Bytes more = port_.receive(1, left);
    if (more.empty()) break;
    out.insert(out.end(), more.begin(), more.end());
  }
  return out;
}

bool Client::program(const std::string& address) {
  breakSession();
  Bytes ident = signOn(address);
  if (ident.empty()) return false;
  Bytes p0 = optionSelect();
  size_t i = 0;
  while (i < p0.size() && p0[i] == NAK) ++i;
  return p0.size() > i + 3 && p0[i] == SOH && p0[i + 1] == 'P' && p0[i + 2] == '0' && checkOk(p0);
}

std::string Client::body(const std::string& name, const std::string& args) {
  Bytes a = read(name, args);
  size_t i = 0;
  while (i < a.size() && a[i] == NAK) ++i;
  if (!checkOk(a) || a[i] != STX) return "<bad: " + textOf(a) + ">";
  return std::string(a.begin() + static_cast<long>(i) + 1, a.end() - 2);
}

}  // namespace iectest
