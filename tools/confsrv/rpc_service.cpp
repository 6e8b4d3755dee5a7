#include "rpc_service.h"

#include <exception>
#include <fstream>
#include <sstream>

namespace confsrv {

namespace {

const int kParseError = -32700;
const int kInvalidRequest = -32600;
const int kMethodNotFound = -32601;
const int kInvalidParams = -32602;

bool parse(const std::string& text, Json::Value& out) {
  try {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["failIfExtra"] = true;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    return reader->parse(text.data(), text.data() + text.size(), &out, &errors);
  } catch (const std::exception&) {
    return false;  // nested past the reader's limit
  }
}

Json::Value errorResponse(const Json::Value& id, int code, const char* message,
                          const std::string& data = "") {
  Json::Value r(Json::objectValue);
  r["jsonrpc"] = "2.0";
  r["id"] = id;
  r["error"]["code"] = code;
  r["error"]["message"] = message;
  if (!data.empty()) r["error"]["data"] = data;
  return r;
}

Json::Value resultResponse(const Json::Value& id, const Json::Value& result) {
  Json::Value r(Json::objectValue);
  r["jsonrpc"] = "2.0";
  r["id"] = id;
  r["result"] = result;
  return r;
}

bool hasString(const Json::Value& obj, const char* key) {
  return obj.isObject() && obj.isMember(key) && obj[key].isString();
}

Reply faultReply(Fault fault) {
  Reply r;
  switch (fault) {
    case Fault::Empty:
      break;
    case Fault::Html:
      r.status = 500;
      r.content_type = "text/html";
      r.body =
          "<html><head><title>500 Internal Server Error</title></head>"
          "<body><h1>Internal Server Error</h1></body></html>\n";
      break;
    case Fault::Garbage:
      r.body = "{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{\"port_params\":";
      break;
    case Fault::Deep:
      r.body = std::string(100000, '[') + std::string(100000, ']');
      break;
    case Fault::Nul: {
      // A valid answer followed by a NUL byte and junk.
      static const char kNulBody[] = "{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{}}\0junk}}}";
      r.body.assign(kNulBody, sizeof kNulBody - 1);
      break;
    }
  }
  return r;
}

}  // namespace

bool parseFault(const std::string& name, Fault& out) {
  static const std::map<std::string, Fault> kNames = {{"empty", Fault::Empty},
                                                      {"html", Fault::Html},
                                                      {"garbage", Fault::Garbage},
                                                      {"deep", Fault::Deep},
                                                      {"nul", Fault::Nul}};
  auto it = kNames.find(name);
  if (it == kNames.end()) return false;
  out = it->second;
  return true;
}

std::string compact(const Json::Value& v) {
  Json::FastWriter w;
  w.omitEndingLineFeed();
  return w.write(v);
}

RpcService::~RpcService() {
  if (record_) fclose(record_);
}

bool RpcService::loadConfig(const std::string& path, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read " + path;
    return false;
  }
  std::stringstream ss;
  ss << in.rdbuf();
  Json::Value cfg;
  if (!parse(ss.str(), cfg)) {
    error = path + ": not valid JSON";
    return false;
  }
  if (!cfg.isObject()) {
    error = path + ": must be an object mapping meter identifiers to configurations";
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  config_.swap(cfg);
  return true;
}

bool RpcService::openRecord(const std::string& path, std::string& error) {
  record_ = fopen(path.c_str(), "a");
  if (!record_) {
    error = "cannot open " + path + " for appending";
    return false;
  }
  return true;
}

void RpcService::addFault(Role role, Fault fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_[role].push_back(fault);
}

void RpcService::record(int port, const std::string& body, const std::string& content_type,
                        const std::string& accept) {
  if (!record_) return;
  Json::Value req, method, params;
  if (parse(body, req) && req.isObject()) {
    method = req.get("method", Json::Value());
    params = req.get("params", Json::Value());
  }
  std::string line = "{\"port\":" + std::to_string(port) +
                     ",\"body\":" + compact(Json::Value(body)) + ",\"method\":" + compact(method) +
                     ",\"params\":" + compact(params) +
                     ",\"content_type\":" + compact(Json::Value(content_type)) +
                     ",\"accept\":" + compact(Json::Value(accept)) + "}\n";
  // Caller holds the lock; one line per request, visible at once.
  fwrite(line.data(), 1, line.size(), record_);
  fflush(record_);
}

Reply RpcService::handle(Role role, int port, const std::string& body,
                         const std::string& content_type, const std::string& accept) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    record(port, body, content_type, accept);
    auto& queue = faults_[role];
    if (!queue.empty()) {
      Fault f = queue.front();
      queue.pop_front();
      return faultReply(f);
    }
  }

  Reply reply;
  Json::Value req;
  if (!parse(body, req)) {
    reply.body = compact(errorResponse(Json::Value(), kParseError, "Parse error")) + "\n";
    return reply;
  }
  Json::Value out;
  if (req.isArray()) {
    if (req.empty()) {
      out = errorResponse(Json::Value(), kInvalidRequest, "Invalid Request");
    } else {
      out = Json::Value(Json::arrayValue);
      for (const Json::Value& one : req) {
        bool answer = true;
        Json::Value r = handleOne(role, one, answer);
        if (answer) out.append(r);
      }
      if (out.empty()) out = Json::Value();
    }
  } else {
    bool answer = true;
    out = handleOne(role, req, answer);
    if (!answer) out = Json::Value();
  }
  if (out.isNull()) {
    // Only notifications: nothing to answer.
    reply.status = 204;
    return reply;
  }
  reply.body = compact(out) + "\n";
  return reply;
}

