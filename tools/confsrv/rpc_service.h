#pragma once

#include <json/json.h>

#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <string>

namespace confsrv {

// Which of the two local services a listener stands for.
enum class Role { Config, Sensor };

// Answers that a misbehaving server would give, used once each, in order.
enum class Fault { Empty, Html, Garbage, Deep, Nul };
bool parseFault(const std::string& name, Fault& out);

struct Reply {
  int status = 200;
  std::string content_type = "application/json-rpc";
  std::string body;  // empty with 204
};

// The JSON-RPC 2.0 side of the stand-in: meter configurations, the put methods
// and create_action. Thread-safe: the HTTP server calls it from its pool.
class RpcService {
 public:
  // Meter id -> "result" of get_config. False and a message on bad input.
  bool loadConfig(const std::string& path, std::string& error);
  bool openRecord(const std::string& path, std::string& error);
  void addFault(Role role, Fault fault);

  Reply handle(Role role, int port, const std::string& body, const std::string& content_type,
               const std::string& accept);

  ~RpcService();

 private:
  Json::Value handleOne(Role role, const Json::Value& req, bool& reply);
  Json::Value dispatch(Role role, const std::string& method, const Json::Value& params, bool& ok);
  void record(int port, const std::string& body, const std::string& content_type,
              const std::string& accept);

  std::mutex mutex_;
  Json::Value config_{Json::objectValue};
  std::map<Role, std::deque<Fault>> faults_;
  FILE* record_ = nullptr;
};

// Compact JSON text without a trailing line feed.
std::string compact(const Json::Value& v);

}  // namespace confsrv
