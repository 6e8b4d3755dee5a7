// The daemon's configuration-server link against a real mtr-confsrv.
#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <future>
#include <thread>

#include "base/logger.h"
#include "server/jsonrpc_client.h"
#include "server/jsonrpc_connector.h"
#include "support/test_support.h"

namespace {

using mtr_test::readFile;
using mtr_test::ScopedEnv;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

Json::Value parseJson(const std::string& text) {
  Json::Value v;
  return Json::Reader().parse(text, v) ? v : Json::Value();
}

std::string urlOf(int port) {
  return "http://127.0.0.1:" + std::to_string(port) + "/";
}

// A running mtr-confsrv with its own config and record files.
struct ConfSrv {
  mtr_test::TempDir dir;
  int config_port = -1, sensor_port = -1;
  std::unique_ptr<mtr_test::Child> child;

  ConfSrv(const std::string& config, std::vector<std::string> args = {}, int port = 0,
          int sensor = 0) {
    mtr_test::writeFile(dir / "config.json", config);
    args.insert(args.begin(), {mtr_test::binPath("mtr-confsrv"), "--config", dir / "config.json",
                               "--port", std::to_string(port), "--sensor-port",
                               std::to_string(sensor), "--record", dir / "record.jsonl"});
    child = std::make_unique<mtr_test::Child>(args, dir / "out", dir / "err");
    // a sanitized build starts slowly on a busy machine
    mtr_test::waitFor([&] { return readFile(dir / "out").find('\n') != std::string::npos; }, 30000);
    if (sscanf(readFile(dir / "out").c_str(), "config-port=%d sensor-port=%d", &config_port,
               &sensor_port) != 2)
      config_port = -1;
  }
  ~ConfSrv() { stop(); }
  std::vector<Json::Value> records(int port = 0) const {
    std::vector<Json::Value> out;
    for (const std::string& line : mtr_test::splitLines(readFile(dir / "record.jsonl")))
      if (!line.empty() && (port == 0 || parseJson(line)["port"].asInt() == port))
        out.push_back(parseJson(line));
    return out;
  }
  // SIGTERM; the exit status, or -1 when it did not stop within 5 s.
  int stop() {
    mtr_test::ProcessResult r;
    bool ok = child && (child->kill(SIGTERM), child->wait(5000, &r));
    child.reset();
    return ok ? r.status : -1;
  }
};

// A logger per test; the client prints every request and answer on standard output.
class Link : public ::testing::Test {
 protected:
  void SetUp() override {
    delete logger::instance();
    logger::getInstance((dir_ / "mtr.log").c_str(), false)->setLevel(TL_DEBUG);
  }
  void TearDown() override { delete logger::instance(); }
  int logCount(const std::string& s) {
    return mtr_test::countLinesContaining(readFile(dir_ / "mtr.log"), s);
  }
  void pointAt(const ConfSrv& srv) {
    config_url_ = std::make_unique<ScopedEnv>("MTR_CONFIG_URL", urlOf(srv.config_port).c_str());
    sensor_url_ = std::make_unique<ScopedEnv>("MTR_SENSOR_URL", urlOf(srv.sensor_port).c_str());
  }

  mtr_test::TempDir dir_;
  std::unique_ptr<ScopedEnv> config_url_, sensor_url_;
};

const char kMercury[] = R"({"1001": {
  "manufacturer": "mercury230", "serial": "41234567", "password": "111111",
  "port_params": {"name": "/dev/ttyS1", "speed": "9600", "parity": "none"}}})";