Json::Value RpcService::handleOne(Role role, const Json::Value& req, bool& answer) {
  answer = true;
  if (!req.isObject()) return errorResponse(Json::Value(), kInvalidRequest, "Invalid Request");
  Json::Value id;
  bool has_id = req.isMember("id");
  if (has_id) {
    id = req["id"];
    if (!(id.isNull() || id.isString() || id.isNumeric()))
      return errorResponse(Json::Value(), kInvalidRequest, "Invalid Request", "bad id");
  }
  if (!hasString(req, "jsonrpc") || req["jsonrpc"].asString() != "2.0")
    return errorResponse(id, kInvalidRequest, "Invalid Request", "jsonrpc must be \"2.0\"");
  if (!hasString(req, "method"))
    return errorResponse(id, kInvalidRequest, "Invalid Request", "method must be a string");
  Json::Value params = req.get("params", Json::Value());
  if (req.isMember("params") && !params.isObject() && !params.isArray())
    return errorResponse(id, kInvalidRequest, "Invalid Request", "params must be structured");

  bool ok = true;
  Json::Value result = dispatch(role, req["method"].asString(), params, ok);
  answer = has_id;
  if (!ok) {
    int code = result["code"].asInt();
    return errorResponse(id, code, code == kMethodNotFound ? "Method not found" : "Invalid params",
                         result["data"].asString());
  }
  return resultResponse(id, result);
}

Json::Value RpcService::dispatch(Role role, const std::string& method, const Json::Value& params,
                                 bool& ok) {
  auto fail = [&ok](int code, const std::string& data) {
    ok = false;
    Json::Value e;
    e["code"] = code;
    e["data"] = data;
    return e;
  };

  if (role == Role::Sensor) {
    if (method != "create_action") return fail(kMethodNotFound, method);
    if (!params.isArray() || params.size() != 5 || !params[0].isString() || !params[1].isString() ||
        !params[2].isBool() || !params[3].isIntegral() || !params[4].isString())
      return fail(kInvalidParams, "expected [source, sensor, state, 0, output]");
    return Json::Value(true);
  }

  if (method == "get_config") {
    if (!params.isObject() || !params.isMember("heat_meter"))
      return fail(kInvalidParams, "expected {\"heat_meter\": id}");
    const Json::Value& hm = params["heat_meter"];
    std::string id;
    if (hm.isString())
      id = hm.asString();
    else if (hm.isIntegral())
      id = hm.asString();
    else
      return fail(kInvalidParams, "heat_meter must be a string");
    std::lock_guard<std::mutex> lock(mutex_);
    if (!config_.isMember(id)) return fail(kInvalidParams, "unknown meter identifier " + id);
    return config_[id];
  }
  if (method == "put_current_value" || method == "put_one_value") {
    if (!hasString(params, "value_name") || !hasString(params, "value"))
      return fail(kInvalidParams, "expected value_name and value");
    return Json::Value(true);
  }
  if (method == "put_all_current_values") {
    // Sent without params when there is nothing to deliver.
    if (params.isNull()) return Json::Value(true);
    if (!params.isArray()) return fail(kInvalidParams, "expected an array of values");
    for (const Json::Value& v : params)
      if (!hasString(v, "name") || !hasString(v, "value"))
        return fail(kInvalidParams, "expected name and value in every element");
    return Json::Value(true);
  }
  return fail(kMethodNotFound, method);
}

}  // namespace confsrv
