// The stand-in server itself, driven with plain libcurl requests.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "confsrv_fixture.h"

namespace {

using confsrv_test::ConfSrv;
using confsrv_test::parseJson;
using confsrv_test::post;

const char kConfig[] = R"({
  "1001": {"manufacturer": "mercury230", "serial": "123",
           "port_params": {"name": "/dev/ttyS1", "speed": "9600"}},
  "77": 5
})";

TEST(ConfSrv, PrintsPortsAndStopsOnSigterm) {
  ConfSrv srv(kConfig);
  ASSERT_TRUE(srv.started());
  EXPECT_GT(srv.sensor_port, 0);
  EXPECT_NE(srv.config_port, srv.sensor_port);
  EXPECT_EQ("config-port=" + std::to_string(srv.config_port) +
                " sensor-port=" + std::to_string(srv.sensor_port) + "\n",
            mtr_test::readFile(srv.dir / "out"));
  EXPECT_EQ(0, srv.stop());
}

TEST(ConfSrv, FixedPortsAndNoSensor) {
  int port = mtr_test::freePort();
  ConfSrv srv(kConfig, {}, port, -1);
  ASSERT_TRUE(srv.started());
  EXPECT_EQ(port, srv.config_port);
  EXPECT_EQ(-1, srv.sensor_port);
  // A second server on the same port fails instead of sharing it.
  ConfSrv second(kConfig, {}, port, -1);
  EXPECT_FALSE(second.started());
  EXPECT_EQ(1, second.stop());
}

TEST(ConfSrv, AnswersJsonRpc) {
  ConfSrv srv(kConfig);
  ASSERT_TRUE(srv.started());
  struct Case {
    const char* body;
    const char* result;  // expected "result", or null
    int error;           // expected error code otherwise
    bool null_id;
  };
  const Case cases[] = {
      {R"({"id":1,"jsonrpc":"2.0","method":"get_config","params":{"heat_meter":"1001"}})",
       R"({"manufacturer":"mercury230","port_params":{"name":"/dev/ttyS1","speed":"9600"},"serial":"123"})",
       0, false},
      {R"({"id":2,"jsonrpc":"2.0","method":"get_config","params":{"heat_meter":"77"}})", "5", 0,
       false},
      {R"({"id":2,"jsonrpc":"2.0","method":"get_config","params":{"heat_meter":1001}})",
       R"({"manufacturer":"mercury230","port_params":{"name":"/dev/ttyS1","speed":"9600"},"serial":"123"})",
       0, false},
      {R"({"id":3,"jsonrpc":"2.0","method":"get_config","params":{"heat_meter":"999"}})", nullptr,
       -32602, false},
      {R"({"id":3,"jsonrpc":"2.0","method":"get_config"})", nullptr, -32602, false},
      {R"({"id":4,"jsonrpc":"2.0","method":"put_current_value","params":{"value_name":"VA","value":"1","opc_quality":192,"timestamp":5}})",
       "true", 0, false},
      {R"({"id":4,"jsonrpc":"2.0","method":"put_one_value","params":{"value":"1"}})", nullptr,
       -32602, false},
      {R"({"id":5,"jsonrpc":"2.0","method":"put_all_current_values"})", "true", 0, false},
      {R"({"id":5,"jsonrpc":"2.0","method":"put_all_current_values","params":[{"name":"VA","value":"1"}]})",
       "true", 0, false},
      {R"({"id":5,"jsonrpc":"2.0","method":"put_all_current_values","params":[{"value":"1"}]})",
       nullptr, -32602, false},
      {R"({"id":6,"jsonrpc":"2.0","method":"no_such"})", nullptr, -32601, false},
      {R"({"id":7,"jsonrpc":"1.0","method":"get_config"})", nullptr, -32600, false},
      {R"({"id":7,"jsonrpc":"2.0","method":5})", nullptr, -32600, false},
      {R"({"id":7,"jsonrpc":"2.0","method":"put_one_value","params":"x"})", nullptr, -32600, false},
      {R"({"id":{},"jsonrpc":"2.0","method":"get_config"})", nullptr, -32600, true},
      {R"("just a string")", nullptr, -32600, true},
      {R"([])", nullptr, -32600, true},
      {R"({"id":8,"jsonrpc":"2.0","method")", nullptr, -32700, true},
      {"", nullptr, -32700, true},
  };
  for (const Case& c : cases) {
    auto reply = post(srv.url(), c.body);
    ASSERT_EQ(0, reply.curl_code) << c.body;
    EXPECT_EQ(200, reply.status) << c.body;
    Json::Value r = parseJson(reply.body);
    ASSERT_TRUE(r.isObject()) << c.body << " -> " << reply.body;
    EXPECT_EQ("2.0", r["jsonrpc"].asString()) << c.body;
    if (c.null_id) {
      EXPECT_TRUE(r["id"].isNull()) << c.body;
    }
    if (c.result) {
      EXPECT_EQ(parseJson(c.result), r["result"]) << c.body << " -> " << reply.body;
      EXPECT_FALSE(r.isMember("error"));
    } else {
      EXPECT_EQ(c.error, r["error"]["code"].asInt()) << c.body << " -> " << reply.body;
      EXPECT_TRUE(r["error"]["message"].isString());
      EXPECT_FALSE(r.isMember("result"));
    }
  }
  // The id comes back as it was sent.
  auto reply = post(srv.url(), R"({"id":"abc","jsonrpc":"2.0","method":"put_all_current_values"})");
  EXPECT_EQ("abc", parseJson(reply.body)["id"].asString());
}

