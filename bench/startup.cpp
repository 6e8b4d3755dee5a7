// Start-up: from launching mtr_main to the first byte it puts on the line,
// with the configuration server already listening (it answers at once). The
// bench holds the line itself: a pseudo-terminal whose master side it watches,
// so the first byte is timed without a simulator in between. Each launch gets
// a fresh MTR_ROOT, so it also makes its folders, as on a first start.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "lib/benchlib.h"

using namespace bench;

namespace {

std::string replaceAll(std::string s, const std::string& from, const std::string& to) {
  for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
    s.replace(p, from.size(), to);
  return s;
}

void drain(int fd) {
  char buf[256];
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, 0) > 0 && (p.revents & POLLIN) && read(fd, buf, sizeof buf) > 0) {
  }
}

}  // namespace

int main() {
  killChildrenOnSignal();
  const int runs = envInt("STARTUP_RUNS", 10);
  const int counts[] = {1, 32};
  printf("## 4. Start-up\n\n");
  printf(
      "Launch of mtr_main (log level 6 to a file) to the first byte on the line (the Mercury "
      "test request of the first meter), the configuration server already listening on "
      "loopback. %d launches each; median (range). Load average at start: %s.\n\n",
      runs, loadAverage().c_str());
  printf("| identifiers | launch to first byte, ms |\n|---|---|\n");

  int master = -1, slave = -1;
  char name[256];
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    perror("openpty");
    summary("Start-up to first byte", "not measured", "< 200 ms", "NOT DONE");
    return 1;
  }
  // The bench keeps the slave open too, so that the line does not hang up
  // between launches.
  struct termios raw;
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave, TCSANOW, &raw);

  double one_meter = -1;
  for (int n : counts) {
    std::string dir = makeTempDir(ramDir() + "/mtr-bench-start.");
    writeFile(dir + "/config.json", replaceAll(mercuryConfig(n, "600"), "@TTY@", name));
    std::unique_ptr<Proc> conf;
    const std::string url = startConfServer(conf, dir + "/config.json", dir);
    if (url.empty()) {
      printf("| %d | not measured (mtr-confsrv did not start) |\n", n);
      removeTree(dir);
      continue;
    }
    std::vector<double> ms;
    for (int run = 0; run < runs; ++run) {
      std::string root = makeTempDir(dir + "/root.");
      std::vector<std::string> argv{binDir() + "/mtr_main", "-v", "6", "-l", root + "/daemon.log"};
      for (const auto& id : mercuryIds(n)) {
        argv.push_back("-i");
        argv.push_back(id);
      }
      drain(master);
      const double t0 = monoNow();
      {
        Proc daemon(argv, root + "/out", root + "/err",
                    {"MTR_ROOT=" + root, "MTR_CONFIG_URL=" + url});
        pollfd p{master, POLLIN, 0};
        int r = poll(&p, 1, 10000);
        const double t1 = monoNow();
        if (r > 0 && (p.revents & POLLIN))
          ms.push_back((t1 - t0) * 1000);
        else
          fprintf(stderr, "no byte within 10 s: %s\n", readFile(root + "/err").c_str());
      }  // killed here
      removeTree(root);
      sleepSeconds(0.05);
      drain(master);
    }
    removeTree(dir);
    if (ms.empty()) {
      printf("| %d | not measured |\n", n);
      continue;
    }
    Stats s = stats(ms);
    printf("| %d | %.1f (%.1f-%.1f) |\n", n, s.median, s.min, s.max);
    fflush(stdout);
    if (n == 1) one_meter = s.median;
  }
  printf("\n");
  close(slave);
  close(master);
  if (one_meter < 0) {
    summary("Start-up to first byte", "not measured", "< 200 ms", "NOT DONE");
    return 1;
  }
  summary("Start-up to first byte, 1 identifier", fmt("%.1f ms", one_meter), "< 200 ms",
          one_meter < 200 ? "met" : "MISSED");
  return 0;
}
