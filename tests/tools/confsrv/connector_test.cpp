// The daemon's configuration-server link against a real mtr-confsrv.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <future>
#include <thread>

#include "confsrv_fixture.h"
#include "server/jsonrpc_connector.h"

namespace {

using confsrv_test::ConfSrv;
using confsrv_test::logText;
using confsrv_test::StdoutCapture;
using mtr_test::countLinesContaining;
using mtr_test::ScopedEnv;

double secondsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

MeasuredValue value(uint32_t kind, uint32_t code, const char* text, const char* dim,
                    int32_t quality, uint8_t error, uint8_t sys, int32_t ts) {
  MeasuredValue v;
  v.kind = kind;
  v.param_code = code;
  v.value = text;
  v.dim = dim;
  v.opc_quality = quality;
  v.error = error;
  v.sys = sys;
  v.timestamp = ts;
  return v;
}

// Points the daemon's URLs at one stand-in.
struct Urls {
  explicit Urls(const ConfSrv& srv)
      : config("MTR_CONFIG_URL", srv.url().c_str()),
        sensor("MTR_SENSOR_URL", srv.sensorUrl().c_str()) {}
  ScopedEnv config, sensor;
};

const char kMercury[] = R"({"1001": {
  "manufacturer": "mercury230", "serial": "41234567", "password": "111111",
  "port_params": {"name": "/dev/ttyS1", "speed": "9600", "parity": "none"}}})";

