#include "engine.h"

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "simtime.h"

namespace msim {

namespace {

int g_pipe[2] = {-1, -1};
volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_mute_toggles = 0;
volatile sig_atomic_t g_clock_jumps = 0;

void onSignal(int sig) {
  int saved = errno;
  if (sig == SIGUSR1)
    g_mute_toggles = g_mute_toggles + 1;
  else if (sig == SIGUSR2)
    g_clock_jumps = g_clock_jumps + 1;
  else
    g_stop = 1;
  char c = 1;
  if (g_pipe[1] >= 0) (void)!write(g_pipe[1], &c, 1);
  errno = saved;
}

void drainPipe() {
  char buf[64];
  while (read(g_pipe[0], buf, sizeof buf) > 0) {
  }
}

bool parseInt(const char* s, long lo, long hi, long& out) {
  char* end = nullptr;
  errno = 0;
  long v = strtol(s, &end, 10);
  if (!*s || *end || errno || v < lo || v > hi) return false;
  out = v;
  return true;
}

}  // namespace

void installSignalHandlers() {
  if (pipe(g_pipe) == 0) {
    for (int fd : g_pipe) {
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
      fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
  }
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2}) sigaction(sig, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool stopRequested() {
  return g_stop != 0;
}

const char* usageText() {
  return "usage: mtr-metersim [options] METERS.json\n"
         "Answers as the meters described in METERS.json on a new pseudo-terminal;\n"
         "prints \"device=PATH\" as its first line.\n"
         "  --link PATH         also make PATH a symlink to the device\n"
         "  --baud N            pace replies as a line at N bit/s would, and ignore\n"
         "                      requests sent at another speed\n"
         "  --format 8N1        character format for pacing (data bits, N/E/O, stop bits)\n"
         "  --reply-delay MS    pause before every reply\n"
         "  --fault KIND:RATE[:METER]  inject a fault with probability RATE per request;\n"
         "                      KIND: silence, truncate, badcrc, wrongaddr, error, delay\n"
         "                      (repeatable; METER: address or name, default every meter)\n"
         "  --late MS           how late the delay fault answers (default 6000)\n"
         "  --seed N            seed for the faults (repeatable runs)\n"
         "  --log FILE          append every frame in hex\n"
         "  --verbose           frames also on standard error\n"
         "  --meters FILE       the description file (instead of the argument)\n"
         "  --clock-jumps S,... seconds every meter clock moves at each SIGUSR2,\n"
         "                      one after the other, from the first again after the last\n"
         "SIGTERM or SIGINT stops it; SIGUSR1 mutes or unmutes every meter.\n";
}

bool parseOptions(int argc, char** argv, Options& opt, bool& help, std::string& err) {
  enum {
    kLink = 1000,
    kBaud,
    kFormat,
    kDelay,
    kFault,
    kLate,
    kSeed,
    kLog,
    kVerbose,
    kHelp,
    kMeters,
    kClockJumps
  };
  static const option longopts[] = {
      {"link", required_argument, nullptr, kLink},
      {"baud", required_argument, nullptr, kBaud},
      {"format", required_argument, nullptr, kFormat},
      {"reply-delay", required_argument, nullptr, kDelay},
      {"fault", required_argument, nullptr, kFault},
      {"late", required_argument, nullptr, kLate},
      {"seed", required_argument, nullptr, kSeed},
      {"log", required_argument, nullptr, kLog},
      {"verbose", no_argument, nullptr, kVerbose},
      {"meters", required_argument, nullptr, kMeters},
      {"clock-jumps", required_argument, nullptr, kClockJumps},
      {"help", no_argument, nullptr, kHelp},
      {nullptr, 0, nullptr, 0},
  };
  help = false;
  optind = 1;
  opterr = 0;
  int c;
  long v;
  while ((c = getopt_long(argc, argv, "h", longopts, nullptr)) != -1) {
    switch (c) {
      case kLink:
        opt.link = optarg;
        break;
      case kBaud:
        if (!parseInt(optarg, 1, 4000000, v) || speedConstant(static_cast<int>(v)) == 0) {
          err = std::string("--baud: not a standard serial speed: ") + optarg;
          return false;
        }
        opt.baud = static_cast<int>(v);
        break;
      case kFormat:
        if (!LineFormat::parse(optarg, opt.format)) {
          err = std::string("--format: expected like 8N1 or 8E1, got ") + optarg;
          return false;
        }
        break;
      case kDelay:
        if (!parseInt(optarg, 0, 600000, v)) {
          err = std::string("--reply-delay: expected milliseconds, got ") + optarg;
          return false;
        }
        opt.reply_delay_ms = static_cast<int>(v);
        break;
      case kLate:
        if (!parseInt(optarg, 0, 600000, v)) {
          err = std::string("--late: expected milliseconds, got ") + optarg;
          return false;
        }
        opt.late_ms = static_cast<int>(v);
        break;
      case kFault: {
        FaultRule r;
        if (!parseFault(optarg, r, err)) return false;
        opt.faults.push_back(r);
        break;
      }
      case kSeed: {
        char* end = nullptr;
        errno = 0;
        unsigned long long s = strtoull(optarg, &end, 0);
        if (!*optarg || *end || errno) {
          err = std::string("--seed: expected a number, got ") + optarg;
          return false;
        }
        opt.seed = s;
        opt.seed_given = true;
        break;
      }
      case kLog:
        opt.log_file = optarg;
        break;
      case kVerbose:
        opt.verbose = true;
        break;
      case kMeters:
        opt.meters_file = optarg;
        break;
      case kClockJumps: {
        opt.clock_jumps.clear();
        std::string list = optarg, item;
        std::stringstream in(list);
        const long ten_years = 10L * 366 * 86400;
        while (std::getline(in, item, ',')) {
          if (!parseInt(item.c_str(), -ten_years, ten_years, v)) {
            err = std::string("--clock-jumps: expected seconds separated by commas, got ") + optarg;
            return false;
          }
          opt.clock_jumps.push_back(v);
        }
        if (opt.clock_jumps.empty()) {
          err = "--clock-jumps: no jump given";
          return false;
        }
        break;
      }
      case 'h':
      case kHelp:
        help = true;
        return true;
      default:
        err = std::string("unknown or incomplete option ") +
              (argv[optind - 1] ? argv[optind - 1] : "");
        return false;
    }
  }
  if (optind < argc) {
    if (!opt.meters_file.empty() || optind + 1 < argc) {
      err = "one meter description file expected";
      return false;
    }
    opt.meters_file = argv[optind];
  }
  if (opt.meters_file.empty()) {
    err = "no meter description file given";
    return false;
  }
  return true;
}

std::vector<std::unique_ptr<Family>> loadMeters(const std::string& path, size_t& meter_count) {
  std::ifstream in(path);
  if (!in) throw ConfigError(path + ": cannot open: " + strerror(errno));
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  Json::Value root;
  std::string errs;
  if (!Json::parseFromStream(builder, in, &root, &errs)) throw ConfigError(path + ": " + errs);
  const Json::Value* meters = &root;
  if (root.isObject()) {
    for (const auto& k : root.getMemberNames())
      if (k != "meters") throw ConfigError(path + ": unknown top-level key \"" + k + "\"");
    meters = &root["meters"];
  }
  if (!meters->isArray() || meters->empty())
    throw ConfigError(path + ": expected {\"meters\": [ ... ]} with at least one meter");

  std::map<std::string, std::unique_ptr<Family>> by_protocol;
  std::vector<std::string> order;
  meter_count = 0;
  for (Json::ArrayIndex i = 0; i < meters->size(); ++i) {
    const Json::Value& m = (*meters)[i];
    std::string where = path + ": meters[" + std::to_string(i) + "]";
    if (m.isObject() && m.isMember("name") && m["name"].isString())
      where += " (" + m["name"].asString() + ")";
    JsonFields f(m, where, static_cast<time_t>(std::floor(wallNow())));
    std::string protocol = f.text("protocol", "");
    auto it = by_protocol.find(protocol);
    if (it == by_protocol.end()) {
      auto fam = makeFamily(protocol);
      if (!fam) {
        std::string known;
        for (const auto& n : familyNames()) known += (known.empty() ? "" : ", ") + n;
        throw ConfigError(where + ": \"protocol\": unknown \"" + protocol + "\" (known: " + known +
                          ")");
      }
      it = by_protocol.emplace(protocol, std::move(fam)).first;
      order.push_back(protocol);
    }
    std::vector<std::string> allowed = MeterCore::keys();
    auto extra = it->second->keys();
    allowed.insert(allowed.end(), extra.begin(), extra.end());
    f.allowOnly(allowed);
    // Relative times are taken from the meter's own clock.
    long offset = f.integer("clock_offset", 0, -50L * 365 * 86400, 50L * 365 * 86400);
    JsonFields fm(m, where, static_cast<time_t>(std::floor(wallNow())) + offset);
    it->second->addMeter(fm, MeterCore::fromJson(fm));
    ++meter_count;
  }
  std::vector<std::unique_ptr<Family>> out;
  for (const auto& p : order) out.push_back(std::move(by_protocol[p]));
  return out;
}

Engine::Engine(const Options& opt, PtyLine& line, std::vector<std::unique_ptr<Family>> families,
               FrameLog& log)
    : opt_(opt),
      line_(line),
      families_(std::move(families)),
      log_(log),
      faults_(opt.faults, opt.seed_given ? opt.seed : std::random_device{}()) {
  state_.baud = opt.baud;
  state_.format = opt.format;
}

bool Engine::sleepUntil(double t) {
  for (;;) {
    if (g_stop) return false;
    double left = t - monoNow();
    if (left <= 0) return true;
    pollfd p{g_pipe[0], POLLIN, 0};
    // Nanosecond waits: rounding each byte's wait up to whole milliseconds
    // would make every reply up to 2 ms later than the line allows.
    timespec ts;
    ts.tv_sec = static_cast<time_t>(left);
    ts.tv_nsec = static_cast<long>((left - static_cast<double>(ts.tv_sec)) * 1e9);
    if (ppoll(&p, 1, &ts, nullptr) > 0) drainPipe();
    checkSignals();
  }
}

void Engine::checkSignals() {
  int jumps = g_clock_jumps;
  for (; jumps_seen_ < jumps; ++jumps_seen_) {
    if (opt_.clock_jumps.empty()) {
      log_.event("SIGUSR2 ignored: no --clock-jumps given");
      continue;
    }
    long s = opt_.clock_jumps[static_cast<size_t>(jumps_seen_) % opt_.clock_jumps.size()];
    shiftMeterClocks(s);
    log_.event("meter clocks moved by " + std::to_string(s) + " s (now " +
               std::to_string(meterClockShift()) + " s off their start)");
  }
  int toggles = g_mute_toggles;
  if (toggles != mute_seen_) {
    bool flip = ((toggles - mute_seen_) & 1) != 0;
    mute_seen_ = toggles;
    if (flip) {
      muted_ = !muted_;
      log_.event(muted_ ? "muted: the meters are gone from the line"
                        : "unmuted: the meters are back");
    }
  }
}

bool Engine::send(const Bytes& bytes, double bt) {
  double t0 = monoNow();
  size_t i = 0;
  while (i < bytes.size()) {
    size_t chunk = bytes.size() - i;
    if (bt > 0) {
      // A byte is on the far side only once its last bit has left.
      if (!sleepUntil(t0 + bt * static_cast<double>(i + 1))) return false;
      chunk = 1;
    }
    ssize_t n = write(line_.fd(), bytes.data() + i, chunk);
    if (n > 0) {
      i += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      // Nobody reads the line: give it a second, then drop the rest.
      pollfd p{line_.fd(), POLLOUT, 0};
      if (poll(&p, 1, 1000) > 0) continue;
    }
    log_.event("reply dropped after " + std::to_string(i) + " bytes: the line does not take it");
    return false;
  }
  return true;
}

void Engine::process(const Bytes& frame, double first_byte_at) {
  if (opt_.baud > 0) {
    int peer = line_.peerBaud();
    if (peer != 0 && peer != state_.baud) {
      log_.frame("RX", frame,
                 "line at " + std::to_string(peer) + " bit/s, meters at " +
                     std::to_string(state_.baud) + ": not understood");
      return;
    }
  }
  // A family may switch speed while answering; this reply still goes at the old one.
  double bt = state_.byteSeconds();
  Answer ans;
  Family* owner = nullptr;
  std::string why;
  for (auto& fam : families_) {
    Answer a;
    if (fam->answer(frame, state_, a)) {
      ans = std::move(a);
      owner = fam.get();
      break;
    }
    if (!a.note.empty()) why = a.note;
  }
  if (!owner) {
    log_.frame("RX", frame, why.empty() ? "no meter answers" : why);
    return;
  }
  log_.frame("RX", frame, "meter " + ans.meter_id + ": " + ans.note);
  if (muted_) {
    log_.event("muted: no reply");
    return;
  }
  Bytes out = ans.bytes;
  Fault fault = faults_.roll(ans.meter_id, ans.meter_name);
  std::string note;
  double extra = 0;
  switch (fault) {
    case Fault::kNone:
      break;
    case Fault::kSilence:
      log_.event("fault silence: no reply");
      return;
    case Fault::kTruncate:
      if (out.size() < 2) {
        log_.event("fault truncate: no reply");
        return;
      }
      out.resize(faults_.between(1, out.size() - 1));
      break;
    case Fault::kBadCrc:
      out = owner->badChecksum(ans);
      break;
    case Fault::kWrongAddress:
      out = owner->wrongAddress(ans);
      break;
    case Fault::kErrorStatus:
      out = owner->errorStatus(ans);
      break;
    case Fault::kDelay:
      extra = opt_.late_ms / 1000.0;
      break;
  }
  if (fault != Fault::kNone) note = std::string("fault ") + faultName(fault);
  // The request takes its own time on the wire before the meter can answer.
  double ready =
      first_byte_at + bt * static_cast<double>(frame.size()) + opt_.reply_delay_ms / 1000.0 + extra;
  if (!sleepUntil(ready)) return;
  if (send(out, bt)) log_.frame("TX", out, note);
}

void Engine::run() {
  Bytes pending;
  double first_at = 0, last_at = 0;
  uint8_t buf[4096];
  while (!g_stop) {
    double gap = std::max(0.005, 3.5 * state_.byteSeconds());
    int timeout = -1;
    if (!pending.empty()) {
      double left = last_at + gap - monoNow();
      timeout = left > 0 ? static_cast<int>(std::ceil(left * 1000)) : 0;
    }
    pollfd p[2] = {{line_.fd(), POLLIN, 0}, {g_pipe[0], POLLIN, 0}};
    int r = poll(p, 2, timeout);
    if (r < 0 && errno != EINTR) break;
    if (p[1].revents) drainPipe();
    checkSignals();
    if (g_stop) break;
    if (r > 0 && (p[0].revents & POLLIN)) {
      ssize_t n = read(line_.fd(), buf, sizeof buf);
      if (n > 0) {
        if (pending.empty()) first_at = monoNow();
        last_at = monoNow();
        pending.insert(pending.end(), buf, buf + n);
        for (auto& fam : families_) {
          size_t len = fam->frameLength(pending);
          if (len > 0 && len <= pending.size()) {
            Bytes frame(pending.begin(), pending.begin() + static_cast<long>(len));
            pending.erase(pending.begin(), pending.begin() + static_cast<long>(len));
            process(frame, first_at);
            first_at = monoNow();
            break;
          }
        }
        // A line that never falls silent is noise, not a frame: do not hoard it.
        if (pending.size() > 4096) {
          Bytes frame;
          frame.swap(pending);
          process(frame, first_at);
        }
        continue;
      }
    } else if (r > 0 && (p[0].revents & (POLLHUP | POLLERR))) {
      // Cannot happen while we hold the slave open; do not spin if it does.
      sleepUntil(monoNow() + 0.05);
      continue;
    }
    if (!pending.empty() && monoNow() >= last_at + gap) {
      Bytes frame;
      frame.swap(pending);
      process(frame, first_at);
    }
  }
}

}  // namespace msim
