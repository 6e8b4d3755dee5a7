#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace mtr_fuzz {

// A loopback HTTP server standing in for the configuration server. Each
// request gets the next prepared body; once they are spent, a fallback. A
// non-zero chunk size sends the body with chunked transfer coding in pieces of
// that size, each in its own segment, so the client sees several pieces.
class HttpStandIn {
 public:
  HttpStandIn() {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
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
    port_ = ntohs(addr.sin_port);
    std::thread([this] { serve(); }).detach();
  }

  int port() const { return port_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

  void prepare(const std::string& body, size_t chunk, const std::string& fallback) {
    std::lock_guard<std::mutex> lock(mu_);
    body_ = body;
    chunk_ = chunk;
    fallback_ = fallback;
    served_ = 0;
  }
  int served() {
    std::lock_guard<std::mutex> lock(mu_);
    return served_;
  }

 private:
  static bool sendAll(int fd, const std::string& s) {
    size_t off = 0;
    while (off < s.size()) {
      ssize_t n = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return false;
      off += static_cast<size_t>(n);
    }
    return true;
  }

  // Reads the request head and its Content-Length body.
  static bool readRequest(int fd) {
    std::string in;
    char buf[4096];
    size_t head_end = std::string::npos;
    while (head_end == std::string::npos) {
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return false;
      in.append(buf, static_cast<size_t>(n));
      head_end = in.find("\r\n\r\n");
    }
    size_t want = 0;
    std::string head = in.substr(0, head_end);
    std::transform(head.begin(), head.end(), head.begin(), ::tolower);
    size_t cl = head.find("content-length:");
    if (cl != std::string::npos) want = strtoul(head.c_str() + cl + 15, nullptr, 10);
    while (in.size() - head_end - 4 < want) {
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return false;
      in.append(buf, static_cast<size_t>(n));
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
        std::string body;
        size_t chunk;
        {
          std::lock_guard<std::mutex> lock(mu_);
          body = served_ == 0 ? body_ : fallback_;
          chunk = served_ == 0 ? chunk_ : 0;
          ++served_;
        }
        respond(fd, body, chunk);
      }
      close(fd);
    }
  }

  static void respond(int fd, const std::string& body, size_t chunk) {
    std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/json-rpc\r\n";
    if (chunk == 0) {
      head += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
      sendAll(fd, head + body);
      return;
    }
    head += "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n";
    if (!sendAll(fd, head)) return;
    for (size_t off = 0; off < body.size(); off += chunk) {
      size_t n = std::min(chunk, body.size() - off);
      char size_line[32];
      snprintf(size_line, sizeof size_line, "%zx\r\n", n);
      if (!sendAll(fd, size_line + body.substr(off, n) + "\r\n")) return;
    }
    sendAll(fd, "0\r\n\r\n");
  }

  int listen_fd_ = -1;
  int port_ = 0;
  std::mutex mu_;
  std::string body_, fallback_;
  size_t chunk_ = 0;
  int served_ = 0;
};

}  // namespace mtr_fuzz
