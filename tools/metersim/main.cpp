// mtr-metersim: electricity meters on a pseudo-terminal, for tests and demos.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "engine.h"

namespace {

// The link is ours to replace only when it is a symlink (or absent).
bool makeLink(const std::string& target, const std::string& link, std::string& err) {
  struct stat st;
  if (lstat(link.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      err = link + " exists and is not a symlink";
      return false;
    }
    unlink(link.c_str());
  }
  if (symlink(target.c_str(), link.c_str()) != 0) {
    err = "symlink " + link + ": " + strerror(errno);
    return false;
  }
  return true;
}

void removeLink(const std::string& target, const std::string& link) {
  char buf[4096];
  ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
  if (n >= 0 && std::string(buf, static_cast<size_t>(n)) == target) unlink(link.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  msim::Options opt;
  bool help = false;
  std::string err;
  if (!msim::parseOptions(argc, argv, opt, help, err)) {
    fprintf(stderr, "mtr-metersim: %s\n%s", err.c_str(), msim::usageText());
    return 2;
  }
  if (help) {
    fputs(msim::usageText(), stdout);
    return 0;
  }
  msim::installSignalHandlers();

  std::vector<std::unique_ptr<msim::Family>> families;
  size_t meters = 0;
  try {
    families = msim::loadMeters(opt.meters_file, meters);
  } catch (const msim::ConfigError& e) {
    fprintf(stderr, "mtr-metersim: %s\n", e.what());
    return 1;
  }

  msim::FrameLog log;
  log.setVerbose(opt.verbose);
  if (!opt.log_file.empty() && !log.open(opt.log_file, err)) {
    fprintf(stderr, "mtr-metersim: %s\n", err.c_str());
    return 1;
  }
  msim::PtyLine line;
  if (!line.open(opt.baud, err)) {
    fprintf(stderr, "mtr-metersim: %s\n", err.c_str());
    return 1;
  }
  if (!opt.link.empty() && !makeLink(line.path(), opt.link, err)) {
    fprintf(stderr, "mtr-metersim: %s\n", err.c_str());
    return 1;
  }
  printf("device=%s\n", line.path().c_str());
  fflush(stdout);
  std::string start = "started: " + std::to_string(meters) + " meter(s) on " + line.path();
  if (opt.baud) start += " at " + std::to_string(opt.baud) + " " + opt.format.text();
  log.event(start);
  fprintf(stderr, "mtr-metersim: %s\n", start.c_str());

  msim::Engine engine(opt, line, std::move(families), log);
  engine.run();

  if (!opt.link.empty()) removeLink(line.path(), opt.link);
  log.event("stopped");
  return 0;
}