TEST(Connector, RequestTextAndIdsAcrossMethods) {
  ConfSrv srv(kMercury);
  ASSERT_TRUE(srv.started());
  Urls urls(srv);
  StdoutCapture out;

  CJSONRPCConnector c("1001", 0);
  EXPECT_EQ(1u, c.nextRequestId());
  c.GetInitParameters1();

  const MeasuredValueList values = {
      value(Current, 39, "230.5", "V", 192, 0x1F, 12, 1700000000),
      value(Journal_Event_Next, 156, "1", "", 0, 0, 0, 1),  // has no server name
      value(Daily, 50, "12.5", "kWh", 0, 0, 0, -5),
  };
  EXPECT_TRUE(c.SendParameters2(values));
  EXPECT_TRUE(c.SendParameters_right(values));
  EXPECT_TRUE(c.SendAllCurrentValues(values));
  EXPECT_TRUE(c.SendAllCurrentValues({*std::next(values.begin())}));
  EXPECT_TRUE(c.SendAllCurrentValues({}));
  EXPECT_TRUE(c.ExecSensorsJSONRPCFunc(true, 1));
  EXPECT_TRUE(c.ExecSensorsJSONRPCFunc(false, 2));
  // Lines other than 1 and 2 are refused without a request or an id.
  EXPECT_FALSE(c.ExecSensorsJSONRPCFunc(true, 0));
  EXPECT_FALSE(c.ExecSensorsJSONRPCFunc(true, 3));
  EXPECT_EQ(11u, c.nextRequestId());

  const std::vector<std::pair<bool, std::string>> expected = {
      {false,
       "{\"id\":1,\"jsonrpc\":\"2.0\",\"method\":\"get_config\",\"params\":{\"heat_meter\":"
       "\"1001\"}}\n"},
      {false,
       "{\"id\":2,\"jsonrpc\":\"2.0\",\"method\":\"put_one_value\",\"params\":{\"dim\":\"V\","
       "\"error\":\"1f\",\"opc_quality\":192,\"sys\":\"12\",\"timestamp\":1700000000,"
       "\"value\":\"230.5\",\"value_name\":\"VA\"}}\n"},
      {false,
       "{\"id\":3,\"jsonrpc\":\"2.0\",\"method\":\"put_one_value\",\"params\":{\"dim\":\"kWh\","
       "\"error\":\"0\",\"opc_quality\":0,\"sys\":\"0\",\"timestamp\":-5,\"value\":\"12.5\","
       "\"value_name\":\"A212\"}}\n"},
      {false,
       "{\"id\":4,\"jsonrpc\":\"2.0\",\"method\":\"put_current_value\",\"params\":{"
       "\"opc_quality\":192,\"timestamp\":1700000000,\"value\":\"230.5\",\"value_name\":"
       "\"VA\"}}\n"},
      {false,
       "{\"id\":5,\"jsonrpc\":\"2.0\",\"method\":\"put_current_value\",\"params\":{"
       "\"opc_quality\":0,\"timestamp\":-5,\"value\":\"12.5\",\"value_name\":\"A212\"}}\n"},
      {false,
       "{\"id\":6,\"jsonrpc\":\"2.0\",\"method\":\"put_all_current_values\",\"params\":[{"
       "\"dim\":\"V\",\"error\":\"1f\",\"name\":\"VA\",\"quality\":192,\"sys\":\"12\","
       "\"timestamp\":1700000000,\"value\":\"230.5\"},{\"dim\":\"kWh\",\"error\":\"0\","
       "\"name\":\"A212\",\"quality\":0,\"sys\":\"0\",\"timestamp\":-5,\"value\":\"12.5\"}]}\n"},
      {false, "{\"id\":7,\"jsonrpc\":\"2.0\",\"method\":\"put_all_current_values\"}\n"},
      {false, "{\"id\":8,\"jsonrpc\":\"2.0\",\"method\":\"put_all_current_values\"}\n"},
      {true,
       "{\"id\":9,\"jsonrpc\":\"2.0\",\"method\":\"create_action\",\"params\":[\"EventRelay\","
       "\"SensorTeploKVbinary\",true,0,\"teploKV.SRVC_OUT2\"]}\n"},
      {true,
       "{\"id\":10,\"jsonrpc\":\"2.0\",\"method\":\"create_action\",\"params\":[\"EventRelay\","
       "\"SensorTeploKVbinary\",false,0,\"teploKV.SRVC_OUT3\"]}\n"},
  };
  auto recs = srv.records();
  ASSERT_EQ(expected.size(), recs.size());
  for (size_t i = 0; i < recs.size(); ++i) {
    EXPECT_EQ(expected[i].first ? srv.sensor_port : srv.config_port, recs[i]["port"].asInt()) << i;
    EXPECT_EQ(expected[i].second, recs[i]["body"].asString()) << i;
    EXPECT_EQ("application/json-rpc", recs[i]["content_type"].asString());
    EXPECT_EQ("application/json-rpc", recs[i]["accept"].asString());
  }

  const std::string text = out.text();
  auto printed = [&text](const std::string& prefix, const std::string& body) {
    return text.find(prefix + body) != std::string::npos;
  };
  EXPECT_TRUE(printed("CJSONRPCConnector::ExecJSONRPCFunc query is ", expected[0].second));
  EXPECT_TRUE(printed("CJSONRPCConnector::SendParameters2 query is ", expected[1].second));
  EXPECT_TRUE(printed("CJSONRPCConnector::SendParameters_right query is ", expected[4].second));
  EXPECT_TRUE(printed("CJSONRPCConnector::ExecJSONRPCFunc query is ", expected[5].second));
  EXPECT_EQ(8, countLinesContaining(text, "result JSONRPC {"));
  std::string log = logText();
  EXPECT_GE(countLinesContaining(log, "WRONG RS232 NUMBER 0"), 1);
  EXPECT_GE(countLinesContaining(log, "WRONG RS232 NUMBER 3"), 1);
}

TEST(Connector, ErrorAndSystemRendering) {
  ConfSrv srv("{}");
  ASSERT_TRUE(srv.started());
  Urls urls(srv);
  StdoutCapture out;
  struct Case {
    uint8_t error, sys;
    const char* error_text;
    const char* sys_text;
  };
  const Case cases[] = {{0, 0, "0", "0"},
                        {0xFF, 10, "ff", "10"},
                        {0x1F, 12, "1f", "12"},
                        {0x0A, 255, "a", "255"},
                        {0x10, 1, "10", "1"}};
  MeasuredValueList values;
  for (const Case& c : cases) values.push_back(value(System, 74, "S", "", 0, c.error, c.sys, 0));
  CJSONRPCConnector conn("1", 0);
  conn.SendParameters2(values);
  conn.SendAllCurrentValues(values);
  auto recs = srv.records();
  ASSERT_EQ(6u, recs.size());
  const Json::Value& all = recs[5]["params"];
  ASSERT_EQ(5u, all.size());
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(cases[i].error_text, recs[i]["params"]["error"].asString()) << i;
    EXPECT_EQ(cases[i].sys_text, recs[i]["params"]["sys"].asString()) << i;
    EXPECT_EQ(cases[i].error_text, all[Json::ArrayIndex(i)]["error"].asString()) << i;
    EXPECT_EQ(cases[i].sys_text, all[Json::ArrayIndex(i)]["sys"].asString()) << i;
    EXPECT_EQ("SerialNumber", all[Json::ArrayIndex(i)]["name"].asString());
  }
}

