// Idle memory where users live with it: after the archive passes. Mercury
// meters with full archives (90-day hourly profile, extended daily and
// monthly archive, journals) and "period_current" 3600, so the first archive
// pass runs in the first session; beside them the figure of the idle-cost
// bench, taken before any archive pass ("period_current" 600, meters without
// archives). All lines run side by side; each line's figures are taken over
// its own idle window, once every meter of that line has finished its first
// session.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "lib/benchlib.h"

using namespace bench;

namespace {

const char kCurrentEnd[] = "SessionEnd(read all current values)";
// The archive meters' line runs fast so that 64 first sessions with 90 days
// of archives take minutes, not the better part of an hour; what is read and
// stored does not depend on the speed.
const int kArchiveBaud = 115200;

struct Sample {
  double cpu_pct = -1;
  MemFigures mem;
  long heap_kb = -1;
};

struct Setup {
  int meters;
  bool archives;
};

std::string item(const Line& l, int id, const char* name) {
  return readFile(l.root() + "/tmp/" + std::to_string(id) + "/1/tc_items/" + name);
}

// Every meter has stored hourly records and is back to "wait" after them.
bool archivesDone(const Line& l, int meters) {
  for (int id = 1001; id <= 1000 + meters; ++id) {
    if (readFile(l.root() + "/mnt/storage/" + std::to_string(id) + "/timestamp_max_hourly").empty())
      return false;
    if (item(l, id, "_Read_status") != "wait") return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  killChildrenOnSignal();
  const std::vector<int> counts = meterCounts(argc, argv);
  const int runs = envInt("BENCH_RUNS", 3);
  const int seconds = envInt("IDLE_SECONDS", 60);
  std::vector<Setup> setups;
  for (bool archives : {false, true})
    for (int n : counts) setups.push_back({n, archives});

  printf("## 6. Memory after the archive passes\n\n");
  printf(
      "Idle figures of mtr_main with Mercury 230 meters on one simulated line, once every meter "
      "has finished its first session. *before archives*: as in the idle-cost bench "
      "(\"period_current\" 600, so no archive pass has run yet; meters without archives, 9600 "
      "Bd). *after archives*: \"period_current\" 3600, so the first session runs the daily, "
      "monthly, yearly and hourly passes; each meter holds a 90-day hourly profile, 124 days of "
      "extended daily and 12 months of monthly archive, and journal events; %d Bd. CPU over %d s "
      "of idling, from 3 s after the line's own first sessions; *heap* is the resident part of the "
      "malloc arenas; *peak* is VmHWM "
      "over the whole run (start-up and every first pass) and its excess over the idle VmRSS. "
      "Median of %d runs (range in brackets). Load average at start: %s.\n\n",
      kArchiveBaud, seconds, runs, loadAverage().c_str());
  fflush(stdout);

  std::vector<std::vector<Sample>> samples(setups.size());
  for (int run = 0; run < runs; ++run) {
    std::vector<std::unique_ptr<Line>> lines;
    for (const Setup& s : setups) {
      LineOptions o;
      o.meters_json = s.archives ? mercuryArchiveMeters(s.meters) : mercuryMeters(s.meters, false);
      o.config_json = s.archives ? mercuryConfig(s.meters, "3600", kArchiveBaud)
                                 : mercuryConfig(s.meters, "600");
      o.baud = s.archives ? kArchiveBaud : 9600;
      o.reply_delay_ms = s.archives ? 2 : 10;
      o.ids = mercuryIds(s.meters);
      o.sim_log = false;
      lines.push_back(std::make_unique<Line>(o));
      if (!lines.back()->ready())
        fprintf(stderr, "line: %s\n", lines.back()->error().c_str());
      else
        lines.back()->startDaemon();
    }
    // Each line idles over its own window, opened 3 s after its first
    // sessions (the last session's rotation and files): the lines without
    // archives start their next sessions 600 s after start, before the
    // archive lines are done.
    enum Phase { kFirstSessions, kSettling, kIdle, kDone };
    std::vector<Phase> phase(setups.size(), kFirstSessions);
    // kSettling: when the window opens; kIdle: when it opened, and the CPU time then.
    std::vector<double> at(setups.size(), 0), c0(setups.size(), 0);
    const double t_start = monoNow();
    for (;;) {
      bool busy = false;
      for (size_t i = 0; i < setups.size(); ++i) {
        Line& l = *lines[i];
        const int n = setups[i].meters;
        if (!l.ready() || phase[i] == kDone) continue;
        busy = true;
        const double now = monoNow();
        if (phase[i] == kFirstSessions) {
          // Limits far above a first session's length on a loaded machine; the
          // turn passes at the supervisor's 5-second step, so a line of n
          // meters needs at least 5n seconds.
          const double limit = setups[i].archives ? 120 + 20.0 * n : 60 + 6.0 * n;
          if (setups[i].archives ? archivesDone(l, n) : l.countInLog(kCurrentEnd) >= n) {
            fprintf(stderr, "run %d: %d meters%s: first sessions over after %.0f s\n", run + 1, n,
                    setups[i].archives ? " with archives" : "", now - t_start);
            phase[i] = kSettling;
            at[i] = now + 3;
          } else if (now - t_start > limit) {
            fprintf(stderr, "%d meters%s: first sessions not over after %.0f s\n", n,
                    setups[i].archives ? " with archives" : "", now - t_start);
            phase[i] = kDone;
          }
          continue;
        }
        const pid_t pid = l.daemonPid();
        if (phase[i] == kSettling) {
          if (now < at[i]) continue;
          phase[i] = kIdle;
          at[i] = now;
          c0[i] = cpuSeconds(pid);
          continue;
        }
        if (now - at[i] < seconds) continue;
        Sample smp;
        smp.cpu_pct = 100.0 * (cpuSeconds(pid) - c0[i]) / (now - at[i]);
        smp.mem = memFigures(pid);
        smp.heap_kb = heapKb(pid);
        samples[i].push_back(smp);
        phase[i] = kDone;
        // For looking into where the memory is: the mappings of each daemon.
        if (const char* dir = getenv("BENCH_SMAPS"))
          writeFile(
              fmt("%s/%d-%s.smaps", dir, setups[i].meters, setups[i].archives ? "after" : "before"),
              readFile("/proc/" + std::to_string(pid) + "/smaps"));
      }
      if (!busy) break;
      sleepSeconds(0.5);
    }
  }

  printf(
      "| meters | state | RssAnon kB | VmRSS kB | heap kB | threads | peak VmHWM kB | peak above "
      "idle kB | CPU %% of one core |\n|---|---|---|---|---|---|---|---|---|\n");
  std::vector<long> anon(setups.size(), -1), above(setups.size(), -1);
  std::vector<double> cpu(setups.size(), -1);
  for (size_t i = 0; i < setups.size(); ++i) {
    const char* state = setups[i].archives ? "after archives" : "before archives";
    if (samples[i].empty()) {
      printf("| %d | %s | not measured | | | | | | |\n", setups[i].meters, state);
      continue;
    }
    std::vector<double> a, r, h, hw, up, c;
    for (const Sample& s : samples[i]) {
      a.push_back(static_cast<double>(s.mem.rss_anon_kb));
      r.push_back(static_cast<double>(s.mem.vm_rss_kb));
      h.push_back(static_cast<double>(s.heap_kb));
      hw.push_back(static_cast<double>(s.mem.vm_hwm_kb));
      up.push_back(static_cast<double>(s.mem.vm_hwm_kb - s.mem.vm_rss_kb));
      c.push_back(s.cpu_pct);
    }
    Stats as = stats(a), us = stats(up), cs = stats(c);
    anon[i] = static_cast<long>(as.median);
    above[i] = static_cast<long>(us.max);
    cpu[i] = cs.median;
    printf(
        "| %d | %s | %.0f (%.0f-%.0f) | %.0f | %.0f | %d | %.0f | %.0f (%.0f-%.0f) | %.4f "
        "(%.4f-%.4f) |\n",
        setups[i].meters, state, as.median, as.min, as.max, stats(r).median, stats(h).median,
        samples[i].back().mem.threads, stats(hw).median, us.median, us.min, us.max, cs.median,
        cs.min, cs.max);
  }
  printf("\n");

  // Growth per added meter after archives, between the smallest count above
  // one and the largest.
  size_t lo = setups.size(), hi = setups.size();
  for (size_t i = 0; i < setups.size(); ++i) {
    if (!setups[i].archives || anon[i] < 0 || setups[i].meters < 8) continue;
    if (lo == setups.size() || setups[i].meters < setups[lo].meters) lo = i;
    if (hi == setups.size() || setups[i].meters > setups[hi].meters) hi = i;
  }
  double growth = -1;
  if (lo < setups.size() && hi < setups.size() && lo != hi) {
    growth = static_cast<double>(anon[hi] - anon[lo]) / (setups[hi].meters - setups[lo].meters);
    printf("RssAnon after archives grows by %.1f kB per added meter from %d to %d meters.\n\n",
           growth, setups[lo].meters, setups[hi].meters);
  }
  fflush(stdout);

  bool met = true;
  long worst_above = -1;
  for (size_t i = 0; i < setups.size(); ++i) {
    if (setups[i].archives && above[i] > worst_above) worst_above = above[i];
    if (setups[i].meters != 32) continue;
    if (!setups[i].archives) {
      if (anon[i] >= 0)
        summary("Idle private memory before archive passes (RssAnon), 32 meters",
                fmt("%ld kB", anon[i]), "<= 3 MB (2930 kB)", anon[i] <= 2930 ? "met" : "MISSED");
      continue;
    }
    if (anon[i] < 0) {
      summary("Idle memory after archive passes, 32 meters", "not measured", "", "NOT DONE");
      met = false;
      continue;
    }
    summary("Idle private memory after archive passes (RssAnon), 32 meters", fmt("%ld kB", anon[i]),
            "<= 3 MB (2930 kB)", anon[i] <= 2930 ? "met" : "MISSED");
    summary("Idle CPU after archive passes, 32 meters", fmt("%.4f %% of a core", cpu[i]),
            "<= 0.1 %", cpu[i] <= 0.1 ? "met" : "MISSED");
    met = met && anon[i] <= 2930 && cpu[i] <= 0.1;
  }
  if (growth >= 0) {
    summary(fmt("Private memory per added meter after archive passes, %d to %d meters",
                setups[lo].meters, setups[hi].meters),
            fmt("%.1f kB", growth), "<= 30 kB", growth <= 30 ? "met" : "MISSED");
    met = met && growth <= 30;
  }
  if (worst_above >= 0) {
    summary("Peak memory of the first archive passes above idle (VmHWM - VmRSS), worst count",
            fmt("%ld kB", worst_above), "<= 2 MB (1953 kB)",
            worst_above <= 1953 ? "met" : "MISSED");
    met = met && worst_above <= 1953;
  }
  return met ? 0 : 1;
}
