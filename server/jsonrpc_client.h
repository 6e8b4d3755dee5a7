#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <list>
#include <string>

namespace Json {
namespace Rpc {

// A JSON-RPC transport end.
class Client {
 public:
  Client() = default;
  virtual ~Client() = default;
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  virtual int Connect() { return 0; }
  // Oldest received answer into `out`; its length, or 0 when nothing is queued.
  virtual ssize_t Recv(std::string& out) = 0;
  virtual void Close() {}

  uint32_t GetEncapsulatedFormat() const { return encapsulated_format; }
  void SetEncapsulatedFormat(uint32_t format) { encapsulated_format = format; }
  const std::string& GetAddress() const { return address; }
  uint16_t GetPort() const { return port; }

 protected:
  uint32_t encapsulated_format = 0;  // 0 plain JSON, 1 netstring
  std::string address;
  uint16_t port = 0;  // 0: the one in the address
};

// Synchronous HTTP POST client on a libcurl easy handle. One per thread; never shared.
class HttpClient : public Client {
 public:
  explicit HttpClient(const std::string& address);
  HttpClient(const std::string& address, uint16_t port);
  ~HttpClient() override;

  void SetPort(uint16_t port);
  void SetAddress(const std::string& addr) { address = addr; }
  // -1 with an empty address; else 0 or the libcurl error code.
  int Send(const std::string& text);
  ssize_t Recv(std::string& out) override;

  // Queue limit; -1 keeps every chunk.
  void SetMaxReceived(int32_t limit) { max_received = limit; }
  uint64_t ReceivedCount() const { return received_count; }

  // libcurl's process-wide setup, done once; later calls do nothing.
  static void GlobalInit();

 private:
  static size_t writeCallback(char* data, size_t size, size_t count, void* self);
  void init();

  CURL* curl = nullptr;
  struct curl_slist* headers = nullptr;
  std::list<std::string> received;
  uint64_t received_count = 0;
  int32_t max_received = -1;
};

}  // namespace Rpc
}  // namespace Json
