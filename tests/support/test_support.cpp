#include "support/test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace mtr_test {

TempDir::TempDir() {
  char tmpl[] = "/tmp/mtrtest.XXXXXX";
  char* p = mkdtemp(tmpl);
  path_ = p ? p : "/tmp/mtrtest.failed";
}

TempDir::~TempDir() {
  std::error_code ec;
  // Read-only folders left by tests must not stop the clean-up.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec)) chmod(it->path().c_str(), 0755);
  }
  std::filesystem::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  const char* old = getenv(name);
  had_ = old != nullptr;
  if (old) old_ = old;
  if (value)
    setenv(name, value, 1);
  else
    unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  if (had_)
    setenv(name_.c_str(), old_.c_str(), 1);
  else
    unsetenv(name_.c_str());
}

namespace {
pid_t spawn(const std::vector<std::string>& argv, int out_fd, int err_fd,
            const std::vector<std::string>& env) {
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    if (out_fd >= 0) dup2(out_fd, 1);
    if (err_fd >= 0) dup2(err_fd, 2);
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    for (const auto& e : env) putenv(strdup(e.c_str()));
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

void fillStatus(int st, ProcessResult& r) {
  if (WIFEXITED(st)) {
    r.status = WEXITSTATUS(st);
  } else if (WIFSIGNALED(st)) {
    r.signaled = true;
    r.signal = WTERMSIG(st);
    r.status = 128 + r.signal;
  }
}
}  // namespace

Child::Child(const std::vector<std::string>& argv, const std::string& out_file,
             const std::string& err_file, const std::vector<std::string>& env) {
  int ofd = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int efd = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_ = spawn(argv, ofd, efd, env);
  close(ofd);
  close(efd);
}

Child::~Child() {
  if (!reaped_) {
    ::kill(pid_, SIGKILL);
    int st;
    waitpid(pid_, &st, 0);
  }
}

void Child::kill(int sig) {
  if (!reaped_) ::kill(pid_, sig);
}

bool Child::running() {
  if (reaped_) return false;
  int st;
  pid_t w = waitpid(pid_, &st, WNOHANG);
  if (w == pid_) {
    reaped_ = true;
    fillStatus(st, result_);
    return false;
  }
  return true;
}

bool Child::wait(int timeout_ms, ProcessResult* result) {
  bool done = waitFor([&] { return !running(); }, timeout_ms, 5);
  if (done && result) *result = result_;
  return done;
}

ProcessResult runProcess(const std::vector<std::string>& argv, int timeout_ms,
                         const std::vector<std::string>& env) {
  TempDir dir;
  ProcessResult r;
  {
    Child child(argv, dir / "out", dir / "err", env);
    if (!child.wait(timeout_ms, &r)) {
      child.kill(SIGKILL);
      child.wait(10000, &r);
    }
  }
  r.out = readFile(dir / "out");
  r.err = readFile(dir / "err");
  return r;
}

bool waitFor(const std::function<bool()>& pred, int timeout_ms, int step_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (pred()) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
  }
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream ss(text);
  std::string line;
  while (std::getline(ss, line)) lines.push_back(line);
  return lines;
}

int countLinesContaining(const std::string& text, const std::string& needle) {
  int n = 0;
  for (const auto& l : splitLines(text))
    if (l.find(needle) != std::string::npos) ++n;
  return n;
}

std::string binPath(const std::string& name) {
  // Emulated runs point the tests at wrappers that start the target programs.
  const char* dir = getenv("MTR_TEST_BIN_DIR");
  return std::string(dir && *dir ? dir : MTR_BIN_DIR) + "/" + name;
}

int freePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  int port = ntohs(addr.sin_port);
  close(fd);
  return port;
}

void FakeClock::sleepMs(long ms) {
  ms_ += ms;
  // Let the other threads of the test run, and stay a cancellation point.
  mtr::CancellableScope cancellable;
  usleep(20);
}

}  // namespace mtr_test
