// CPU cost of the polling framework with many meters idle between turns:
// N in-process model drivers that answer at once, the real supervisor and the
// real polling cycle, measured with getrusage over a fixed wall time.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app/cmdline.h"
#include "app/supervisor.h"
#include "base/fsutil.h"
#include "drivers/framework/base_driver.h"

namespace {

class InstantMeter : public electro::CMtrElectroBaseDriver {
 public:
  ~InstantMeter() override { Stop(); }
  bool init() override { return true; }
  MeasuredValueList get_all_system_values() override { return {make(System, 74, "12345")}; }
  MeasuredValueList get_all_curtime_cur_integ_values() override {
    return {make(Current, 39, "230.0"), make(Current, 42, "5.0"), make(Current, 49, "50.0")};
  }
  int get_arch_values(uint32_t, time_t, time_t, MeasuredValueList&) override { return 0; }
  bool GetTimestamps(timestamps& ts) override {
    ts.curr_time = time(nullptr);
    return true;
  }

 private:
  static MeasuredValue make(uint32_t kind, uint32_t code, const char* v) {
    MeasuredValue m;
    m.kind = kind;
    m.param_code = code;
    m.value = v;
    m.opc_quality = 192;
    return m;
  }
};

double cpuSeconds() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  int meters = argc > 1 ? atoi(argv[1]) : 32;
  int seconds = argc > 2 ? atoi(argv[2]) : 60;
  if (const char* s = getenv("IDLE_SECONDS")) seconds = atoi(s);
  char tmpl[] = "/tmp/mtrbench.XXXXXX";
  std::string root = mkdtemp(tmpl);
  setenv("MTR_ROOT", root.c_str(), 1);
  mtr::makeDirs(root + "/tmp");

  std::vector<CJSONRPCConnector*> rpcs;
  std::vector<CMtrBaseDriver*> drivers;
  for (int i = 0; i < meters; ++i) {
    auto* rpc = new CJSONRPCConnector(std::to_string(1000 + i), 0);
    auto* d = new InstantMeter();
    d->setJSONRPCConnector(rpc);
    d->save_init_params({{"period_current", "20"}});
    d->Start(d, "instant");
    rpcs.push_back(rpc);
    drivers.push_back(d);
  }
  stop_requested = 0;
  std::thread sup([&] { Supervise(drivers); });
  sleep(5);  // let every driver finish its first session
  double c0 = cpuSeconds();
  sleep(static_cast<unsigned>(seconds));
  double c1 = cpuSeconds();
  stop_requested = 1;
  for (auto* d : drivers) d->Stop();  // ends the supervisor's wait too
  sup.detach();
  double pct = 100.0 * (c1 - c0) / seconds;
  printf("| meters | seconds | cpu s | cpu %% of one core | goal |\n");
  printf("|---|---|---|---|---|\n");
  printf("| %d | %d | %.3f | %.3f | < 1%% |\n", meters, seconds, c1 - c0, pct);
  fflush(stdout);
  _exit(pct < 1.0 ? 0 : 1);
}
