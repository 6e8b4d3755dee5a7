// Busy cost: 8 Mercury meters on one 9600 Bd line polled continuously
// ("period_current" 0), so the line never rests. CPU time of mtr_main over a
// window, against the current-values sessions it finished and the bytes that
// crossed the line (the simulator's frame log) in that window. Log level 6 to
// a file (the logger opens, syncs and closes the file per line) and, for the
// logger's share, level 3.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "lib/benchlib.h"

using namespace bench;

int main() {
  killChildrenOnSignal();
  const int runs = envInt("BENCH_RUNS", 3);
  const int seconds = envInt("BUSY_SECONDS", 30);
  const int meters = envInt("BUSY_METERS", 8);
  const int levels[] = {6, 3};

  printf("## 3. Busy cost\n\n");
  printf(
      "%d Mercury 230 meters on one 9600 Bd line, \"period_current\" 0 (each meter is polled "
      "again as soon as the line comes back to it), simulator latency 10 ms. CPU of mtr_main "
      "over %d s after the first round, median of %d runs; the two log levels run side by side. "
      "Load average at start: %s.\n\n",
      meters, seconds, runs, loadAverage().c_str());
  printf(
      "| log level | sessions per s | line bytes per s | CPU %% of one core | CPU ms per session "
      "per meter | CPU us per line byte |\n|---|---|---|---|---|---|\n");

  // Both log levels run side by side, each on its own line, so that whatever
  // else the machine does weighs on both alike.
  const int kLevels = 2;
  struct Figures {
    std::vector<double> rate, bps, pct, per_session, per_byte;
  } fig[kLevels];
  for (int run = 0; run < runs; ++run) {
    std::vector<std::unique_ptr<Line>> lines;
    for (int level : levels) {
      LineOptions o;
      o.meters_json = mercuryMeters(meters, false);
      o.config_json = mercuryConfig(meters, "0");
      o.ids = mercuryIds(meters);
      o.log_level = level;
      lines.push_back(std::make_unique<Line>(o));
      if (!lines.back()->ready())
        fprintf(stderr, "line: %s\n", lines.back()->error().c_str());
      else
        lines.back()->startDaemon();
    }
    // Every current-values session asks for the frequency once; that counts
    // sessions whatever the log level shows.
    auto sessionsIn = [](const Line& line, double from, double till) {
      int n = 0;
      for (const Frame& f : readSimLog(line.simLogPath()))
        if (!f.tx && f.t >= from && f.t <= till && f.note.find("frequency") != std::string::npos)
          ++n;
      return n;
    };
    bool ok = true;
    for (auto& l : lines) {
      Line& line = *l;
      ok = ok && line.ready() &&
           waitUntil([&] { return sessionsIn(line, 0, 1e18) >= meters; }, 60 + 5.0 * meters, 0.2);
    }
    if (!ok) {
      fprintf(stderr, "first round not over\n");
      continue;
    }
    const double w0 = wallNow();
    double c0[kLevels], c1[kLevels];
    for (int i = 0; i < kLevels; ++i) c0[i] = cpuSeconds(lines[i]->daemonPid());
    sleepSeconds(seconds);
    for (int i = 0; i < kLevels; ++i) c1[i] = cpuSeconds(lines[i]->daemonPid());
    const double w1 = wallNow();
    for (int i = 0; i < kLevels; ++i) {
      Line& line = *lines[i];
      line.stopDaemon();
      size_t bytes = 0;
      for (const Frame& f : readSimLog(line.simLogPath()))
        if (f.t >= w0 && f.t <= w1) bytes += f.bytes;
      const int sessions = sessionsIn(line, w0, w1);
      if (sessions == 0 || bytes == 0) continue;
      const double dt = w1 - w0, cpu = c1[i] - c0[i];
      fig[i].rate.push_back(sessions / dt);
      fig[i].bps.push_back(static_cast<double>(bytes) / dt);
      fig[i].pct.push_back(100.0 * cpu / dt);
      fig[i].per_session.push_back(1000.0 * cpu / sessions);
      fig[i].per_byte.push_back(1e6 * cpu / static_cast<double>(bytes));
    }
  }
  double level6_per_session = -1;
  for (int i = 0; i < kLevels; ++i) {
    const Figures& f = fig[i];
    if (f.pct.empty()) {
      printf("| %d | not measured | | | | |\n", levels[i]);
      continue;
    }
    Stats ps = stats(f.per_session), pc = stats(f.pct);
    printf("| %d | %.2f | %.0f | %.2f (%.2f-%.2f) | %.2f (%.2f-%.2f) | %.2f |\n", levels[i],
           stats(f.rate).median, stats(f.bps).median, pc.median, pc.min, pc.max, ps.median, ps.min,
           ps.max, stats(f.per_byte).median);
    if (levels[i] == 6) level6_per_session = ps.median;
  }
  printf(
      "\nA Mercury current-values session moves about 430 bytes in 29 exchanges. The simulator "
      "writes its answers a byte at a time, so the daemon wakes for every byte it reads; a "
      "UART with a receive FIFO hands over several bytes per wake-up.\n\n");
  if (level6_per_session >= 0)
    summary("Busy CPU per session per meter (Mercury, level 6)", fmt("%.2f ms", level6_per_session),
            "(no goal; reported)", "reported");
  else
    summary("Busy CPU per session per meter", "not measured", "", "NOT DONE");
  return level6_per_session >= 0 ? 0 : 1;
}
