#include "base/logger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace {

using mtr_test::readFile;
using mtr_test::splitLines;

// The logger is process-wide; each test makes a fresh one writing to its own file.
class FileLogger : public ::testing::Test {
 protected:
  void SetUp() override {
    delete logger::instance();
    log_ = logger::getInstance(path_.c_str(), false);
  }
  void TearDown() override { delete logger::instance(); }
  // Level name and message of each line; a line without the time prefix fails.
  std::vector<std::pair<std::string, std::string>> lines() {
    static const std::regex prefix(R"(^\d\d:\d\d:\d\d\.\d{3}\.\d{3} (\w+): (.*)$)");
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& line : splitLines(readFile(path_))) {
      std::smatch m;
      EXPECT_TRUE(std::regex_match(line, m, prefix)) << line;
      out.emplace_back(m[1].str(), m[2].str());
    }
    return out;
  }

  mtr_test::TempDir dir_;
  std::string path_ = dir_ / "log.txt";
  logger* log_ = nullptr;
};

TEST_F(FileLogger, PrefixLevelFilteringAndLongMessages) {
  const std::vector<std::string> all = {"Emerg",   "Alert",  "Crit", "Err",
                                        "Warning", "Notice", "Info", "Debug"};
  for (int level : {TL_EMERG, TL_ERR, TL_DEBUG, TL_INFO}) {  // INFO stays for the rest
    unlink(path_.c_str());
    log_->setLevel(level);
    // each by name: a call through a member pointer crashes the sanitized build
    log_->emerg("x %d", 42);
    log_->alert("x %d", 42);
    log_->crit("x %d", 42);
    log_->err("x %d", 42);
    log_->warning("x %d", 42);
    log_->notice("x %d", 42);
    log_->info("x %d", 42);
    log_->debug("x %d", 42);
    std::vector<std::string> names;
    for (const auto& [name, text] : lines()) {
      names.push_back(name);
      EXPECT_EQ("x 42", text);
    }
    EXPECT_EQ(std::vector<std::string>(all.begin(), all.begin() + level + 1), names) << level;
    EXPECT_EQ(level >= TL_INFO, log_->isLevel(TL_INFO));
  }
  unlink(path_.c_str());
  std::string msg(300, 'a');
  for (size_t i = 0; i < msg.size(); ++i) msg[i] = static_cast<char>('a' + i % 26);
  log_->info("%s", msg.c_str());
  EXPECT_EQ('\n', readFile(path_).back());
  EXPECT_EQ(decltype(lines())({{"Info", msg.substr(0, 127)}}), lines());
  // Frame dumps are hex, at debug only.
  unlink(path_.c_str());
  const unsigned char bytes[] = {6, 171};
  log_->dump("frame", bytes, 2);
  EXPECT_FALSE(mtr_test::exists(path_));
  log_->setLevel(TL_DEBUG);
  log_->dump("frame", bytes, 2);
  EXPECT_EQ("frame\n0x06 0xab \n", readFile(path_));
}

TEST_F(FileLogger, SizeLimitDeletesAfterTheCrossingLine) {
  for (int limit : {0, -5}) {  // unlimited
    unlink(path_.c_str());
    log_->setMaxSize(limit);
    for (int i = 0; i < 50; ++i) log_->info("line %d", i);
    EXPECT_EQ(50u, splitLines(readFile(path_)).size());
  }
  log_->setMaxSize(100);
  mtr_test::writeFile(path_, std::string(89, 'x') + "\n");  // 90 bytes
  // A second name for the same file keeps its last content visible after deletion.
  std::string keep = dir_ / "keep.txt";
  ASSERT_EQ(0, link(path_.c_str(), keep.c_str()));
  log_->info("the line that crosses");
  EXPECT_FALSE(mtr_test::exists(path_));
  auto old_lines = splitLines(readFile(keep));
  ASSERT_EQ(2u, old_lines.size());
  EXPECT_NE(std::string::npos, old_lines[1].find("Info: the line that crosses"));
  log_->info("fresh");
  EXPECT_EQ(decltype(lines())({{"Info", "fresh"}}), lines());
}

TEST_F(FileLogger, ConcurrentThreadsNeverInterleaveWithinALine) {
  const int kThreads = 8, kLines = 1000;
  std::vector<std::thread> threads;
  std::set<std::string> sent, seen;
  for (int t = 0; t < kThreads; ++t) {
    const std::string payload(60, static_cast<char>('A' + t));
    for (int i = 0; i < kLines; ++i) sent.insert("T" + std::to_string(t * kLines + i) + payload);
    threads.emplace_back([this, t, payload] {
      for (int i = 0; i < kLines; ++i) log_->info("T%d%s", t * kLines + i, payload.c_str());
    });
  }
  for (auto& th : threads) th.join();
  auto got = lines();
  for (const auto& line : got) seen.insert(line.second);
  EXPECT_EQ(sent.size(), got.size());
  EXPECT_TRUE(sent == seen);
}

TEST_F(FileLogger, InstanceStderrAndUnopenableFile) {
  EXPECT_EQ(log_, logger::getInstance("second", true));
  EXPECT_EQ(log_, logger::instance());
  log_->setStderr(true);
  testing::internal::CaptureStderr();
  log_->notice("to stderr");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(
      std::regex_search(err, std::regex(R"(\d\d:\d\d:\d\d\.\d{3}\.\d{3} Notice: to stderr\n)")));
  EXPECT_FALSE(mtr_test::exists(path_));
  delete log_;
  EXPECT_EQ(nullptr, logger::instance());
  // An unopenable file costs only the message.
  std::string bad = dir_ / "no/such/dir/log";
  logger* l = logger::getInstance(bad.c_str(), false);
  testing::internal::CaptureStdout();
  l->info("lost");
  EXPECT_NE(std::string::npos,
            testing::internal::GetCapturedStdout().find("Can't open file " + bad));
  l->info("still alive");
}

}  // namespace
