#pragma once

#include <arpa/inet.h>
#include <json/json.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "fuzz/harness/check.h"
#include "server/jsonrpc_connector.h"

namespace mtr_fuzz {

// Loopback server: the prepared body once (in `chunk`-byte segments if set), then the fallback.
class HttpStandIn {
 public:
  HttpStandIn() {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        listen(listen_fd_, 16) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      perror("http stand-in");
      abort();
    }
    url_ = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/";
    std::thread([this] { serve(); }).detach();
  }

  const std::string& url() const { return url_; }

  void prepare(const std::string& body, size_t chunk, const std::string& fallback) {
    std::lock_guard<std::mutex> lock(mu_);
    body_ = body, chunk_ = chunk, fallback_ = fallback, served_ = 0;
  }
  int served() {
    std::lock_guard<std::mutex> lock(mu_);
    return served_;
  }

 private:
  static bool sendAll(int fd, const std::string& s) {
    ssize_t n = 0;
    for (size_t off = 0; off < s.size(); off += static_cast<size_t>(n))
      if ((n = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL)) <= 0) return false;
    return true;
  }

  // Reads the request head and its Content-Length body.
  static bool readRequest(int fd) {
    std::string in;
    char buf[4096];
    size_t head_end = std::string::npos, want = 0;
    while (head_end == std::string::npos || in.size() - head_end - 4 < want) {
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return false;
      in.append(buf, static_cast<size_t>(n));
      if (head_end != std::string::npos || (head_end = in.find("\r\n\r\n")) == std::string::npos)
        continue;
      const std::string head = in.substr(0, head_end);
      const char* cl = strcasestr(head.c_str(), "content-length:");
      want = cl ? strtoul(cl + 15, nullptr, 10) : 0;
    }
    return true;
  }

  void serve() {
    for (;;) {
      int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      if (readRequest(fd)) {
        std::unique_lock<std::mutex> lock(mu_);
        const std::string body = served_ == 0 ? body_ : fallback_;
        const size_t chunk = served_++ == 0 ? chunk_ : 0;
        lock.unlock();
        respond(fd, body, chunk);
      }
      close(fd);
    }
  }

  static void respond(int fd, const std::string& body, size_t chunk) {
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/json-rpc\r\n";
    if (chunk == 0) {
      sendAll(fd, head + "Content-Length: " + std::to_string(body.size()) +
                      "\r\nConnection: close\r\n\r\n" + body);
      return;
    }
    if (!sendAll(fd, head + "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n")) return;
    for (size_t off = 0; off < body.size(); off += chunk) {
      size_t n = std::min(chunk, body.size() - off);
      char size_line[32];
      snprintf(size_line, sizeof size_line, "%zx\r\n", n);
      if (!sendAll(fd, size_line + body.substr(off, n) + "\r\n")) return;
    }
    sendAll(fd, "0\r\n\r\n");
  }

  int listen_fd_ = -1;
  std::string url_;
  std::mutex mu_;
  std::string body_, fallback_;
  size_t chunk_ = 0;
  int served_ = 0;
};

inline HttpStandIn& configServer() {
  // Lives for the whole process; its thread serves every harness run.
  static HttpStandIn* server = [] {
    auto* s = new HttpStandIn;
    setenv("MTR_CONFIG_URL", s->url().c_str(), 1);
    return s;
  }();
  return *server;
}

inline bool parseLikeTheDaemon(const std::string& text, Json::Value& out) {
  try {
    Json::Reader reader;
    return reader.parse(text, out, true);
  } catch (const std::exception&) {
    return false;
  }
}

// `map` holds exactly the scalar members of `obj` as jsoncpp's text, plus `extra`.
inline void checkFlattened(const char* h, const Json::Value& o, const SettingsMap& map,
                           const std::set<std::string>& extra) {
  if (o.isObject()) {
    for (auto it = o.begin(); it != o.end(); ++it) {
      if (it->isObject() || it->isArray() || extra.count(it.name())) continue;
      auto found = map.find(it.name());
      FUZZ_CHECK(h, found != map.end());
      if (found != map.end()) FUZZ_CHECK(h, found->second == it->asString());
    }
  }
  for (const auto& kv : map) {
    if (extra.count(kv.first)) continue;
    FUZZ_CHECK(h, o.isObject() && o.isMember(kv.first));
    if (o.isObject() && o.isMember(kv.first))
      FUZZ_CHECK(h, !o[kv.first].isObject() && !o[kv.first].isArray());
  }
}

// Input: a byte choosing whole or 1..127-byte chunks, then the "get_config" body.
inline void getConfigOne(const uint8_t* data, size_t size) {
  static const char* h = "get_config";
  HttpStandIn& server = configServer();
  size_t chunk = size > 0 ? (data[0] & 1 ? (data[0] >> 1) + 1 : 0) : 0;
  std::string body = size > 0 ? std::string(reinterpret_cast<const char*>(data) + 1, size - 1) : "";
  // An unparseable answer is retried; the retry then gets an empty result.
  server.prepare(body, chunk, "{\"result\":{}}");

  CJSONRPCConnector conn("42", 0);
  conn.setRetrySeconds(0);
  std::list<PortGroup> groups;
  try {
    groups = conn.GetInitParameters1();
  } catch (const std::exception& e) {
    fail(h, e.what());
    return;
  }

  Json::Value response;
  bool parseable = parseLikeTheDaemon(body, response);
  if (body.find('\0') == std::string::npos) {
    // The daemon takes the first answer exactly when it is JSON.
    FUZZ_CHECK(h, (server.served() == 1) == parseable);
  }
  if (server.served() != 1) parseable = parseLikeTheDaemon("{\"result\":{}}", response);

  FUZZ_CHECK(h, groups.size() == 1);
  if (groups.size() != 1) return;
  const PortGroup& g = groups.front();
  FUZZ_CHECK(h, g.systems.size() == 1);
  if (g.systems.size() != 1) return;
  const SettingsMap& s = g.systems.front();
  FUZZ_CHECK(h, s.count("period_current") == 1 && s.count("manufacturer") == 1);
  FUZZ_CHECK(h, conn.manufacturer == s.at("manufacturer"));
  FUZZ_CHECK(h, conn.current_system <= 0 && conn.current_system >= -1);

  // The NUL rule makes the daemon's text differ from the body; skip the exact checks.
  if (body.find('\0') != std::string::npos) return;
  Json::Value result(Json::objectValue);
  if (response.isObject() && response["result"].isObject()) result = response["result"];
  const Json::Value& cr = result;
  checkFlattened(h, cr["port_params"], g.port_params, {});
  checkFlattened(h, result, s, {"period_current", "manufacturer", "systems"});

  const Json::Value& pc = cr["period_current"];
  if (!pc.isNull() && !pc.isObject() && !pc.isArray()) {
    FUZZ_CHECK(h, s.at("period_current") == pc.asString());
  } else if (!cr.isMember("period_current") || pc.isObject() || pc.isArray()) {
    const std::string& model = s.at("manufacturer");
    const char* want = model == "vkt-7"                          ? "14400"
                       : model == "vkt-9"                        ? "5400"
                       : model.find("km-5") != std::string::npos ? "300"
                                                                 : "20";
    FUZZ_CHECK(h, s.at("period_current") == want);
  }
}

}  // namespace mtr_fuzz
