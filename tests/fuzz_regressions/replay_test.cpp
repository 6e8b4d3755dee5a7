#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "fuzz/harness/archive_line.h"
#include "fuzz/harness/ce2727_driver.h"
#include "fuzz/harness/ce30x_driver.h"
#include "fuzz/harness/get_config.h"
#include "fuzz/harness/iec61107_answer.h"
#include "fuzz/harness/mercury_driver.h"
#include "fuzz/harness/modbus_answer.h"
#include "fuzz/harness/netstring.h"
#include "support/test_support.h"

namespace {

const std::pair<const char*, void (*)(const uint8_t*, size_t)> kTargets[] = {
    {"netstring", mtr_fuzz::netstringOne},
    {"archive_line", mtr_fuzz::archiveLineOne},
    {"modbus_answer", mtr_fuzz::modbusAnswerOne},
    {"get_config", mtr_fuzz::getConfigOne},
    {"iec61107_answer", mtr_fuzz::iec61107AnswerOne},
    {"mercury_driver", mtr_fuzz::mercuryDriverOne},
    {"ce2727_driver", mtr_fuzz::ce2727DriverOne},
    {"ce30x_driver", mtr_fuzz::ce30xDriverOne},
};

// Every seed and every input a fuzzer once failed on goes through the same
// harness again, with the same properties checked.
class FuzzReplay : public testing::TestWithParam<size_t> {};

TEST_P(FuzzReplay, SeedsAndRegressions) {
  const auto& [target, run] = kTargets[GetParam()];
  std::set<std::string> files;
  for (const char* kind : {"corpus/", "regressions/"}) {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(
             std::string(MTR_SOURCE_DIR) + "/fuzz/" + kind + target, ec))
      if (e.path().filename().string()[0] != '.') files.insert(e.path());
    ASSERT_FALSE(files.empty()) << "no seeds for " << target;
  }
  for (const std::string& f : files) {
    SCOPED_TRACE(f);
    std::string bytes = mtr_test::readFile(f);
    run(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, testing::Range<size_t>(0, std::size(kTargets)),
                         [](const auto& info) { return std::string(kTargets[info.param].first); });

}  // namespace
