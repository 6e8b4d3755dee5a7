// Line efficiency: how close a current-values session comes to the time its
// bytes need on a 9600 Bd line. mtr-metersim paces every byte and answers
// after a fixed latency; mtr_main polls one meter continuously (period 0).
//
// A session runs from the daemon's "CanSessionStart(read all current values)"
// line to the last byte of the last answer. Its lower bound on the line is,
// per exchange, request and answer bytes x 10 bits / 9600 plus the latency,
// and the waits the protocol prescribes: after an IEC 61107 request the master
// sleeps 100 ms (the answer may arrive meanwhile, so that exchange costs the
// larger of the two), and a request the meter does not answer (the IEC break)
// costs the connector's 5 s read timeout. The "additive" bound adds the waits
// on top instead, as a coarser reference.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "lib/benchlib.h"

using namespace bench;

namespace {

constexpr double kBitsPerByte = 10;   // 8N1
constexpr double kIecSleep = 0.1;     // after every IEC 61107 request
constexpr double kReadTimeout = 5.0;  // the connector's, for an unanswered request
const char kStart[] = "CanSessionStart(read all current values)";
const char kEnd[] = "SessionEnd(read all current values)";

struct Family {
  const char* name;
  bool iec;
  int sessions;  // measured sessions per run, after the first
  std::string meters, config;
  std::vector<std::string> ids;
};

std::vector<Family> families() {
  std::vector<Family> f;
  f.push_back(
      {"Mercury 230", false, 5, mercuryMeters(1, true), mercuryConfig(1, "0"), mercuryIds(1)});
  f.push_back({"CE301 (IEC 61107)",
               true,
               2,
               R"({"meters": [{"protocol": "iec61107", "model": "ce301", "address": "12345",
    "serial": "009217012345", "voltage": [229.4, 231.2, 230.1], "current": [4.1, 3.2, 1.8],
    "power": [900, 700, 400], "energy": {"A+": [15234.5, 7421.25, 0, 0]}}]})",
               R"({"201": {"manufacturer": "ce301", "serial": "009217012345",
    "net_address": "12345", "period_current": "0",
    "port_params": {"name": "@TTY@", "speed": "9600"}}})",
               {"201"}});
  f.push_back({"CE2727A",
               false,
               5,
               R"({"meters": [{"protocol": "ce2727", "model": "ce2727a", "address": 2727001,
    "password": "12345678", "password_type": "hex", "serial": "9012345",
    "voltage": [229.4, 231.2, 230.1], "current": [4.1, 3.2, 1.8], "power": [900, 700, 400],
    "energy": {"A+": [15234.5, 7421.25, 0, 0]}}]})",
               R"({"301": {"manufacturer": "ce2727a", "serial": "9012345",
    "net_address": "2727001", "password": "12345678", "password_type": "hex",
    "period_current": "0", "port_params": {"name": "@TTY@", "speed": "9600"}}})",
               {"301"}});
  return f;
}

// Sessions of one run, the first (connection and passport) left out.
std::vector<Session> sessionsOf(const Line& line, bool iec, double baud, double latency,
                                double run_start) {
  std::vector<LogLine> log = readDaemonLog(line.daemonLogPath(), run_start);
  std::vector<Frame> frames = readSimLog(line.simLogPath());
  std::vector<double> starts;
  for (const auto& l : log)
    if (l.text.find(kStart) != std::string::npos) starts.push_back(l.t);
  std::vector<Session> out;
  for (size_t i = 1; i + 1 < starts.size(); ++i) {
    std::vector<Frame> in = framesIn(frames, starts[i], starts[i + 1]);
    LineModel model{baud, kBitsPerByte, latency, iec ? kIecSleep : 0, kReadTimeout};
    Session s = sessionBound(in, starts[i], model);
    if (s.exchanges > 0 && s.measured > 0) out.push_back(s);
  }
  return out;
}

struct Result {
  std::vector<double> additive, excess_ms, measured_ms;
  std::vector<Session> all;
  int runs_ok = 0;
  // The session whose time is nearest the median: the row's bytes and bounds.
  Session typical() const {
    const double m = stats(measured_ms).median / 1000;
    Session best;
    for (const Session& s : all)
      if (best.exchanges == 0 || std::fabs(s.measured - m) < std::fabs(best.measured - m)) best = s;
    return best;
  }
};

}  // namespace

