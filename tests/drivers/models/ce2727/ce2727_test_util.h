#pragma once

#include <map>
#include <optional>

#include "transport/connector.h"
#include "transport/serial_peers.h"

namespace ce2727_test {

using namespace peers;

inline Bytes answerFrame(uint32_t address, uint8_t cmd, uint8_t code, const Bytes& data) {
  Bytes f = {0x02, static_cast<uint8_t>(14 + data.size())};
  putLE(f, address, 4);
  putLE(f, 0, 4);
  f.insert(f.end(), {code, cmd});
  f.insert(f.end(), data.begin(), data.end());
  return withX25(f);
}

struct SeenRequest {
  uint32_t address, password;
  uint8_t cmd;
  Bytes params;
};

// Null for a frame a meter ignores.
inline std::optional<SeenRequest> parseRequest(const Bytes& f) {
  if (f.size() < 14 || f[0] != 0x02 || f[1] != f.size() || f[10] != 0x01 ||
      getLE(f, f.size() - 2, 2) != mtr::crc16_x25(f.data(), f.size() - 2))
    return std::nullopt;
  return SeenRequest{getLE(f, 2, 4), getLE(f, 6, 4), f[11], Bytes(f.begin() + 12, f.end() - 2)};
}

// Answers through a handler per command (code 1 for a wrong password, 2 for no
// handler, silence for another address); keeps the parameters asked per command.
// An answer with data carries `data_byte10` at byte 10 (meters put 00 or 01).
struct FakeMeter {
  uint32_t address = 4242;
  using Handler = std::function<Bytes(const Bytes& params, uint8_t& code)>;
  std::map<uint8_t, Handler> handlers;
  std::map<uint8_t, std::vector<Bytes>> asked;
  uint8_t data_byte10 = 0;

  Bytes operator()(const Bytes& frame) {
    std::optional<SeenRequest> r = parseRequest(frame);
    if (!r || r->address != address) return {};
    asked[r->cmd].push_back(r->params);
    auto h = handlers.find(r->cmd);
    uint8_t code = r->password ? 1 : h == handlers.end() ? 2 : 0;
    Bytes data = code ? Bytes{} : h->second(r->params, code);
    return code ? answerFrame(address, r->cmd, code, {})
                : answerFrame(address, r->cmd, data_byte10, data);
  }
};

// A pty meter answering each whole frame (its second byte is its length), and
// `line`, a serial connector (time-out 200 ms) at the other end.
struct PtyLine : PtyMeter {
  std::shared_ptr<CConnector> line;
  explicit PtyLine(std::function<Bytes(const Bytes&)> answer)
      : PtyMeter([](const Bytes& b, bool) { return b.size() >= 2 && b.size() >= b[1] ? b[1] : 0u; },
                 answer) {
    logLevel(TL_INFO);
    line.reset(CreateConnector({{"name", device()}, {"speed", "9600"}}));
    line->SetTimeout(200);
  }
};

}  // namespace ce2727_test
