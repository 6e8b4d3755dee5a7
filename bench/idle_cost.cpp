// Idle cost: 1, 8, 32 and 64 Mercury meters on one line each, every meter
// past its first session and waiting out a long "period_current" (600 s:
// the longest that still puts the first archive pass 600 s away). The four
// lines run side by side; after every first round is over, the CPU time of
// each mtr_main (process CPU clock, ns) is taken over the same window, with
// its wake-ups (voluntary context switches of all threads) and memory.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "lib/benchlib.h"

using namespace bench;

namespace {
const char kEnd[] = "SessionEnd(read all current values)";

struct Sample {
  double cpu_pct = 0, wakeups_per_s = 0;
  MemFigures mem;
};
}  // namespace

int main(int argc, char** argv) {
  killChildrenOnSignal();
  const std::vector<int> counts = meterCounts(argc, argv);
  const int runs = envInt("BENCH_RUNS", 3);
  const int seconds = envInt("IDLE_SECONDS", 60);

  printf("## 2. Idle cost\n\n");
  printf(
      "Mercury 230 meters on one simulated 9600 Bd line per process, \"period_current\" 600, log "
      "level 6 to a file. CPU over %d s once every meter has finished its first session, "
      "median of %d runs (range in brackets). Load average at start: %s.\n\n",
      seconds, runs, loadAverage().c_str());

  std::vector<std::vector<Sample>> samples(counts.size());
  for (int run = 0; run < runs; ++run) {
    std::vector<std::unique_ptr<Line>> lines;
    for (int n : counts) {
      LineOptions o;
      o.meters_json = mercuryMeters(n, false);
      o.config_json = mercuryConfig(n, "600");
      o.ids = mercuryIds(n);
      o.sim_log = false;
      lines.push_back(std::make_unique<Line>(o));
      if (!lines.back()->ready())
        fprintf(stderr, "line: %s\n", lines.back()->error().c_str());
      else
        lines.back()->startDaemon();
    }
    bool ok = true;
    for (size_t i = 0; i < counts.size(); ++i) {
      Line& l = *lines[i];
      if (!l.ready() ||
          !waitUntil([&] { return l.countInLog(kEnd) >= counts[i]; }, 60 + 3.0 * counts[i], 0.5)) {
        fprintf(stderr, "%d meters: first round not over (%d sessions)\n", counts[i],
                l.ready() ? l.countInLog(kEnd) : -1);
        ok = false;
      }
    }
    if (!ok) continue;
    sleepSeconds(3);  // the last session's files and logs
    std::vector<double> c0, c1;
    std::vector<long> w0, w1;
    for (auto& l : lines) {
      c0.push_back(cpuSeconds(l->daemonPid()));
      w0.push_back(voluntarySwitches(l->daemonPid()));
    }
    const double t0 = monoNow();
    sleepSeconds(seconds);
    const double dt = monoNow() - t0;
    for (auto& l : lines) {
      c1.push_back(cpuSeconds(l->daemonPid()));
      w1.push_back(voluntarySwitches(l->daemonPid()));
    }
    for (size_t i = 0; i < counts.size(); ++i) {
      Sample s;
      s.cpu_pct = 100.0 * (c1[i] - c0[i]) / dt;
      s.wakeups_per_s = static_cast<double>(w1[i] - w0[i]) / dt;
      s.mem = memFigures(lines[i]->daemonPid());
      samples[i].push_back(s);
    }
  }

  printf(
      "| meters | CPU %% of one core | CPU per meter, ms per minute | wake-ups per s | RssAnon kB "
      "| VmRSS kB | threads |\n|---|---|---|---|---|---|---|\n");
  std::vector<double> per_meter(counts.size(), -1), cpu(counts.size(), -1);
  std::vector<long> anon(counts.size(), -1);
  for (size_t i = 0; i < counts.size(); ++i) {
    if (samples[i].empty()) {
      printf("| %d | not measured | | | | | |\n", counts[i]);
      continue;
    }
    std::vector<double> c, w, a, r;
    for (const Sample& s : samples[i]) {
      c.push_back(s.cpu_pct);
      w.push_back(s.wakeups_per_s);
      a.push_back(static_cast<double>(s.mem.rss_anon_kb));
      r.push_back(static_cast<double>(s.mem.vm_rss_kb));
    }
    Stats cs = stats(c), as = stats(a);
    cpu[i] = cs.median;
    per_meter[i] = cs.median / 100.0 * 60000.0 / counts[i];
    anon[i] = static_cast<long>(as.median);
    printf("| %d | %.4f (%.4f-%.4f) | %.3f | %.2f | %.0f (%.0f-%.0f) | %.0f | %d |\n", counts[i],
           cs.median, cs.min, cs.max, per_meter[i], stats(w).median, as.median, as.min, as.max,
           stats(r).median, samples[i].back().mem.threads);
  }
  printf("\n");
  fflush(stdout);

  int ok = 0;
  for (size_t i = 0; i < counts.size(); ++i) {
    if (counts[i] != 32) continue;
    if (cpu[i] >= 0) {
      summary("Idle CPU, 32 meters", fmt("%.4f %% of a core", cpu[i]), "<= 0.1 %",
              cpu[i] <= 0.1 ? "met" : "MISSED");
      summary("Idle private memory (RssAnon), 32 meters", fmt("%ld kB", anon[i]),
              "<= 3 MB (2930 kB)", anon[i] <= 2930 ? "met" : "MISSED");
      ok += cpu[i] <= 0.1 && anon[i] <= 2930;
    } else {
      summary("Idle CPU and memory, 32 meters", "not measured", "", "NOT DONE");
    }
  }
  // Linear growth at most: the CPU per meter of the largest count must not
  // exceed that of the smallest count above one by more than the noise.
  size_t lo = counts.size(), hi = counts.size();
  for (size_t i = 0; i < counts.size(); ++i) {
    if (per_meter[i] < 0 || counts[i] < 8) continue;
    if (lo == counts.size() || counts[i] < counts[lo]) lo = i;
    if (hi == counts.size() || counts[i] > counts[hi]) hi = i;
  }
  if (lo < counts.size() && hi < counts.size() && lo != hi) {
    // Below a millisecond per minute the figure is noise; count it as linear.
    bool linear = per_meter[hi] <= per_meter[lo] * 1.25 || per_meter[hi] < 1.0;
    summary(fmt("Idle CPU growth, %d to %d meters", counts[lo], counts[hi]),
            fmt("%.3f -> %.3f ms per meter-minute", per_meter[lo], per_meter[hi]),
            "no faster than the number of meters", linear ? "met" : "MISSED");
  }
  return ok ? 0 : 1;
}
