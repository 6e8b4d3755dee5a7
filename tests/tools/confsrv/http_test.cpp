// The HTTP transport and the retry loops against misbehaving stand-ins.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "confsrv_fixture.h"
#include "server/jsonrpc_client.h"
#include "server/jsonrpc_connector.h"
#include "server/netstring.h"

namespace {

using confsrv_test::ConfSrv;
using confsrv_test::logText;
using confsrv_test::parseJson;
using confsrv_test::StdoutCapture;
using mtr_test::countLinesContaining;
using mtr_test::ScopedEnv;

const char kConfig[] = R"({"7": {"manufacturer": "ce301", "serial": "0815",
  "port_params": {"name": "/dev/ttyS2", "speed": "9600", "alias": "RS485-2"},
  "systems": {"system_1": "heat", "system_2": "water"}}})";
const char kGet7[] =
    R"({"id":1,"jsonrpc":"2.0","method":"get_config","params":{"heat_meter":"7"}})";

std::string drain(Json::Rpc::HttpClient& client, int* pieces = nullptr) {
  std::string all, chunk;
  int n = 0;
  while (client.Recv(chunk) > 0) {
    all += chunk;
    ++n;
  }
  if (pieces) *pieces = n;
  return all;
}

TEST(HttpClient, PostsAndQueuesTheAnswer) {
  ConfSrv srv(kConfig);
  ASSERT_TRUE(srv.started());
  Json::Rpc::HttpClient client(srv.url());
  EXPECT_EQ(0, client.Connect());
  std::string out = "untouched";
  EXPECT_EQ(0, client.Recv(out));
  EXPECT_EQ("untouched", out);

  ASSERT_EQ(0, client.Send(kGet7));
  std::string body = drain(client);
  EXPECT_EQ("ce301", parseJson(body)["result"]["manufacturer"].asString());
  EXPECT_EQ(kGet7, srv.records().at(0)["body"].asString());

  // The same handle posts again.
  ASSERT_EQ(0, client.Send(kGet7));
  EXPECT_EQ(body, drain(client));
}

TEST(HttpClient, FailuresAreReturnedNotThrown) {
  ConfSrv srv(kConfig);
  ASSERT_TRUE(srv.started());
  Json::Rpc::HttpClient empty("");
  EXPECT_EQ(-1, empty.Send(kGet7));

  int port = mtr_test::freePort();
  Json::Rpc::HttpClient refused("http://127.0.0.1:" + std::to_string(port) + "/");
  EXPECT_EQ(7, refused.Send(kGet7));  // couldn't connect
  std::string out;
  EXPECT_EQ(0, refused.Recv(out));

  Json::Rpc::HttpClient bad("no-such-scheme://x/");
  EXPECT_NE(0, bad.Send(kGet7));
  EXPECT_TRUE(srv.records().empty());
}

TEST(HttpClient, PortOverridesTheAddress) {
  ConfSrv srv(kConfig);
  ASSERT_TRUE(srv.started());
  Json::Rpc::HttpClient a("http://127.0.0.1/", static_cast<uint16_t>(srv.config_port));
  EXPECT_EQ(srv.config_port, a.GetPort());
  ASSERT_EQ(0, a.Send(kGet7));
  Json::Rpc::HttpClient b("http://127.0.0.1:1/");
  b.SetPort(static_cast<uint16_t>(srv.config_port));
  ASSERT_EQ(0, b.Send(kGet7));
  EXPECT_EQ(2u, srv.records().size());
}

TEST(HttpClient, NetstringFraming) {
  ConfSrv srv(kConfig);
  ASSERT_TRUE(srv.started());
  Json::Rpc::HttpClient client(srv.url());
  client.SetEncapsulatedFormat(1);
  ASSERT_EQ(0, client.Send(kGet7));
  std::string sent = srv.records().at(0)["body"].asString();
  EXPECT_EQ(std::to_string(strlen(kGet7)) + ":" + kGet7 + ",", sent);
  EXPECT_EQ(kGet7, netstring::decode(sent));
  // The stand-in speaks plain JSON, so it cannot parse the framed body.
  EXPECT_EQ(-32700, parseJson(drain(client))["error"]["code"].asInt());
}

TEST(HttpClient, ChunksQueueSeparately) {
  ConfSrv srv(kConfig, {"--chunk", "9"});
  ASSERT_TRUE(srv.started());
  Json::Rpc::HttpClient client(srv.url());
  ASSERT_EQ(0, client.Send(kGet7));
  EXPECT_GT(client.ReceivedCount(), 1u);
  int pieces = 0;
  std::string body = drain(client, &pieces);
  EXPECT_GT(pieces, 1);
  EXPECT_EQ(0u, client.ReceivedCount());
  EXPECT_EQ("ce301", parseJson(body)["result"]["manufacturer"].asString());

  // With a limit of one only the newest chunk is kept.
  client.SetMaxReceived(1);
  ASSERT_EQ(0, client.Send(kGet7));
  EXPECT_EQ(1u, client.ReceivedCount());
  std::string last;
  EXPECT_GT(client.Recv(last), 0);
  EXPECT_LE(last.size(), 9u);
  EXPECT_EQ(body.substr(body.size() - last.size()), last);
}

