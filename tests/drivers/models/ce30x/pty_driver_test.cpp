// The driver over a real pseudo-terminal with the real serial connector; the
// meter answers from the master side.

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "base/logger.h"
#include "drivers/models/ce30x/ce30x.h"
#include "drivers/models/ce30x/ce_models.h"
#include "meter_double.h"
#include "support/test_support.h"
#include "transport/rs_connector.h"

namespace {

using ce_test::MeterDouble;

// Cuts the byte stream from the driver into frames and hands each to the
// meter; the answer goes back over the line in two pieces.
class PtyMeter {
 public:
  PtyMeter(int master, MeterDouble& meter) : master_(master), meter_(meter) {
    thread_ = std::thread([this] { run(); });
  }
  ~PtyMeter() {
    stop_ = true;
    thread_.join();
  }
  std::mutex mutex;

 private:
  static size_t frameLength(const std::string& b) {
    if (b.empty()) return 0;
    if (b[0] == '/') {
      size_t end = b.find("!\r\n");
      return end == std::string::npos ? 0 : end + 3;
    }
    if (b[0] == '\x06') return b.size() >= 6 ? 6 : 0;
    if (b[0] == '\x01') {
      size_t etx = b.find('\x03');
      return etx == std::string::npos || b.size() < etx + 2 ? 0 : etx + 2;
    }
    return 1;
  }
  void run() {
    std::string buf;
    while (!stop_) {
      struct pollfd p = {master_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      char tmp[256];
      ssize_t n = read(master_, tmp, sizeof tmp);
      if (n <= 0) continue;
      buf.append(tmp, static_cast<size_t>(n));
      while (size_t len = frameLength(buf)) {
        std::lock_guard<std::mutex> lock(mutex);
        meter_.WriteBuffer(reinterpret_cast<const uint8_t*>(buf.data()), static_cast<uint16_t>(len),
                           false);
        buf.erase(0, len);
        uint8_t out[6000];
        int32_t got = meter_.ReadBuffer(out, sizeof out, false);
        if (got > 0) {
          size_t half = static_cast<size_t>(got) / 2;
          if (write(master_, out, half) < 0) return;
          usleep(20000);
          if (write(master_, out + half, static_cast<size_t>(got) - half) < 0) return;
        }
      }
    }
  }

  int master_;
  MeterDouble& meter_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class PtyDriver : public CmtrGost61107 {
 public:
  explicit PtyDriver(const SettingsMap& params) {
    settings.meter_number = 12;
    settings.serial_text = "PTY";
    save_init_params(params);
  }
};

TEST(CePty, Ce301ReadOverARealLine) {
  mtr_test::TempDir root;
  mtr_test::ScopedEnv env("MTR_ROOT", root.path().c_str());
  mtr_test::ScopedEnv tz("TZ", "UTC");
  tzset();
  delete logger::instance();
  const std::string log_path = root / "test.log";
  logger::getInstance(log_path.c_str(), false)->setLevel(TL_DEBUG);

  MeterDouble meter;
  meter.ident = "/EKT5CE301v12\r\n";
  meter.answers["DATE_()"] = "(04.14.03.24)\r\n";
  meter.answers["TIME_()"] = "(12:30:00)\r\n";
  meter.answers["ET0PE()"] = "(16.87)\r\n(9.98)\r\n(6.89)\r\n";
  meter.answers["VOLTA()"] = "(229.94)\r\n(230.12)\r\n(229.71)\r\n";
  meter.answers["CURRE()"] = "(1.23)\r\n(0.00)\r\n(2.5)\r\n";
  meter.answers["POWEP()"] = "(0.851)\r\n";
  meter.answers["POWPP()"] = "(0.28)\r\n(0.0)\r\n(0.571)\r\n";
  meter.answers["COS_f()"] = "(0.98)\r\n(0.99)\r\n(1.00)\r\n(0.97)\r\n";
  meter.answers["FREQU()"] = "(49.98)\r\n";
  meter.faults["VOLTA()"] = {{MeterDouble::kNak, ""}};

  int master = -1, slave = -1;
  char name[128];
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  {
    PtyMeter pty(master, meter);
    auto line = std::make_shared<CRSConnector>(SettingsMap{{"name", name}, {"speed", "9600"}});
    ASSERT_GE(line->fd(), 0);
    line->SetTimeout(200);  // the silence after each break costs one timeout
    PtyDriver d({{"net_address", "301"}, {"pu_tz", "3"}, {"srv_tz", "3"}});
    d.SaveConnector(std::shared_ptr<CConnector>(line));
    ASSERT_TRUE(d.init());
    auto* model = dynamic_cast<CCE30X*>(d.model());
    ASSERT_NE(model, nullptr);
    EXPECT_TRUE(model->isCE301());

    MeasuredValueList list = d.get_all_curtime_cur_integ_values();
    EXPECT_EQ(list.size(), 1u + 3 + 3 + 3 + 1 + 3 + 4 + 1);
    std::map<uint32_t, std::string> got;
    for (const auto& v : list) got[v.param_code * 10 + v.sys] = v.value;
    EXPECT_EQ(got[850], "1710419400");
    EXPECT_EQ(got[502], "6.89");
    EXPECT_EQ(got[400], "230.12");
    EXPECT_EQ(got[480], "0.97");

    timestamps ts;
    ASSERT_TRUE(d.GetTimestamps(ts));
    EXPECT_EQ(ts.curr_time, 1710419400);

    std::lock_guard<std::mutex> lock(pty.mutex);
    std::vector<std::string> heard = meter.take();
    ASSERT_GE(heard.size(), 5u);
    EXPECT_EQ(heard[1], "signon 301");
    EXPECT_EQ(std::count(heard.begin(), heard.end(), "read VOLTA()"), 1);
  }
  close(slave);
  close(master);
  delete logger::instance();
  tzset();
}

}  // namespace