TEST_F(Link, RequestTextAndIdsAcrossMethods) {
  ConfSrv srv(kMercury);
  ASSERT_GT(srv.config_port, 0);
  pointAt(srv);
  CJSONRPCConnector c("1001", 0);
  testing::internal::CaptureStdout();
  c.GetInitParameters1();
  const std::string printed = testing::internal::GetCapturedStdout();
  const MeasuredValueList values = {
      {39, Current, "230.5", "V", 192, 0x1F, 12, 1700000000},
      {156, Journal_Event_Next, "1", "", 0, 0, 0, 1},  // has no server name
      {50, Daily, "12.5", "kWh", 0, 0xFF, 255, -5},
  };
  EXPECT_TRUE(c.SendParameters2(values));
  EXPECT_TRUE(c.SendParameters_right(values));
  EXPECT_TRUE(c.SendAllCurrentValues(values));
  EXPECT_TRUE(c.SendAllCurrentValues({*std::next(values.begin())}));
  EXPECT_TRUE(c.ExecSensorsJSONRPCFunc(true, 1));
  EXPECT_TRUE(c.ExecSensorsJSONRPCFunc(false, 2));
  // lines other than 1 and 2 are refused without a request or an id
  EXPECT_FALSE(c.ExecSensorsJSONRPCFunc(true, 0));
  EXPECT_FALSE(c.ExecSensorsJSONRPCFunc(true, 3));
  EXPECT_EQ(10u, c.nextRequestId());

  const std::pair<bool, std::string> expected[] = {
      {false, R"({"id":1,"jsonrpc":"2.0","method":"get_config","params":{"heat_meter":"1001"}})"},
      {false,
       R"({"id":2,"jsonrpc":"2.0","method":"put_one_value","params":{"dim":"V","error":"1f",)"
       R"("opc_quality":192,"sys":"12","timestamp":1700000000,"value":"230.5","value_name":"VA"}})"},
      {false,
       R"({"id":3,"jsonrpc":"2.0","method":"put_one_value","params":{"dim":"kWh","error":"ff",)"
       R"("opc_quality":0,"sys":"255","timestamp":-5,"value":"12.5","value_name":"A212"}})"},
      {false, R"({"id":4,"jsonrpc":"2.0","method":"put_current_value","params":{"opc_quality":192,)"
              R"("timestamp":1700000000,"value":"230.5","value_name":"VA"}})"},
      {false, R"({"id":5,"jsonrpc":"2.0","method":"put_current_value","params":{"opc_quality":0,)"
              R"("timestamp":-5,"value":"12.5","value_name":"A212"}})"},
      {false, R"({"id":6,"jsonrpc":"2.0","method":"put_all_current_values","params":[{"dim":"V",)"
              R"("error":"1f","name":"VA","quality":192,"sys":"12","timestamp":1700000000,)"
              R"("value":"230.5"},{"dim":"kWh","error":"ff","name":"A212","quality":0,"sys":"255",)"
              R"("timestamp":-5,"value":"12.5"}]})"},
      {false, R"({"id":7,"jsonrpc":"2.0","method":"put_all_current_values"})"},
      {true, R"({"id":8,"jsonrpc":"2.0","method":"create_action","params":["EventRelay",)"
             R"("SensorTeploKVbinary",true,0,"teploKV.SRVC_OUT2"]})"},
      {true, R"({"id":9,"jsonrpc":"2.0","method":"create_action","params":["EventRelay",)"
             R"("SensorTeploKVbinary",false,0,"teploKV.SRVC_OUT3"]})"},
  };
  auto recs = srv.records();
  ASSERT_EQ(std::size(expected), recs.size());
  for (size_t i = 0; i < recs.size(); ++i) {
    EXPECT_EQ(expected[i].first ? srv.sensor_port : srv.config_port, recs[i]["port"].asInt());
    EXPECT_EQ(expected[i].second + "\n", recs[i]["body"].asString()) << i;
    EXPECT_EQ("application/json-rpc", recs[i]["content_type"].asString());
  }
  EXPECT_NE(std::string::npos,
            printed.find("CJSONRPCConnector::ExecJSONRPCFunc query is " + expected[0].second));
  EXPECT_EQ(1, logCount("WRONG RS232 NUMBER 3"));
  EXPECT_EQ(0, srv.stop());  // the stand-in ends cleanly on SIGTERM
}

// Settings numbers and the systems scan (period defaults are held by the fuzz seeds).
TEST_F(Link, ConfigurationAnswers) {
  ConfSrv srv(R"({"500": {"serial": "12ab", "data_rate": 5,
            "port_params": {"name": "/dev/ttyS1", "speed": "9600x", "alias": "RS485-1"}},
    "big": {"serial": "99999999999999", "data_rate": "-99999999999"},
    "s1": {"systems": {"system_1": "a", "system_2": "", "system_3": "c"}},
    "s0": {"systems": {"system_0": "x", "system_2": "y"}},
    "odd": {"systems": {"sys1": "z", "system_5": "w", "system_6": [1], "system_7": 4,
                        "system_8": null, "system_9": {"v": 1}}},
    "empty": {"systems": {"system_1": ""}}})");
  pointAt(srv);
  CJSONRPCConnector c("500", 0);
  c.GetInitParameters1();
  MeterSettings m = c.Settings();
  EXPECT_EQ(
      std::make_tuple(500, 12, std::string("12ab"), 9600, 5, std::string("RS485-1")),
      std::make_tuple(m.meter_number, m.serial, m.serial_text, m.speed, m.data_rate, m.alias));
  CJSONRPCConnector big("big", 0);  // out-of-range numbers clamp
  big.GetInitParameters1();
  EXPECT_EQ(std::make_pair(INT_MAX, INT_MIN), std::make_pair(big.serial, big.data_rate));

  struct Case {
    const char* id;
    int start;
    const char* joined;  // null: no "systems" setting
    std::map<int, std::string> systems;
    int current;
  } cases[] = {
      {"s1", 0, "a;c;", {{1, "a"}, {3, "c"}}, 0},
      {"s1", 5, "a;c;", {{1, "a"}, {3, "c"}}, 0},
      {"s0", 0, "x;y;", {{0, "x"}, {2, "y"}}, -1},
      {"odd", 9, "w;4;", {{5, "w"}, {7, "4"}}, 4},
      {"empty", 3, nullptr, {}, 3},
  };
  for (const Case& k : cases) {
    CJSONRPCConnector conn(k.id, k.start);
    const SettingsMap s = conn.GetInitParameters1().front().systems.front();
    EXPECT_EQ(k.joined ? k.joined : "<none>", s.count("systems") ? s.at("systems") : "<none>");
    EXPECT_EQ(k.systems, conn.systems) << k.id;
    EXPECT_EQ(k.current, conn.Settings().current_system) << k.id << " from " << k.start;
  }
  EXPECT_EQ(1, logCount("Warning: CJSONRPCConnector::GetInitParameters1 system name 'sys1'"));
}

