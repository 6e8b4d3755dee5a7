#include <gtest/gtest.h>
#include <signal.h>

#include "support/test_support.h"

namespace {

using mtr_test::binPath;
using mtr_test::countLinesContaining;
using mtr_test::readFile;
using mtr_test::waitFor;

const char* const kSupervising = "main() - supervision of 3 driver(s) begins.";

TEST(StartUp, ThreeIdentifiersMakeThreeDriversOnOneConnector) {
  mtr_test::TempDir dir;
  mtr_test::ConfServer server(R"({
    "11": {"manufacturer": "model-a", "serial": "1001", "port_params": {"name": "/dev/null"}},
    "12": {"manufacturer": "model-b", "serial": "1002", "port_params": {"name": "/dev/zero"}},
    "13": {"manufacturer": "model-c", "serial": "1003", "port_params": {"name": "/dev/full"}}
  })");
  ASSERT_TRUE(server.ok());
  std::string log = dir / "log";
  mtr_test::Child c({binPath("mtr_main"), "-l", log, "-i", "11", "-i", "12", "-i", "13"},
                    dir / "out", dir / "err",
                    {"MTR_ROOT=" + dir.path(), "MTR_CONFIG_URL=" + server.url()});
  ASSERT_TRUE(
      waitFor([&] { return countLinesContaining(readFile(log), "has been STOPED") == 3; }, 60000))
      << readFile(log);
  std::string text = readFile(log);
  EXPECT_EQ(1, countLinesContaining(text, "The CConnector is created in as simple UART."));
  // configured in command-line order
  size_t a = text.find("create_and_init() as 'model-a'");
  size_t b = text.find("create_and_init() as 'model-b'");
  size_t cc = text.find("create_and_init() as 'model-c'");
  ASSERT_NE(std::string::npos, a);
  EXPECT_LT(a, b);
  EXPECT_LT(b, cc);
  // the server saw three get_config requests, one per identifier, each with id 1
  std::string rec = server.recorded();
  for (const char* id : {"11", "12", "13"})
    EXPECT_NE(
        std::string::npos,
        rec.find(
            std::string(
                R"({\"id\":1,\"jsonrpc\":\"2.0\",\"method\":\"get_config\",\"params\":{\"heat_meter\":\")") +
            id))
        << rec;
  // A stop is honoured from the start of supervision on; the drivers' threads
  // may end before it.
  ASSERT_TRUE(
      waitFor([&] { return countLinesContaining(readFile(log), kSupervising) == 1; }, 60000));
  c.kill(SIGTERM);
  mtr_test::ProcessResult r;
  ASSERT_TRUE(c.wait(10000, &r));  // stop timing is the signal tests' concern
  EXPECT_EQ(0, r.status);
}

}  // namespace