TEST(ConfSrv, SensorPortAnswersCreateActionOnly) {
  ConfSrv srv(kConfig);
  ASSERT_TRUE(srv.started());
  const std::pair<const char*, int> cases[] = {
      {R"({"id":1,"jsonrpc":"2.0","method":"create_action","params":["EventRelay","SensorTeploKVbinary",true,0,"teploKV.SRVC_OUT2"]})",
       0},
      {R"({"id":1,"jsonrpc":"2.0","method":"create_action","params":["EventRelay","SensorTeploKVbinary",true,0]})",
       -32602},
      {R"({"id":1,"jsonrpc":"2.0","method":"create_action","params":["EventRelay","SensorTeploKVbinary","on",0,"x"]})",
       -32602},
      {R"({"id":1,"jsonrpc":"2.0","method":"get_config","params":{"heat_meter":"1001"}})", -32601},
  };
  for (const auto& c : cases) {
    Json::Value r = parseJson(post(srv.sensorUrl(), c.first).body);
    if (c.second == 0)
      EXPECT_EQ(Json::Value(true), r["result"]) << c.first;
    else
      EXPECT_EQ(c.second, r["error"]["code"].asInt()) << c.first;
  }
}

TEST(ConfSrv, BatchesAndNotifications) {
  ConfSrv srv(kConfig);
  ASSERT_TRUE(srv.started());
  auto reply = post(srv.url(),
                    R"([{"id":1,"jsonrpc":"2.0","method":"put_all_current_values"},
                        {"jsonrpc":"2.0","method":"put_all_current_values"},
                        1,
                        {"id":2,"jsonrpc":"2.0","method":"nope"}])");
  Json::Value r = parseJson(reply.body);
  ASSERT_TRUE(r.isArray()) << reply.body;
  ASSERT_EQ(3u, r.size());
  EXPECT_EQ(true, r[0]["result"].asBool());
  EXPECT_EQ(-32600, r[1]["error"]["code"].asInt());
  EXPECT_EQ(-32601, r[2]["error"]["code"].asInt());
  EXPECT_EQ(2, r[2]["id"].asInt());

  // A notification gets no answer at all.
  reply = post(srv.url(), R"({"jsonrpc":"2.0","method":"put_all_current_values"})");
  EXPECT_EQ(204, reply.status);
  EXPECT_EQ("", reply.body);
}

