#pragma once

#include <json/json.h>

#include <memory>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace confsrv_test {

// A running mtr-confsrv on loopback with its own config and record files.
class ConfSrv {
 public:
  // `config` is written to the config file; ports as for the command line.
  ConfSrv(const std::string& config, const std::vector<std::string>& extra = {}, int port = 0,
          int sensor_port = 0);
  ~ConfSrv();

  // False when the ports line did not come.
  bool started() const { return config_port > 0; }
  std::string url() const;
  std::string sensorUrl() const;
  // Every request recorded so far, in order.
  std::vector<Json::Value> records() const;
  std::vector<Json::Value> recordsOn(int port) const;
  // SIGTERM; the exit status, or -1 when it did not stop within 5 s.
  int stop();
  pid_t pid() const { return child_ ? child_->pid() : -1; }

  int config_port = -1;
  int sensor_port = -1;
  mtr_test::TempDir dir;

 private:
  std::unique_ptr<mtr_test::Child> child_;
};

// Redirects standard output to a file for its lifetime.
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  std::string text() const;

 private:
  mtr_test::TempDir dir_;
  int saved_;
};

// The log file of the process logger the test environment opened.
std::string logText();

struct HttpReply {
  long status = 0;
  std::string body;
  std::string headers;
  int curl_code = 0;
};
// A plain POST with libcurl, independent of the daemon's client.
HttpReply post(const std::string& url, const std::string& body,
               const std::string& content_type = "application/json-rpc");

Json::Value parseJson(const std::string& text);

}  // namespace confsrv_test