// Services up late: config retried after 5 s, sensors at once but at most every 5 ms.
TEST_F(Link, ServicesStartingLateAreReachedByRetries) {
  int port = mtr_test::freePort(), sensor_port = mtr_test::freePort();
  ScopedEnv env("MTR_CONFIG_URL", urlOf(port).c_str());
  ScopedEnv sensor_env("MTR_SENSOR_URL", urlOf(sensor_port).c_str());
  auto t0 = Clock::now();
  CJSONRPCConnector c("1001", 0), s("7", 0);
  auto config = std::async(std::launch::async, [&c] { return c.GetInitParameters1(); });
  auto sensor = std::async(std::launch::async, [&s] { return s.ExecSensorsJSONRPCFunc(false, 1); });
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_EQ(std::future_status::timeout, config.wait_for(std::chrono::milliseconds(0)));
  ConfSrv srv(kMercury, {"--sensor-fault", "html", "--sensor-fault", "garbage"}, port, sensor_port);
  ASSERT_EQ(port, srv.config_port);
  ASSERT_EQ(std::future_status::ready, sensor.wait_for(std::chrono::seconds(5)));
  EXPECT_TRUE(sensor.get());
  double sensor_ms = secondsSince(t0) * 1000;
  ASSERT_EQ(std::future_status::ready, config.wait_for(std::chrono::seconds(10)));
  EXPECT_EQ("/dev/ttyS1", config.get().front().port_params.at("name"));
  // one failed attempt, then the second one five seconds later
  EXPECT_GE(secondsSince(t0), 4.8);
  EXPECT_LT(secondsSince(t0), 7.5);
  EXPECT_EQ(1, logCount("Error while sending data! retry!!! wait 5 sec. Error code - 7"));
  EXPECT_EQ(1u, srv.records(port).size());
  int refused = logCount("ERROR SENDING DATA = 7");
  EXPECT_GT(refused, 3);
  EXPECT_LE(refused, sensor_ms / 5 + 1);
  EXPECT_EQ(2, logCount("ExecSensorsJSONRPCFunc() - ERROR PARSING DATA"));
  auto recs = srv.records(sensor_port);
  ASSERT_EQ(3u, recs.size());
  EXPECT_EQ(recs[0]["body"], recs[2]["body"]);
  EXPECT_FALSE(recs[0]["params"][2].asBool());
}

// Unparseable answers retried; the bare client: transfer errors, chunks, netstrings.
TEST_F(Link, UnparseableAnswersRetriedAndHttpClientTransport) {
  ConfSrv srv(kMercury, {"--chunk", "5", "--fault", "empty", "--fault", "html", "--fault",
                         "garbage", "--fault", "deep"});
  pointAt(srv);
  CJSONRPCConnector c("1001", 0);
  c.setRetrySeconds(1);
  auto t0 = Clock::now();
  testing::internal::CaptureStdout();
  c.GetInitParameters1();
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ("mercury230", c.manufacturer);
  EXPECT_GE(secondsSince(t0), 3.9);
  EXPECT_LT(secondsSince(t0), 8.0);
  EXPECT_EQ(4, logCount("Error while parsing data! retry!!!"));
  EXPECT_EQ(1, logCount("Response String - <html>"));
  auto recs = srv.records();  // every attempt carries the same request
  ASSERT_EQ(5u, recs.size());
  for (const auto& r : recs) EXPECT_EQ(recs[0]["body"], r["body"]);
  EXPECT_EQ(2u, c.nextRequestId());
  // the answer came in 5-byte chunks and is printed as one line
  EXPECT_EQ(1, mtr_test::countLinesContaining(
                   printed, R"(result JSONRPC {"id":1,"jsonrpc":"2.0","result":{"manufacturer")"));

  const std::string get = recs[0]["body"].asString();
  EXPECT_EQ(-1, Json::Rpc::HttpClient("").Send(get));  // no address: no transfer
  Json::Rpc::HttpClient refused(urlOf(mtr_test::freePort()));
  EXPECT_EQ(7, refused.Send(get));  // couldn't connect
  std::string body, chunk;
  EXPECT_EQ(0, refused.Recv(chunk));
  Json::Rpc::HttpClient client(urlOf(srv.config_port));
  ASSERT_EQ(0, client.Send(get));
  EXPECT_EQ(get, srv.records().at(5)["body"].asString());
  int pieces = 0;
  for (; client.Recv(chunk) > 0; ++pieces) body += chunk;
  EXPECT_GT(pieces, 1);  // one queue entry per chunk
  EXPECT_EQ("mercury230", parseJson(body)["result"]["manufacturer"].asString());
  client.SetEncapsulatedFormat(1);
  ASSERT_EQ(0, client.Send(get));
  EXPECT_EQ(std::to_string(get.size()) + ":" + get + ",", srv.records().at(6)["body"].asString());
}

}  // namespace