TEST(ConfSrv, RecordsEveryRequest) {
  ConfSrv srv(kConfig);
  ASSERT_TRUE(srv.started());
  const std::string get =
      R"({"id":1,"jsonrpc":"2.0","method":"get_config","params":{"heat_meter":"1001"}})";
  post(srv.url(), get);
  post(srv.sensorUrl(), "not json", "text/plain");
  auto recs = srv.records();
  ASSERT_EQ(2u, recs.size());
  EXPECT_EQ(srv.config_port, recs[0]["port"].asInt());
  EXPECT_EQ(get, recs[0]["body"].asString());
  EXPECT_EQ("get_config", recs[0]["method"].asString());
  EXPECT_EQ("1001", recs[0]["params"]["heat_meter"].asString());
  EXPECT_EQ("application/json-rpc", recs[0]["content_type"].asString());
  EXPECT_EQ(srv.sensor_port, recs[1]["port"].asInt());
  EXPECT_EQ("not json", recs[1]["body"].asString());
  EXPECT_TRUE(recs[1]["method"].isNull());
  EXPECT_TRUE(recs[1]["params"].isNull());
  // The record is a stable format: port first, one object per line.
  std::string text = mtr_test::readFile(srv.dir / "record.jsonl");
  EXPECT_EQ(0u, text.find("{\"port\":" + std::to_string(srv.config_port) + ",\"body\":"));
}

TEST(ConfSrv, FaultsComeOnceEachInOrder) {
  ConfSrv srv(kConfig, {"--fault", "empty", "--fault", "html", "--fault", "garbage", "--fault",
                        "deep", "--fault", "nul", "--sensor-fault", "html"});
  ASSERT_TRUE(srv.started());
  const std::string body = R"({"id":1,"jsonrpc":"2.0","method":"put_all_current_values"})";
  auto r = post(srv.url(), body);
  EXPECT_EQ(200, r.status);
  EXPECT_EQ("", r.body);
  r = post(srv.url(), body);
  EXPECT_EQ(500, r.status);
  EXPECT_NE(std::string::npos, r.body.find("<html>"));
  r = post(srv.url(), body);
  EXPECT_TRUE(parseJson(r.body).isNull());
  EXPECT_NE(0u, r.body.size());
  r = post(srv.url(), body);
  EXPECT_EQ(200000u, r.body.size());
  r = post(srv.url(), body);
  EXPECT_EQ(44u, r.body.size());
  EXPECT_EQ('\0', r.body[36]);
  r = post(srv.url(), body);
  EXPECT_EQ(true, parseJson(r.body)["result"].asBool());
  // The sensor port has its own queue.
  EXPECT_EQ(500, post(srv.sensorUrl(), body).status);
  EXPECT_EQ(7u, srv.records().size());
}

TEST(ConfSrv, ChunkedAnswers) {
  ConfSrv srv(kConfig, {"--chunk", "7"});
  ASSERT_TRUE(srv.started());
  auto r = post(srv.url(),
                R"({"id":1,"jsonrpc":"2.0","method":"get_config","params":{"heat_meter":"1001"}})");
  EXPECT_NE(std::string::npos, r.headers.find("Transfer-Encoding: chunked")) << r.headers;
  EXPECT_EQ("mercury230", parseJson(r.body)["result"]["manufacturer"].asString());
}

TEST(ConfSrv, BadCommandLines) {
  mtr_test::TempDir dir;
  mtr_test::writeFile(dir / "array.json", "[1,2]");
  mtr_test::writeFile(dir / "broken.json", "{\"1\":");
  const std::vector<std::vector<std::string>> cases = {
      {"--port", "70000"},
      {"--port", "12x"},
      {"--sensor-port", "-2"},
      {"--fault", "slow"},
      {"--chunk", "0"},
      {"--config", dir / "missing.json"},
      {"--config", dir / "array.json"},
      {"--config", dir / "broken.json"},
      {"--record", dir / "no/such/dir/rec"},
      {"--bogus"},
      {"extra"},
  };
  for (const auto& args : cases) {
    std::vector<std::string> argv = {mtr_test::binPath("mtr-confsrv"), "--port", "0",
                                     "--sensor-port", "-1"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto r = mtr_test::runProcess(argv, 5000);
    EXPECT_EQ(2, r.status) << args[0];
    EXPECT_EQ("", r.out) << args[0];
    EXPECT_FALSE(r.err.empty()) << args[0];
  }
  auto help = mtr_test::runProcess({mtr_test::binPath("mtr-confsrv"), "--help"});
  EXPECT_EQ(0, help.status);
  EXPECT_NE(std::string::npos, help.out.find("--sensor-port"));
}

}  // namespace
