#pragma once

#include <json/json.h>
#include <stdlib.h>

#include <exception>
#include <set>
#include <string>

#include "fuzz/harness/check.h"
#include "fuzz/harness/http_standin.h"
#include "server/jsonrpc_connector.h"

namespace mtr_fuzz {

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

// Every scalar member of `obj` is in `map` under its name with jsoncpp's text;
// every entry of `map` is such a member, or one of `extra`.
inline void checkFlattened(const char* h, const Json::Value& obj, const SettingsMap& map,
                           const std::set<std::string>& extra) {
  const Json::Value& o = obj;
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
    if (o.isObject() && o.isMember(kv.first)) {
      const Json::Value& v = o[kv.first];
      FUZZ_CHECK(h, !v.isObject() && !v.isArray());
    }
  }
}

// Input: one byte choosing how the answer travels (whole, or chunked in
// pieces of 1..127 bytes), then the HTTP body of the "get_config" answer.
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
  FUZZ_CHECK(h, conn.current_system <= 0);
  FUZZ_CHECK(h, conn.current_system >= -1);

  // The NUL rule makes the daemon's text differ from the body; skip the exact checks.
  if (body.find('\0') != std::string::npos) return;
  Json::Value result(Json::objectValue);
  const Json::Value& r = response;
  if (r.isObject() && r["result"].isObject()) result = r["result"];
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
