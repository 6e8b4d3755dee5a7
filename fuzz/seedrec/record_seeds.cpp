// Records simulated sessions of each driver operation as seeds of the driver
// fuzz targets: fuzz_record_seeds METERSIM METERS.json OUTDIR FAMILY [MODEL].
// "@CLOCK_OFFSET@" in METERS.json sets the meter clocks to the harness clock.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "base/fsutil.h"
#include "fuzz/harness/ce2727_driver.h"
#include "fuzz/harness/ce30x_driver.h"
#include "fuzz/harness/mercury_driver.h"
#include "transport/connector.h"

namespace {

using mtr_fuzz::DriverInput;

// The real line, keeping every read (an empty entry for each timeout).
class RecordingConnector : public CConnector {
 public:
  explicit RecordingConnector(std::shared_ptr<CConnector> inner) : inner_(std::move(inner)) {}
  int32_t WriteBuffer(const uint8_t* buf, uint16_t len, bool f) override {
    return inner_->WriteBuffer(buf, len, f);
  }
  int32_t ReadBuffer(uint8_t* buf, uint16_t len, bool f) override {
    int32_t n = inner_->ReadBuffer(buf, len, f);
    keep(buf, n, n <= 0);
    return n;
  }
  int32_t ReadBufferCycle(uint8_t* buf, uint16_t len, bool f, uint32_t t) override {
    int32_t n = inner_->ReadBufferCycle(buf, len, f, t);
    keep(buf, n, n < len);
    return n;
  }
  bool open_device() override { return inner_->open_device(); }
  void close_device() override { inner_->close_device(); }
  int FlushBuffer() override { return inner_->FlushBuffer(); }
  int DrainBuffer() override { return inner_->DrainBuffer(); }
  void SetTimeout(uint32_t ms) override { inner_->SetTimeout(ms); }

  std::vector<std::vector<uint8_t>> reads;

 private:
  void keep(const uint8_t* buf, int32_t n, bool timed_out) {
    if (n > 0) reads.emplace_back(buf, buf + n);
    if (timed_out) reads.emplace_back();
  }
  std::shared_ptr<CConnector> inner_;
};

// mtr-metersim on METERS; its device is what it prints first.
struct Simulator {
  pid_t pid = -1;
  std::string device;

  bool start(const std::string& exe, const std::string& meters) {
    int out[2];
    if (pipe(out) != 0) return false;
    if ((pid = fork()) == 0) {
      dup2(out[1], STDOUT_FILENO);
      close(out[0]), close(out[1]);
      execl(exe.c_str(), exe.c_str(), meters.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') device += c;
    close(out[0]);
    return device.rfind("device=", 0) == 0 && !(device = device.substr(7)).empty();
  }
  ~Simulator() {
    if (pid > 0) kill(pid, SIGTERM), waitpid(pid, nullptr, 0);
  }
};

// Header, then reads as frames of up to 255 bytes; each timeout an empty gap frame (0x40).
std::string seedBytes(const DriverInput& in, const std::vector<std::vector<uint8_t>>& reads) {
  std::vector<uint8_t> out = in.bytes();
  for (const auto& r : reads) {
    if (r.empty()) out.insert(out.end(), {0x40, 0});
    for (size_t off = 0; off < r.size(); off += 255) {
      size_t n = std::min<size_t>(255, r.size() - off);
      out.insert(out.end(), {0, static_cast<uint8_t>(n)});
      out.insert(out.end(), r.begin() + off, r.begin() + off + n);
    }
  }
  return std::string(out.begin(), out.end());
}

}  // namespace

namespace mtr_fuzz {
void fail(const char* harness, const char* what) {
  fprintf(stderr, "%s: %s\n", harness, what);
}
}  // namespace mtr_fuzz

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) {
    fprintf(stderr, "usage: %s METERSIM METERS.json OUTDIR mercury|ce2727|ce30x [MODEL]\n",
            argv[0]);
    return 2;
  }
  const std::pair<std::string, mtr_fuzz::Session> families[] = {
      {"mercury", mtr_fuzz::mercurySession},
      {"ce2727", mtr_fuzz::ce2727Session},
      {"ce30x", mtr_fuzz::ce30xSession}};
  mtr_fuzz::Session session = nullptr;
  for (const auto& f : families)
    if (f.first == argv[4]) session = f.second;
  if (!session) {
    fprintf(stderr, "unknown family %s\n", argv[4]);
    return 2;
  }
  const uint8_t model = argc == 6 ? static_cast<uint8_t>(atoi(argv[5]) & 7) : 0;

  std::string stem = argv[2], text;
  stem = stem.substr(stem.find_last_of('/') + 1);
  stem = stem.substr(0, stem.find('.'));
  if (!mtr::readFile(argv[2], text)) {
    fprintf(stderr, "cannot read %s\n", argv[2]);
    return 1;
  }
  mtr_fuzz::NullClock probe;
  std::string offset = std::to_string(static_cast<long long>(probe.now() - time(nullptr)));
  for (size_t at; (at = text.find("@CLOCK_OFFSET@")) != std::string::npos;)
    text.replace(at, 14, offset);
  char meters[] = "/tmp/mtr-seedrec-XXXXXX";
  int fd = mkstemp(meters);
  if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return 1;
  close(fd);

  Simulator sim;
  bool started = sim.start(argv[1], meters);
  unlink(meters);
  if (!started) {
    fprintf(stderr, "simulator did not start\n");
    return 1;
  }
  SettingsMap port = {
      {"name", sim.device}, {"speed", "9600"}, {"data", "8"}, {"parity", "N"}, {"stop", "1"}};
  std::shared_ptr<CConnector> real(CreateConnector(port));
  real->SetTimeout(1500);

  // Each operation once; archives of every kind over a few recent units.
  const std::pair<const char*, DriverInput> specs[] = {
      {"system", {0, 0, 0, 0}},        {"current", {0x21, 0, 0, 0}},
      {"timestamps", {2, 0, 0, 0}},    {"hourly", {0x23, 0, 4 * 12, 4}},
      {"daily", {0x23, 1, 4 * 5, 3}},  {"monthly", {0x23, 2, 4 * 3, 2}},
      {"yearly", {0x23, 3, 4 * 2, 1}}, {"system_verbose", {8, 0, 0, 0}},
  };
  for (auto [name, in] : specs) {
    in.sel = static_cast<uint8_t>(in.sel | model << 2);
    auto rec = std::make_shared<RecordingConnector>(real);
    mtr_fuzz::NullClock clock;
    session("record", in, rec, clock);
    std::string path = std::string(argv[3]) + "/sim_" + stem + "_" + name;
    if (!mtr::writeFileAtomic(path, seedBytes(in, rec->reads))) {
      fprintf(stderr, "cannot write %s\n", path.c_str());
      return 1;
    }
    printf("%s: %zu reads and timeouts\n", path.c_str(), rec->reads.size());
  }
  return 0;
}
