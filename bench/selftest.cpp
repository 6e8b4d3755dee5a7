// Checks of the benches' own arithmetic and parsing, run first by bench/run.sh:
// a bench that misreads a log or miscounts a line bound reports nonsense
// with a straight face. Expected figures are worked out by hand.
#include <json/json.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "lib/benchlib.h"

using namespace bench;

namespace {

int checks = 0, failures = 0;

void check(bool ok, const std::string& what) {
  ++checks;
  if (!ok) {
    ++failures;
    fprintf(stderr, "FAILED: %s\n", what.c_str());
  }
}

void near(double got, double want, double tol, const std::string& what) {
  check(std::fabs(got - want) <= tol, fmt("%s: got %.6f, want %.6f", what.c_str(), got, want));
}

double localTime(int y, int mo, int d, int h, int mi, int s) {
  return static_cast<double>(mtr::localMoment(y, mo, d, h, mi, s));
}

void simLog(const std::string& dir) {
  writeFile(dir + "/sim.log",
            "2024-05-01 12:00:00.000 # started: 1 meter(s) on /dev/pts/3 at 9600 8N1\n"
            "2024-05-01 12:00:00.123 RX 01 00 00 20 ; meter 1: test channel\n"
            "2024-05-01 12:00:00.140 TX 01 00 00 20\n"
            "2024-05-01 12:00:01.005 RX 01 42 30 03 75 ; break: session ended\n"
            "garbage line\n"
            "2024-05-01 12:00:07.999 TX 02 41 42 43 44 45 46 47 48 03 21 ; fault badcrc\n");
  std::vector<Frame> f = readSimLog(dir + "/sim.log");
  check(f.size() == 4, fmt("sim log frames: %zu", f.size()));
  if (f.size() != 4) return;
  const double base = localTime(2024, 5, 1, 12, 0, 0);
  near(f[0].t, base + 0.123, 1e-6, "RX time");
  check(!f[0].tx && f[0].bytes == 4 && f[0].note == "meter 1: test channel", "RX frame");
  check(f[1].tx && f[1].bytes == 4 && f[1].note.empty(), "TX frame without note");
  check(f[2].bytes == 5, "break bytes");
  check(f[3].tx && f[3].bytes == 11 && f[3].note == "fault badcrc", "TX with note");
  near(f[3].t, base + 7.999, 1e-6, "TX time");
}

void daemonLog(const std::string& dir) {
  writeFile(dir + "/d.log",
            "23:59:59.250.125 Info: before midnight\n"
            "[1][2] CMercury23XLowLevelConnector::WriteBuffer: \n"
            "0x01 0x00 \n"
            "00:00:01.000.001 Debug: after midnight\n");
  const double midnight = localTime(2024, 5, 2, 0, 0, 0);
  std::vector<LogLine> l = readDaemonLog(dir + "/d.log", midnight + 10);
  check(l.size() == 2, fmt("daemon log lines: %zu", l.size()));
  if (l.size() != 2) return;
  near(l[0].t, midnight - 0.749875, 1e-6, "line before midnight belongs to the day before");
  check(l[0].text == "Info: before midnight", "text after the time: " + l[0].text);
  near(l[1].t, midnight + 1.000001, 1e-6, "microseconds");
}

Frame frame(double t, bool tx, size_t bytes) {
  return Frame{t, tx, bytes, ""};
}

void lineModel() {
  // Mercury: 4-byte request, 4-byte answer at 9600 Bd 8N1: 8 x 10 / 9600 s
  // = 8.333 ms on the wire, plus 10 ms latency.
  LineModel binary{9600, 10, 0.010, 0, 5.0};
  std::vector<Frame> f = {frame(100.005, false, 4), frame(100.0233, true, 4),
                          frame(100.030, false, 11), frame(100.0709, true, 19)};
  Session s = sessionBound(f, 100.0, binary);
  check(s.exchanges == 2 && s.unanswered == 0 && s.bytes == 38, "binary exchanges");
  near(s.wire, 38 * 10 / 9600.0, 1e-9, "wire time");
  near(s.bound, 38 * 10 / 9600.0 + 0.020, 1e-9, "binary bound");
  near(s.additive, s.bound, 1e-12, "no sleep: additive equals bound");
  near(s.measured, 0.0709, 1e-9, "measured to the last answer");

  // IEC 61107: break unanswered (100 ms sleep + 5 s timeout), sign-on of 10
  // bytes answered by 15 (26 ms + 10 ms < 100 ms: the sleep rules), a read of
  // 13 bytes answered by 90 (107.3 ms + 10 ms > 100 ms: the line rules).
  LineModel iec{9600, 10, 0.010, 0.100, 5.0};
  std::vector<Frame> g = {frame(0.001, false, 5), frame(5.101, false, 10), frame(5.140, true, 15),
                          frame(5.205, false, 13), frame(5.330, true, 90)};
  Session t = sessionBound(g, 0.0, iec);
  check(t.exchanges == 3 && t.unanswered == 1, "iec exchanges");
  const double read = 103 * 10 / 9600.0 + 0.010;
  near(t.bound, 5.1 + 0.100 + read, 1e-9, "iec bound");
  near(t.waits, 5.1 + 0.2, 1e-9, "prescribed waits");
  near(t.additive, 5 * 10 / 9600.0 + 5.1 + (25 * 10 / 9600.0 + 0.11) + (read + 0.1), 1e-9,
       "iec additive");
  near(t.measured, 5.330, 1e-9, "measured");
  // A last answer faster than the sleep: the master is busy until the sleep ends.
  std::vector<Frame> h = {frame(1.000, false, 13), frame(1.040, true, 20)};
  near(sessionBound(h, 0.5, iec).measured, 0.600, 1e-9, "sleep after the last request");
  // Window by the millisecond: the next session's first request, logged as
  // 2.000 though sent at 2.0004, is not this session's.
  std::vector<Frame> w = {frame(1.000, false, 13), frame(1.040, true, 20), frame(2.000, false, 13),
                          frame(2.060, true, 20)};
  std::vector<Frame> first = framesIn(w, 1.0004, 2.0004), second = framesIn(w, 2.0004, 9);
  check(first.size() == 2 && second.size() == 2, "frames split at a session start");
  // An answer logged after the next session began still belongs to its request.
  std::vector<Frame> late = {frame(1.000, false, 13), frame(2.001, true, 20),
                             frame(2.003, false, 13), frame(2.060, true, 20)};
  check(framesIn(late, 1.0004, 2.0004).size() == 2 && framesIn(late, 2.0004, 9).size() == 2,
        "answer follows its request");
  // Nothing answered: nothing measured.
  check(sessionBound({frame(1, false, 5)}, 0, iec).measured == 0, "unanswered only");
}

void statistics() {
  Stats odd = stats({3, 1, 2});
  check(odd.median == 2 && odd.min == 1 && odd.max == 3 && odd.n == 3, "odd median");
  check(stats({4, 1, 3, 2}).median == 2.5, "even median");
  check(stats({}).n == 0, "empty");
}

void configs() {
  Json::CharReaderBuilder b;
  for (const std::string& text : {mercuryMeters(3, true), mercuryConfig(3, "600"),
                                  mercuryArchiveMeters(3), mercuryConfig(3, "3600", 115200)}) {
    Json::Value v;
    std::string errs;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    check(r->parse(text.data(), text.data() + text.size(), &v, &errs), "JSON: " + errs);
  }
  Json::Value v;
  std::string text = mercuryConfig(2, "0"), errs;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  r->parse(text.data(), text.data() + text.size(), &v, &errs);
  check(v["1002"]["net_address"].asString() == "2" && v["1001"]["period_current"] == "0",
        "configuration fields");
  check(mercuryIds(2) == std::vector<std::string>({"1001", "1002"}), "identifiers");
}

void processFigures() {
  const double c0 = cpuSeconds(getpid());
  volatile double x = 0;
  for (int i = 0; i < 20000000; ++i) x = x + i * 0.5;
  const double c1 = cpuSeconds(getpid());
  check(c1 > c0 && c1 - c0 < 10, fmt("CPU clock moves: %.6f -> %.6f", c0, c1));
  MemFigures m = memFigures(getpid());
  check(m.rss_anon_kb > 0 && m.vm_rss_kb >= m.rss_anon_kb && m.threads == 1, "memory figures");
  check(voluntarySwitches(getpid()) >= 0, "context switches");
  // Two MB touched on the heap show in the heap figure.
  const long h0 = heapKb(getpid());
  std::vector<char*> blocks;
  for (int i = 0; i < 512; ++i) {
    blocks.push_back(new char[4000]);
    memset(blocks.back(), 1, 4000);
  }
  const long h1 = heapKb(getpid());
  check(h0 >= 0 && h1 - h0 >= 1800, fmt("heap figure: %ld -> %ld kB", h0, h1));
  for (char* b : blocks) delete[] b;
}

}  // namespace

int main() {
  std::string dir = makeTempDir("/tmp/mtr-bench-selftest.");
  simLog(dir);
  daemonLog(dir);
  lineModel();
  statistics();
  configs();
  processFigures();
  removeTree(dir);
  summary("Bench self-check (parsing, line model)",
          fmt("%d of %d checks pass", checks - failures, checks), "all pass",
          failures ? "FAILED" : "met");
  fprintf(stderr, "%d passed, %d failed\n", checks - failures, failures);
  return failures ? 1 : 0;
}