int main() {
  killChildrenOnSignal();
  const int runs = envInt("BENCH_RUNS", 3);
  const int baud = 9600;
  const int latency_ms = envInt("BENCH_LATENCY_MS", 10);
  const bool rt = realtimeAllowed();
  const char* modes[] = {"isolated", "shared"};

  printf("## 1. Line efficiency\n\n");
  printf(
      "One meter on a %d Bd 8N1 line, polled continuously (\"period_current\" 0, log level 6 "
      "to a file). The simulator answers %d ms after a request's last byte and paces its "
      "bytes; it runs under SCHED_FIFO%s, standing in for a meter's own hardware. "
      "*isolated*: mtr_main under SCHED_FIFO too, so the other jobs of this shared machine do "
      "not delay its wake-ups; *shared*: mtr_main at normal priority, as is. %d runs, sessions "
      "after the first of each run; the ratio is the median of the per-run medians, the "
      "spread the range of the per-run medians. Load average at start: %s.\n\n",
      baud, latency_ms, rt ? "" : " (not permitted here: normal priority)", runs,
      loadAverage().c_str());
  printf(
      "| meter | mode | exchanges | bytes | wire ms | prescribed waits ms | line bound ms | "
      "session ms | ratio | spread | additive ratio | excess per exchange ms |\n");
  printf("|---|---|---|---|---|---|---|---|---|---|---|---|\n");

  const std::vector<Family> fams = families();
  bool all_ok = true;
  for (const char* mode : modes) {
    const bool isolated = strcmp(mode, "isolated") == 0;
    std::vector<Result> results(fams.size());
    std::vector<std::vector<double>> run_ratio(fams.size());
    for (int run = 0; run < runs; ++run) {
      // The three lines run side by side: each is a pty of its own.
      std::vector<std::unique_ptr<Line>> lines;
      for (const Family& fam : fams) {
        LineOptions o;
        o.meters_json = fam.meters;
        o.config_json = fam.config;
        o.ids = fam.ids;
        o.baud = baud;
        o.reply_delay_ms = latency_ms;
        o.sim_rt = rt ? 50 : 0;
        o.daemon_rt = rt && isolated ? 40 : 0;
        lines.push_back(std::make_unique<Line>(o));
        if (!lines.back()->ready()) fprintf(stderr, "line: %s\n", lines.back()->error().c_str());
      }
      const double start = wallNow();
      for (auto& l : lines)
        if (l->ready()) l->startDaemon();
      for (size_t i = 0; i < fams.size(); ++i) {
        Line& line = *lines[i];
        if (!line.ready()) continue;
        const int want = fams[i].sessions + 2;
        if (!waitUntil([&] { return line.countInLog(kEnd) >= want; }, 90 + 10.0 * want, 0.1))
          fprintf(stderr, "%s: only %d sessions\n", fams[i].name, line.countInLog(kEnd));
        line.stopDaemon();
      }
      for (size_t i = 0; i < fams.size(); ++i) {
        if (!lines[i]->ready()) continue;
        std::vector<Session> ss =
            sessionsOf(*lines[i], fams[i].iec, baud, latency_ms / 1000.0, start);
        if (ss.empty()) continue;
        Result& r = results[i];
        std::vector<double> rr;
        for (const Session& s : ss) {
          rr.push_back(s.measured / s.bound);
          r.additive.push_back(s.measured / s.additive);
          r.excess_ms.push_back((s.measured - s.bound) * 1000 / s.exchanges);
          r.measured_ms.push_back(s.measured * 1000);
        }
        run_ratio[i].push_back(stats(rr).median);
        r.all.insert(r.all.end(), ss.begin(), ss.end());
        ++r.runs_ok;
      }
    }
    for (size_t i = 0; i < fams.size(); ++i) {
      const Family& fam = fams[i];
      const Result& r = results[i];
      if (r.runs_ok == 0) {
        printf("| %s | %s | - | - | - | - | - | - | not measured | | | |\n", fam.name, mode);
        summary(std::string("Line efficiency, ") + fam.name + ", " + mode, "not measured",
                "<= 1.05", "NOT DONE");
        all_ok = false;
        continue;
      }
      Stats ratio = stats(run_ratio[i]);
      const Session t = r.typical();
      printf(
          "| %s | %s | %d | %zu | %.1f | %.1f | %.1f | %.1f | %.3f | %.3f-%.3f | %.3f | %.2f |\n",
          fam.name, mode, t.exchanges, t.bytes, t.wire * 1000, t.waits * 1000, t.bound * 1000,
          stats(r.measured_ms).median, ratio.median, ratio.min, ratio.max, stats(r.additive).median,
          stats(r.excess_ms).median);
      fflush(stdout);
      summary(std::string("Line efficiency, ") + fam.name + ", " + mode,
              fmt("%.3f (%.3f-%.3f)", ratio.median, ratio.min, ratio.max), "<= 1.05",
              ratio.median <= 1.05 ? "met" : (isolated ? "MISSED" : "over (machine load)"));
    }
  }
  printf(
      "\n*bytes* and the bounds are those of one typical session; *excess per exchange* is "
      "(session - line bound) / exchanges, the daemon's own time between an answer's last "
      "byte and its next request plus the simulator's timing error.\n\n");
  return all_ok ? 0 : 1;
}
