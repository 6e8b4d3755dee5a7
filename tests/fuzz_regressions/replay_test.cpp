#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

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

using Harness = std::function<void(const uint8_t*, size_t)>;

std::vector<std::string> filesIn(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') out.push_back(dir + "/" + e->d_name);
    }
    closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Every seed and every input a fuzzer once failed on goes through the same
// harness again, with the same properties checked.
void replay(const std::string& target, const Harness& run) {
  std::string root = std::string(MTR_SOURCE_DIR) + "/fuzz/";
  std::vector<std::string> files = filesIn(root + "corpus/" + target);
  ASSERT_FALSE(files.empty()) << "no seeds for " << target;
  for (const std::string& f : filesIn(root + "regressions/" + target)) files.push_back(f);
  for (const std::string& f : files) {
    SCOPED_TRACE(f);
    std::string bytes = mtr_test::readFile(f);
    run(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
}

TEST(FuzzReplay, Netstring) {
  replay("netstring", mtr_fuzz::netstringOne);
}
TEST(FuzzReplay, ArchiveLine) {
  replay("archive_line", mtr_fuzz::archiveLineOne);
}
TEST(FuzzReplay, ModbusAnswer) {
  replay("modbus_answer", mtr_fuzz::modbusAnswerOne);
}
TEST(FuzzReplay, GetConfig) {
  replay("get_config", mtr_fuzz::getConfigOne);
}
TEST(FuzzReplay, IecAnswer) {
  replay("iec61107_answer", mtr_fuzz::iec61107AnswerOne);
}
TEST(FuzzReplay, MercuryDriver) {
  replay("mercury_driver", mtr_fuzz::mercuryDriverOne);
}
TEST(FuzzReplay, CE2727Driver) {
  replay("ce2727_driver", mtr_fuzz::ce2727DriverOne);
}
TEST(FuzzReplay, CE30XDriver) {
  replay("ce30x_driver", mtr_fuzz::ce30xDriverOne);
}

}  // namespace