TEST(Config, PollingPeriodDefaults) {
  ConfSrv srv(R"({
    "1": {"manufacturer": "vkt-7"},
    "2": {"manufacturer": "vkt-9"},
    "3": {"manufacturer": "km-5"},
    "4": {"manufacturer": "tv7km-5-x"},
    "5": {"manufacturer": "vkt-7a"},
    "6": {"manufacturer": "VKT-7"},
    "7": {"manufacturer": "vkt-7", "period_current": "60"},
    "8": {"manufacturer": "km-5", "period_current": 3600},
    "9": {},
    "10": {"manufacturer": "mercury230"},
    "11": {"manufacturer": "KM-5"}
  })");
  ASSERT_TRUE(srv.started());
  Urls urls(srv);
  StdoutCapture out;
  const std::pair<const char*, const char*> cases[] = {
      {"1", "14400"}, {"2", "5400"}, {"3", "300"}, {"4", "300"}, {"5", "20"}, {"6", "20"},
      {"7", "60"},    {"8", "3600"}, {"9", "20"},  {"10", "20"}, {"11", "20"}};
  for (const auto& c : cases) {
    CJSONRPCConnector conn(c.first, 0);
    auto groups = conn.GetInitParameters1();
    ASSERT_EQ(1u, groups.size());
    ASSERT_EQ(1u, groups.front().systems.size());
    const SettingsMap& s = groups.front().systems.front();
    ASSERT_EQ(1u, s.count("period_current")) << c.first;
    EXPECT_EQ(c.second, s.at("period_current")) << c.first;
    // A missing model still leaves an empty entry.
    ASSERT_EQ(1u, s.count("manufacturer")) << c.first;
    EXPECT_EQ(conn.manufacturer, s.at("manufacturer"));
  }
}

TEST(Config, FlatteningAndTypedFields) {
  ConfSrv srv(R"({"500": {
    "manufacturer": "mercury230", "serial": "12ab", "true_serial": "0012345678",
    "password": "111111", "password_type": "hex", "password1": "p1", "password2": "p2",
    "data_rate": 5, "flag": true, "ratio": 2.5, "count": -7, "nothing": null,
    "list": [1, 2], "nested": {"x": 1}, "net_address": "45",
    "port_params": {"name": "/dev/ttyS1", "speed": "9600x", "alias": "RS485-1",
                    "stop": [1], "inner": {"a": 1}, "echo": false}
  }})");
  ASSERT_TRUE(srv.started());
  Urls urls(srv);
  StdoutCapture out;
  CJSONRPCConnector c("500", 0);
  auto groups = c.GetInitParameters1();
  ASSERT_EQ(1u, groups.size());
  const SettingsMap expected_s = {{"count", "-7"},          {"data_rate", "5"},
                                  {"flag", "true"},         {"manufacturer", "mercury230"},
                                  {"net_address", "45"},    {"nothing", ""},
                                  {"password", "111111"},   {"password1", "p1"},
                                  {"password2", "p2"},      {"password_type", "hex"},
                                  {"period_current", "20"}, {"ratio", "2.5"},
                                  {"serial", "12ab"},       {"true_serial", "0012345678"}};
  const SettingsMap expected_p = {
      {"alias", "RS485-1"}, {"echo", "false"}, {"name", "/dev/ttyS1"}, {"speed", "9600x"}};
  EXPECT_EQ(expected_s, groups.front().systems.front());
  EXPECT_EQ(expected_p, groups.front().port_params);
  EXPECT_EQ(expected_s, c.settings);

  EXPECT_EQ(12, c.serial);
  EXPECT_EQ("12ab", c.serial_text);
  EXPECT_EQ("0012345678", c.true_serial);
  EXPECT_EQ("mercury230", c.manufacturer);
  EXPECT_EQ("111111", c.password);
  EXPECT_EQ("hex", c.password_type);
  EXPECT_EQ("p1", c.password1);
  EXPECT_EQ("p2", c.password2);
  EXPECT_EQ(5, c.data_rate);
  EXPECT_EQ(9600, c.speed);
  EXPECT_EQ("RS485-1", c.alias);

  MeterSettings m = c.Settings();
  EXPECT_EQ("500", m.meter_id);
  EXPECT_EQ(500, m.meter_number);
  EXPECT_EQ(12, m.serial);
  EXPECT_EQ("12ab", m.serial_text);
  EXPECT_EQ(9600, m.speed);
  EXPECT_EQ(5, m.data_rate);
  EXPECT_EQ("RS485-1", m.alias);
  EXPECT_EQ(expected_s, m.settings);
}

