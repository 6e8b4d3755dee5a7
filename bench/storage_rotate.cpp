// Rotation of a full release file and writing a turn's worth of item values,
// under a temporary MTR_ROOT of its own.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "lib/benchlib.h"
#include "server/measured_value.h"
#include "server/settings.h"
#include "storage/file_connector.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Stats {
  double min, median, max;
};

Stats stats(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v.front(), v[v.size() / 2], v.back()};
}

void writeRelease(const std::string& path, int lines) {
  std::ofstream out(path, std::ios::trunc);
  for (int i = 0; i < lines; ++i)
    out << 1600000000L + 3600L * ((i * 7919) % lines) << "," << (i % 3) * 96 << "," << i * 0.125
        << "\n";
}

void row(const char* what, int runs, const Stats& s, const char* per) {
  printf("| %s | %d | %.3f | %.3f | %.3f | %s |\n", what, runs, s.min, s.median, s.max, per);
}

}  // namespace

int main() {
  char tmpl[] = "/tmp/mtr_bench_storage.XXXXXX";
  if (!mkdtemp(tmpl)) {
    perror("mkdtemp");
    return 1;
  }
  std::string root = tmpl;
  setenv("MTR_ROOT", root.c_str(), 1);

  MeterSettings settings;
  settings.meter_id = "1";
  HeatFileConnector fc(settings, "1", 0);
  std::string dir = fc.ArchiveDir(0, false);

  const int kRuns = 20;
  std::vector<double> rotate_ms;
  long peak_growth = 0;
  size_t kept = 0;
  for (int r = 0; r < kRuns; ++r) {
    writeRelease(dir + "A202", 6500);
    bench::writeFile("/proc/self/clear_refs", "5");  // restart VmHWM from the current RSS
    const long before = bench::memFigures(getpid()).vm_hwm_kb;
    auto start = Clock::now();
    fc.RotateArchivesSys(1, "tc_archives");
    rotate_ms.push_back(msSince(start));
    peak_growth = std::max(peak_growth, bench::memFigures(getpid()).vm_hwm_kb - before);
    std::string text = bench::readFile(dir + "A202");
    kept = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  }

  // A full folder of files below the limit: the every-turn cost of the check.
  for (int f = 0; f < 50; ++f) writeRelease(dir + "B" + std::to_string(f), 6000);
  std::vector<double> scan_ms;
  for (int r = 0; r < kRuns; ++r) {
    auto start = Clock::now();
    fc.RotateArchivesSys(1, "tc_archives");
    scan_ms.push_back(msSince(start));
  }

  // 100 distinct current and integral item values, as one turn delivers them.
  MeasuredValueList items;
  for (const auto& entry : ValueNameTable) {
    uint32_t kind = static_cast<uint32_t>(entry.first) >> 16;
    if (kind != Current && kind != Integral && kind != System) continue;
    MeasuredValue v;
    v.param_code = static_cast<uint32_t>(entry.first) & 0xFFFF;
    v.kind = kind;
    v.value = "12345.678";
    items.push_back(v);
    if (items.size() == 100) break;
  }
  std::vector<double> items_ms;
  for (int r = 0; r < kRuns; ++r) {
    auto start = Clock::now();
    fc.WriteValues(items);
    items_ms.push_back(msSince(start));
  }

  // 100 hourly records appended and the timestamp file written.
  MeasuredValueList hourly;
  for (int i = 0; i < 100; ++i) {
    MeasuredValue v;
    v.param_code = 50;
    v.kind = Integral_hourly;
    v.value = "1.5";
    v.timestamp = 1700000000 + i * 3600;
    hourly.push_back(v);
  }
  std::vector<double> store_ms;
  for (int r = 0; r < kRuns; ++r) {
    auto start = Clock::now();
    fc.StoreArchive(hourly, Hourly, false, false);
    store_ms.push_back(msSince(start));
  }

  printf("## 5. Archive maintenance\n\n### Files\n\n");
  printf(
      "In-process file connector under a temporary root, %d runs each. The rotation moves "
      "the oldest 2001 of 6500 records to the backup folder and keeps %zu; its peak memory "
      "growth (VmHWM) was %ld kB at most.\n\n",
      kRuns, kept, peak_growth);
  printf("| operation | runs | min ms | median ms | max ms | |\n|---|---|---|---|---|---|\n");
  Stats rot = stats(rotate_ms);
  row("rotate one 6500-line file", kRuns, rot, "");
  row("rotation check, 50 files x 6000 lines", kRuns, stats(scan_ms), "");
  Stats s = stats(items_ms);
  char per[64];
  snprintf(per, sizeof per, "%.1f us per value", s.median * 1000.0 / items.size());
  row("WriteValues, 100 item values", kRuns, s, per);
  s = stats(store_ms);
  snprintf(per, sizeof per, "%.1f us per record", s.median * 1000.0 / hourly.size());
  row("StoreArchive, 100 hourly records", kRuns, s, per);
  printf("\n");
  fflush(stdout);
  bench::summary("Rotating a 6500-line archive file",
                 kept == 4499 ? bench::fmt("%.1f ms, peak +%ld kB", rot.median, peak_growth)
                              : bench::fmt("kept %zu lines instead of 4499", kept),
                 "(no goal; reported)", kept == 4499 ? "reported" : "WRONG");

  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  return items.size() == 100 && kept == 4499 ? 0 : 1;
}
