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
    path_ = dir_ / "log.txt";
    log_ = logger::getInstance(path_.c_str(), false);
  }
  void TearDown() override { delete logger::instance(); }

  mtr_test::TempDir dir_;
  std::string path_;
  logger* log_ = nullptr;
};

const std::regex kPrefix(R"(^\d\d:\d\d:\d\d\.\d{3}\.\d{3} (\w+): (.*)$)");

TEST_F(FileLogger, LineHasTimePrefixAndLevelName) {
  log_->setLevel(TL_DEBUG);
  log_->info("hello %d", 42);
  log_->warning("w");
  auto lines = splitLines(readFile(path_));
  ASSERT_EQ(2u, lines.size());
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[0], m, kPrefix)) << lines[0];
  EXPECT_EQ("Info", m[1].str());
  EXPECT_EQ("hello 42", m[2].str());
  ASSERT_TRUE(std::regex_match(lines[1], m, kPrefix));
  EXPECT_EQ("Warning", m[1].str());
}

TEST_F(FileLogger, LevelFiltering) {
  struct Case {
    int level;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {TL_INFO, {"Emerg", "Alert", "Crit", "Err", "Warning", "Notice", "Info"}},
      {TL_DEBUG, {"Emerg", "Alert", "Crit", "Err", "Warning", "Notice", "Info", "Debug"}},
      {TL_ERR, {"Emerg", "Alert", "Crit", "Err"}},
      {TL_EMERG, {"Emerg"}},
  };
  for (const Case& c : cases) {
    unlink(path_.c_str());
    log_->setLevel(c.level);
    log_->emerg("x");
    log_->alert("x");
    log_->crit("x");
    log_->err("x");
    log_->warning("x");
    log_->notice("x");
    log_->info("x");
    log_->debug("x");
    std::vector<std::string> names;
    for (const auto& line : splitLines(readFile(path_))) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(line, m, kPrefix));
      names.push_back(m[1].str());
    }
    EXPECT_EQ(c.expected, names) << "level " << c.level;
    EXPECT_EQ(c.level >= TL_INFO, log_->isLevel(TL_INFO));
  }
}

TEST_F(FileLogger, LongMessageCutAt127Characters) {
  std::string msg(300, 'a');
  for (size_t i = 0; i < msg.size(); ++i) msg[i] = static_cast<char>('a' + i % 26);
  log_->info("%s", msg.c_str());
  std::string content = readFile(path_);
  ASSERT_FALSE(content.empty());
  EXPECT_EQ('\n', content.back());
  auto lines = splitLines(content);
  ASSERT_EQ(1u, lines.size());
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[0], m, kPrefix));
  EXPECT_EQ(msg.substr(0, 127), m[2].str());
}

TEST_F(FileLogger, SizeLimitDeletesAfterTheCrossingLine) {
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
  auto lines = splitLines(readFile(path_));
  ASSERT_EQ(1u, lines.size());
  EXPECT_NE(std::string::npos, lines[0].find("Info: fresh"));
}

TEST_F(FileLogger, ZeroOrNegativeSizeIsUnlimited) {
  for (int limit : {0, -5}) {
    unlink(path_.c_str());
    log_->setMaxSize(limit);
    for (int i = 0; i < 50; ++i) log_->info("line %d", i);
    EXPECT_EQ(50u, splitLines(readFile(path_)).size());
  }
}

TEST_F(FileLogger, DumpIsHexAtDebugOnly) {
  const unsigned char bytes[] = {6, 171};
  log_->setLevel(TL_INFO);
  log_->dump("frame", bytes, 2);
  EXPECT_FALSE(mtr_test::exists(path_));
  log_->setLevel(TL_DEBUG);
  log_->dump("frame", bytes, 2);
  EXPECT_EQ("frame\n0x06 0xab \n", readFile(path_));
}

TEST_F(FileLogger, UnopenableFileCostsOnlyTheMessage) {
  delete logger::instance();
  std::string bad = dir_ / "no/such/dir/log";
  logger* l = logger::getInstance(bad.c_str(), false);
  testing::internal::CaptureStdout();
  l->info("lost");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(std::string::npos, out.find("Can't open file " + bad));
  l->info("still alive");
}

TEST_F(FileLogger, ConcurrentThreadsNeverInterleaveWithinALine) {
  const int kThreads = 8, kLines = 1000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, this] {
      std::string payload(60, static_cast<char>('A' + t));
      for (int i = 0; i < kLines; ++i) log_->info("T%d %04d %s", t, i, payload.c_str());
    });
  }
  for (auto& th : threads) th.join();
  auto lines = splitLines(readFile(path_));
  ASSERT_EQ(static_cast<size_t>(kThreads * kLines), lines.size());
  std::set<std::pair<int, int>> seen;
  const std::regex body(R"(T(\d) (\d{4}) ([A-H]{60}))");
  for (const auto& line : lines) {
    std::smatch m, b;
    ASSERT_TRUE(std::regex_match(line, m, kPrefix)) << line;
    std::string text = m[2].str();
    ASSERT_TRUE(std::regex_match(text, b, body)) << line;
    int t = std::stoi(b[1].str());
    EXPECT_EQ(std::string(60, static_cast<char>('A' + t)), b[3].str());
    seen.insert({t, std::stoi(b[2].str())});
  }
  EXPECT_EQ(static_cast<size_t>(kThreads * kLines), seen.size());
}

TEST(Logger, GetInstanceIsIdempotent) {
  delete logger::instance();
  logger* a = logger::getInstance("first", false);
  logger* b = logger::getInstance("second", true);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a, logger::instance());
  delete a;
  EXPECT_EQ(nullptr, logger::instance());
}

TEST(Logger, StderrOverridesFile) {
  delete logger::instance();
  mtr_test::TempDir dir;
  std::string path = dir / "log";
  logger* l = logger::getInstance(path.c_str(), false);
  l->setStderr(true);
  testing::internal::CaptureStderr();
  l->notice("to stderr");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(
      std::regex_search(err, std::regex(R"(\d\d:\d\d:\d\d\.\d{3}\.\d{3} Notice: to stderr\n)")));
  EXPECT_FALSE(mtr_test::exists(path));
  delete l;
}

}  // namespace