TEST(Config, UnusableAnswersCountAsAbsent) {
  std::string big(1 << 20, 'k');
  std::string deep_obj, deep_arr;
  for (int i = 0; i < 900; ++i) deep_obj += "{\"a\":";
  deep_obj += "1" + std::string(900, '}');
  deep_arr = std::string(900, '[') + std::string(900, ']');
  ConfSrv srv(R"({"n1": 5, "n2": [1, 2], "n3": "text", "n4": null, "n5": true,
    "big": {"manufacturer": "vkt-9", "password": ")" +
              big + R"(", "deep": )" + deep_obj + R"(, "deeparr": )" + deep_arr +
              R"(, "port_params": [1], "systems": "system_1",
      "serial": "99999999999999", "data_rate": "-99999999999"},
    "pp": {"port_params": "RS485", "systems": [{"system_1": "a"}]}})");
  ASSERT_TRUE(srv.started());
  Urls urls(srv);
  StdoutCapture out;

  // A non-object or missing "result" (the unknown meter gets an error object).
  for (const char* id : {"n1", "n2", "n3", "n4", "n5", "unknown"}) {
    auto t0 = std::chrono::steady_clock::now();
    CJSONRPCConnector c(id, 0);
    auto groups = c.GetInitParameters1();
    EXPECT_LT(secondsSince(t0), 2.0) << id;
    ASSERT_EQ(1u, groups.size()) << id;
    EXPECT_TRUE(groups.front().port_params.empty()) << id;
    const SettingsMap expected = {{"manufacturer", ""}, {"period_current", "20"}};
    EXPECT_EQ(expected, groups.front().systems.front()) << id;
    EXPECT_EQ("", c.manufacturer);
    EXPECT_EQ(0, c.serial);
    EXPECT_TRUE(c.systems.empty());
  }

  CJSONRPCConnector c("big", 0);
  auto groups = c.GetInitParameters1();
  const SettingsMap& s = groups.front().systems.front();
  EXPECT_EQ(big, c.password);
  EXPECT_EQ("5400", s.at("period_current"));
  EXPECT_EQ(0u, s.count("deep"));
  EXPECT_EQ(0u, s.count("deeparr"));
  EXPECT_TRUE(groups.front().port_params.empty());
  // A scalar "systems" is an ordinary setting, not a systems list.
  EXPECT_EQ("system_1", s.at("systems"));
  EXPECT_TRUE(c.systems.empty());
  // Out-of-range numbers clamp.
  EXPECT_EQ(INT_MAX, c.serial);
  EXPECT_EQ(INT_MIN, c.data_rate);

  CJSONRPCConnector p("pp", 0);
  groups = p.GetInitParameters1();
  EXPECT_TRUE(groups.front().port_params.empty());
  EXPECT_EQ("RS485", groups.front().systems.front().at("port_params"));
  EXPECT_EQ(0u, groups.front().systems.front().count("systems"));
}

