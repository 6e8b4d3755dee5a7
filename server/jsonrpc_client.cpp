#include "server/jsonrpc_client.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "server/netstring.h"

namespace Json {
namespace Rpc {

namespace {

// libcurl's global state is not safe to set up or tear down while other threads
// use libcurl, so it is done once per process, the cleanup at exit.
struct CurlGlobal {
  CurlGlobal() { curl_global_init(CURL_GLOBAL_ALL); }
  ~CurlGlobal() { curl_global_cleanup(); }
};

std::once_flag g_curl_once;

void report(CURLcode code) {
  if (code != CURLE_OK) fprintf(stderr, "%s\n", curl_easy_strerror(code));
}

}  // namespace

void HttpClient::GlobalInit() {
  std::call_once(g_curl_once, [] { static CurlGlobal global; });
}

HttpClient::HttpClient(const std::string& addr) {
  init();
  max_received = -1;
  address = addr;
  port = 0;
  encapsulated_format = 0;
}

HttpClient::HttpClient(const std::string& addr, uint16_t p) : HttpClient(addr) {
  SetPort(p);
}

void HttpClient::init() {
  GlobalInit();
  curl = curl_easy_init();
  if (!curl) {
    fprintf(stderr, "curl_easy_init failed\n");
    return;
  }
  report(curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &HttpClient::writeCallback));
  report(curl_easy_setopt(curl, CURLOPT_WRITEDATA, this));
  headers = curl_slist_append(headers, "Content-Type: application/json-rpc");
  headers = curl_slist_append(headers, "Accept: application/json-rpc");
  report(curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers));
  report(curl_easy_setopt(curl, CURLOPT_POST, 1L));
  // Worker threads must not get libcurl's timeout signals.
  report(curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L));
}

HttpClient::~HttpClient() {
  if (curl) curl_easy_cleanup(curl);
  curl_slist_free_all(headers);
  received.clear();
  received_count = 0;
}

void HttpClient::SetPort(uint16_t p) {
  port = p;
  if (curl) report(curl_easy_setopt(curl, CURLOPT_PORT, static_cast<long>(p)));
}

int HttpClient::Send(const std::string& text) {
  if (address.empty()) return -1;
  if (!curl) return CURLE_FAILED_INIT;
  const std::string body = encapsulated_format == 1 ? netstring::encode(text) : text;

  CURLcode code = curl_easy_setopt(curl, CURLOPT_URL, address.c_str());
  if (code == CURLE_OK) code = curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
  if (code == CURLE_OK)
    code = curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  if (code == CURLE_OK) code = curl_easy_perform(curl);
  // The body is ours only for this call.
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, nullptr);
  if (code != CURLE_OK) {
    report(code);
    return static_cast<int>(code);
  }
  return 0;
}

ssize_t HttpClient::Recv(std::string& out) {
  if (received.empty()) return 0;
  out = std::move(received.front());
  received.pop_front();
  --received_count;
  return static_cast<ssize_t>(out.size());
}

size_t HttpClient::writeCallback(char* data, size_t size, size_t count, void* user) {
  auto* self = static_cast<HttpClient*>(user);
  size_t total = size * count;
  // Text stops at the first NUL byte.
  const void* nul = memchr(data, '\0', total);
  size_t keep = nul ? static_cast<size_t>(static_cast<const char*>(nul) - data) : total;
  self->received.emplace_back(data, keep);
  ++self->received_count;
  if (self->max_received != -1 &&
      self->received_count > static_cast<uint64_t>(self->max_received)) {
    self->received.pop_front();
    --self->received_count;
  }
  return total;
}

}  // namespace Rpc
}  // namespace Json
