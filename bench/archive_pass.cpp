// The first hourly archive pass of a meter with nothing stored: the polling
// cycle's own pass (windows of ten hours back to the 90-day depth limit), its
// records appended by the file connector, then the rotation check the cycle
// runs after the passes. The model answers at once from memory, so the time is
// the daemon's own (framework, storage, logging at level 6 to a file); four
// values per hour, as a Mercury profile delivers (A+, A-, R+, R-).
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "base/logger.h"
#include "drivers/framework/base_driver.h"
#include "lib/benchlib.h"
#include "server/jsonrpc_connector.h"
#include "storage/file_connector.h"

using namespace bench;

namespace {

class HourlyMeter : public electro::CMtrElectroBaseDriver {
 public:
  explicit HourlyMeter(time_t now) : now_(now) {}
  bool init() override { return true; }
  MeasuredValueList get_all_system_values() override { return {}; }
  MeasuredValueList get_all_curtime_cur_integ_values() override { return {}; }
  int get_arch_values(uint32_t kind, time_t from, time_t till, MeasuredValueList& out) override {
    ++calls;
    if (kind != Hourly) return 0;
    for (time_t t = from; t <= till; t += 3600) {
      for (uint32_t code = 54; code <= 57; ++code) {
        MeasuredValue v;
        v.kind = Hourly;
        v.param_code = code;
        v.opc_quality = 192;
        v.timestamp = t;
        char text[32];
        snprintf(text, sizeof text, "%.3f", 0.25 * code + (t / 3600 % 97) * 0.001);
        v.value = text;
        out.push_back(v);
      }
    }
    return 0;
  }
  bool GetTimestamps(timestamps& ts) override {
    ts.min_time_hour = 0;
    ts.min_time_day = 0;
    ts.curr_time = now_;
    return true;
  }
  int calls = 0;

 private:
  time_t now_;
};

double cpuSelf() {
  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
         (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

size_t countLines(const std::string& path) {
  std::string text = readFile(path);
  size_t n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

}  // namespace

int main() {
  const int runs = envInt("BENCH_RUNS", 3);
  printf("### First hourly archive pass\n\n");
  printf(
      "Nothing stored yet; the pass reads back to the depth limit (90 days and an hour) in "
      "windows of ten hours, 4 values an hour, and appends them; then the cycle's rotation "
      "check of the release folders. Peak memory is the process's VmHWM, reset just before "
      "the pass. Median of %d runs (range).\n\n",
      runs);
  printf(
      "| log level | records per value | windows | wall ms | CPU ms | peak RSS kB | peak growth "
      "during the pass kB |\n|---|---|---|---|---|---|---|\n");
  const std::string base = makeTempDir("/tmp/mtr-bench-arch.");
  logger* log = logger::getInstance((base + "/daemon.log").c_str(), false);
  std::string level6;
  bool ok = true;
  for (int level : {6, 3}) {
    log->setLevel(level);
    std::vector<double> wall, cpu, hwm, hwm_growth;
    size_t lines_per_value = 0;
    int windows = 0;
    for (int run = 0; run < runs; ++run) {
      std::string root = makeTempDir(base + "/root.");
      setenv("MTR_ROOT", root.c_str(), 1);
      {
        const time_t now = time(nullptr);
        CJSONRPCConnector rpc("7001", 0);
        HourlyMeter meter(now);
        meter.setJSONRPCConnector(&rpc);
        meter.save_init_params({{"manufacturer", "mercury230"}, {"period_current", "700"}});
        meter.InitFileConnector();
        FileConnector* files = meter.fileConnector();

        writeFile("/proc/self/clear_refs", "5");  // restart VmHWM from the current RSS
        const long before = memFigures(getpid()).vm_hwm_kb;
        const double w0 = monoNow(), c0 = cpuSelf();
        meter.ReadHourlyArch();
        static const char* const kFolders[] = {"tmp_archives", "tc_tmp_archives", "tc_archives"};
        for (int n = 1; n <= 6; ++n)
          for (const char* folder : kFolders) files->RotateArchivesSys(n, folder);
        const double w1 = monoNow(), c1 = cpuSelf();
        const long after = memFigures(getpid()).vm_hwm_kb;

        wall.push_back((w1 - w0) * 1000);
        cpu.push_back((c1 - c0) * 1000);
        hwm.push_back(static_cast<double>(after));
        hwm_growth.push_back(static_cast<double>(after - before));
        lines_per_value = countLines(files->ArchiveDir(0, false) + "A240");
        windows = meter.calls;
      }
      removeTree(root);
    }
    Stats w = stats(wall), c = stats(cpu), h = stats(hwm), g = stats(hwm_growth);
    printf("| %d | %zu | %d | %.0f (%.0f-%.0f) | %.0f (%.0f-%.0f) | %.0f | %.0f (%.0f-%.0f) |\n",
           level, lines_per_value, windows, w.median, w.min, w.max, c.median, c.min, c.max,
           h.median, g.median, g.min, g.max);
    fflush(stdout);
    ok = ok && lines_per_value >= 2160;
    if (level == 6)
      level6 = lines_per_value >= 2160
                   ? fmt("%.0f ms wall, %.0f ms CPU, peak RSS %.0f kB (+%.0f kB)", w.median,
                         c.median, h.median, g.median)
                   : fmt("only %zu records per value", lines_per_value);
  }
  removeTree(base);
  printf("\n");
  summary("First hourly archive pass, 90 days x 4 values (level 6)", level6, "(no goal; reported)",
          ok ? "reported" : "NOT DONE");
  return ok ? 0 : 1;
}
