#include "confsrv_fixture.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "base/logger.h"
#include "server/jsonrpc_client.h"

namespace confsrv_test {

using mtr_test::binPath;
using mtr_test::readFile;
using mtr_test::splitLines;
using mtr_test::waitFor;

namespace {

// One process logger, writing to a file the tests read back.
class LoggerEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    logger* log = logger::getInstance(path().c_str(), false);
    log->setLevel(TL_DEBUG);
  }
  static const std::string& path() {
    static mtr_test::TempDir dir;
    static std::string p = dir / "mtr.log";
    return p;
  }
};

::testing::Environment* const g_env = ::testing::AddGlobalTestEnvironment(new LoggerEnvironment);

size_t collect(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

}  // namespace

std::string logText() {
  return readFile(LoggerEnvironment::path());
}

Json::Value parseJson(const std::string& text) {
  Json::Value v;
  Json::CharReaderBuilder b;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  std::string err;
  if (!r->parse(text.data(), text.data() + text.size(), &v, &err)) return Json::Value();
  return v;
}

ConfSrv::ConfSrv(const std::string& config, const std::vector<std::string>& extra, int port,
                 int sensor_port_arg) {
  mtr_test::writeFile(dir / "config.json", config);
  std::vector<std::string> argv = {binPath("mtr-confsrv"),
                                   "--config",
                                   dir / "config.json",
                                   "--port",
                                   std::to_string(port),
                                   "--sensor-port",
                                   std::to_string(sensor_port_arg),
                                   "--record",
                                   dir / "record.jsonl"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  child_.reset(new mtr_test::Child(argv, dir / "out", dir / "err"));
  std::string out;
  waitFor(
      [&] {
        out = readFile(dir / "out");
        return out.find('\n') != std::string::npos || !child_->running();
      },
      5000);
  if (sscanf(out.c_str(), "config-port=%d sensor-port=%d", &config_port, &sensor_port) != 2)
    config_port = -1;
}

ConfSrv::~ConfSrv() {
  stop();
}

std::string ConfSrv::url() const {
  return "http://127.0.0.1:" + std::to_string(config_port) + "/";
}
std::string ConfSrv::sensorUrl() const {
  return "http://127.0.0.1:" + std::to_string(sensor_port) + "/";
}

std::vector<Json::Value> ConfSrv::records() const {
  std::vector<Json::Value> out;
  for (const std::string& line : splitLines(readFile(dir / "record.jsonl")))
    if (!line.empty()) out.push_back(parseJson(line));
  return out;
}

std::vector<Json::Value> ConfSrv::recordsOn(int port) const {
  std::vector<Json::Value> out;
  for (const Json::Value& r : records())
    if (r["port"].asInt() == port) out.push_back(r);
  return out;
}

int ConfSrv::stop() {
  if (!child_) return -1;
  mtr_test::ProcessResult r;
  child_->kill(SIGTERM);
  bool ok = child_->wait(5000, &r);
  child_.reset();
  return ok ? r.status : -1;
}

StdoutCapture::StdoutCapture() {
  fflush(stdout);
  saved_ = dup(1);
  int fd = open((dir_ / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(fd, 1);
  close(fd);
}

StdoutCapture::~StdoutCapture() {
  fflush(stdout);
  dup2(saved_, 1);
  close(saved_);
  // The test framework's own messages went to the file too: give them back.
  for (const std::string& line : splitLines(readFile(dir_ / "stdout"))) {
    if (line.rfind("CJSONRPCConnector::", 0) == 0 || line.rfind("result JSONRPC", 0) == 0 ||
        line.empty() || line[0] == '{')
      continue;
    printf("%s\n", line.c_str());
  }
  fflush(stdout);
}

std::string StdoutCapture::text() const {
  fflush(stdout);
  return readFile(dir_ / "stdout");
}

HttpReply post(const std::string& url, const std::string& body, const std::string& content_type) {
  HttpReply reply;
  Json::Rpc::HttpClient::GlobalInit();
  CURL* c = curl_easy_init();
  struct curl_slist* headers = nullptr;
  headers = curl_slist_append(headers, ("Content-Type: " + content_type).c_str());
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &collect);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &reply.body);
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &collect);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, &reply.headers);
  curl_easy_setopt(c, CURLOPT_TIMEOUT, 10L);
  reply.curl_code = curl_easy_perform(c);
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &reply.status);
  curl_slist_free_all(headers);
  curl_easy_cleanup(c);
  return reply;
}

}  // namespace confsrv_test