TEST(Config, SystemsScan) {
  ConfSrv srv(R"({
    "s1": {"systems": {"system_1": "a", "system_2": "", "system_3": "c"}},
    "s0": {"systems": {"system_0": "x", "system_2": "y"}},
    "odd": {"systems": {"sys1": "z", "system_5": "w", "system_6": [1], "system_7": 4,
                        "system_8": null, "system_9": {"v": 1}}},
    "empty": {"systems": {"system_1": ""}},
    "dup": {"systems": {"system_1a": "a", "system_1b": "b"}},
    "letter": {"systems": {"system_x": "q"}}
  })");
  ASSERT_TRUE(srv.started());
  Urls urls(srv);
  StdoutCapture out;
  struct Case {
    const char* id;
    int start;
    const char* joined;  // null: no "systems" setting
    std::map<int, std::string> systems;
    int current;
  };
  const Case cases[] = {
      {"s1", 0, "a;c;", {{1, "a"}, {3, "c"}}, 0},
      {"s1", 2, "a;c;", {{1, "a"}, {3, "c"}}, 0},
      {"s1", 5, "a;c;", {{1, "a"}, {3, "c"}}, 0},
      {"s0", 0, "x;y;", {{0, "x"}, {2, "y"}}, -1},
      {"odd", 0, "w;4;", {{5, "w"}, {7, "4"}}, 0},
      {"odd", 9, "w;4;", {{5, "w"}, {7, "4"}}, 4},
      {"empty", 0, nullptr, {}, 0},
      {"empty", 3, nullptr, {}, 3},
      {"dup", 0, "a;b;", {{1, "b"}}, 0},
      {"letter", 0, "q;", {{0, "q"}}, -1},
  };
  for (const Case& c : cases) {
    CJSONRPCConnector conn(c.id, c.start);
    auto groups = conn.GetInitParameters1();
    const SettingsMap& s = groups.front().systems.front();
    if (c.joined) {
      ASSERT_EQ(1u, s.count("systems")) << c.id;
      EXPECT_EQ(c.joined, s.at("systems")) << c.id;
    } else {
      EXPECT_EQ(0u, s.count("systems")) << c.id;
    }
    EXPECT_EQ(c.systems, conn.systems) << c.id;
    EXPECT_EQ(c.current, conn.currentSystem()) << c.id << " from " << c.start;
    EXPECT_EQ(c.current, conn.Settings().current_system);
  }
  std::string log = logText();
  EXPECT_GE(countLinesContaining(log,
                                 "Warning: CJSONRPCConnector::GetInitParameters1 system "
                                 "name 'sys1'"),
            1)
      << log;
}

TEST(Retry, ServerStartingLateIsReachedOnTheNextAttempt) {
  int port = mtr_test::freePort();
  std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
  ScopedEnv env("MTR_CONFIG_URL", url.c_str());
  StdoutCapture out;
  int errors_before = countLinesContaining(logText(), "Error while sending data!");

  auto t0 = std::chrono::steady_clock::now();
  CJSONRPCConnector c("1001", 0);
  auto pending = std::async(std::launch::async, [&c] { return c.GetInitParameters1(); });
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_EQ(std::future_status::timeout, pending.wait_for(std::chrono::milliseconds(0)));
  ConfSrv srv(kMercury, {}, port, -1);
  ASSERT_TRUE(srv.started());
  ASSERT_EQ(std::future_status::ready, pending.wait_for(std::chrono::seconds(10)));
  auto groups = pending.get();
  double took = secondsSince(t0);

  EXPECT_EQ("mercury230", c.manufacturer);
  EXPECT_EQ("/dev/ttyS1", groups.front().port_params.at("name"));
  // One failed attempt, then the second one five seconds later.
  EXPECT_GE(took, 4.8);
  EXPECT_LT(took, 7.5);
  std::string log = logText();
  EXPECT_EQ(errors_before + 1, countLinesContaining(log, "Error while sending data!"));
  EXPECT_GE(countLinesContaining(log, "Error code - 7"), 1);
  auto recs = srv.records();
  ASSERT_EQ(1u, recs.size());
  EXPECT_EQ(1, confsrv_test::parseJson(recs[0]["body"].asString())["id"].asInt());
}

}  // namespace