TEST(HttpClient, TextStopsAtNul) {
  ConfSrv srv(kConfig, {"--fault", "nul"});
  ASSERT_TRUE(srv.started());
  Json::Rpc::HttpClient client(srv.url());
  ASSERT_EQ(0, client.Send(kGet7));
  EXPECT_EQ("{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{}}", drain(client));
}

TEST(Retry, ChunkedAnswerIsJoined) {
  ConfSrv srv(kConfig, {"--chunk", "5"});
  ASSERT_TRUE(srv.started());
  ScopedEnv env("MTR_CONFIG_URL", srv.url().c_str());
  StdoutCapture out;
  CJSONRPCConnector c("7", 0);
  auto groups = c.GetInitParameters1();
  EXPECT_EQ("ce301", c.manufacturer);
  EXPECT_EQ(815, c.serial);
  EXPECT_EQ("RS485-2", c.alias);
  EXPECT_EQ("heat;water;", groups.front().systems.front().at("systems"));
  EXPECT_EQ(1u, srv.records().size());
  // The whole answer is printed as one line.
  EXPECT_EQ(1, countLinesContaining(out.text(), "result JSONRPC {\"id\":1,"));
}

TEST(Retry, UnparseableAnswersAreRetried) {
  ConfSrv srv(kConfig,
              {"--fault", "empty", "--fault", "html", "--fault", "garbage", "--fault", "deep"});
  ASSERT_TRUE(srv.started());
  ScopedEnv env("MTR_CONFIG_URL", srv.url().c_str());
  StdoutCapture out;
  int before = countLinesContaining(logText(), "Error while parsing data! retry!!!");
  CJSONRPCConnector c("7", 0);
  c.setRetrySeconds(1);
  auto t0 = std::chrono::steady_clock::now();
  c.GetInitParameters1();
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ("ce301", c.manufacturer);
  EXPECT_GE(took, 3.9);
  EXPECT_LT(took, 8.0);
  std::string log = logText();
  EXPECT_EQ(before + 4, countLinesContaining(log, "Error while parsing data! retry!!!"));
  EXPECT_GE(countLinesContaining(log, "Response String - <html>"), 1);
  // Every attempt carries the same request.
  auto recs = srv.records();
  ASSERT_EQ(5u, recs.size());
  for (const auto& r : recs) EXPECT_EQ(recs[0]["body"], r["body"]);
  EXPECT_EQ(2u, c.nextRequestId());
}

TEST(Sensor, RetriesEveryFewMilliseconds) {
  ConfSrv srv(kConfig,
              {"--sensor-fault", "empty", "--sensor-fault", "html", "--sensor-fault", "garbage"});
  ASSERT_TRUE(srv.started());
  ScopedEnv env("MTR_SENSOR_URL", srv.sensorUrl().c_str());
  int before = countLinesContaining(logText(), "ExecSensorsJSONRPCFunc() - ERROR PARSING DATA");
  CJSONRPCConnector c("7", 0);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(c.ExecSensorsJSONRPCFunc(true, 2));
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 2.0);
  auto recs = srv.recordsOn(srv.sensor_port);
  ASSERT_EQ(4u, recs.size());
  for (const auto& r : recs) EXPECT_EQ(recs[0]["body"], r["body"]);
  EXPECT_EQ("teploKV.SRVC_OUT3", recs[0]["params"][4].asString());
  EXPECT_EQ(before + 3,
            countLinesContaining(logText(), "ExecSensorsJSONRPCFunc() - ERROR PARSING DATA"));
}

TEST(Sensor, WaitsForTheServiceToStart) {
  int port = mtr_test::freePort();
  std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
  ScopedEnv env("MTR_SENSOR_URL", url.c_str());
  int before = countLinesContaining(logText(), "ERROR SENDING DATA = 7");
  CJSONRPCConnector c("7", 0);
  auto t0 = std::chrono::steady_clock::now();
  auto pending =
      std::async(std::launch::async, [&c] { return c.ExecSensorsJSONRPCFunc(false, 1); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ConfSrv srv(kConfig, {}, 0, port);
  ASSERT_TRUE(srv.started());
  ASSERT_EQ(std::future_status::ready, pending.wait_for(std::chrono::seconds(5)));
  EXPECT_TRUE(pending.get());
  double waited_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  // Refused again and again, but never faster than one attempt per 5 ms.
  int refused = countLinesContaining(logText(), "ERROR SENDING DATA = 7") - before;
  EXPECT_GT(refused, 3);
  EXPECT_LE(refused, waited_ms / 5 + 1);
  ASSERT_EQ(1u, srv.recordsOn(port).size());
  EXPECT_FALSE(srv.recordsOn(port)[0]["params"][2].asBool());
}

}  // namespace
