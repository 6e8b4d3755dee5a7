// mtr-probe: which meters answer on a serial line, at which speed and format.
// It only reads: channel test, identity and clock, with the drivers' own code.
#include <getopt.h>
#include <json/json.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "drivers/models/ce2727/ce2727_connector.h"
#include "line_check.h"
#include "probe.h"
#include "transport/rs_connector.h"

using namespace probe;

namespace {

const int kDefaultSpeeds[] = {19200, 9600, 4800, 2400, 1200, 600, 300};

struct Options {
  std::string device;
  std::vector<int> speeds;
  std::string format;  // empty: each family's own
  std::vector<std::string> families;
  std::string address;  // --address as given
  long long scan_from = 0, scan_to = 0;
  Credentials cred;
  bool json = false;
  bool force = false;
  uint32_t silence_ms = 150;
};

void usage(FILE* to) {
  fprintf(to,
          "Usage: mtr-probe --device PATH [--speed N] [--format 8N1|7E1|8E1|...]\n"
          "                 [--family mercury|iec61107|ce2727|all] [--address A | --scan FROM-TO]\n"
          "                 [--password P [--password-type ascii]] [--timeout MS] [--json] "
          "[--force]\n");
}

int usageError(const std::string& why) {
  fprintf(stderr, "mtr-probe: %s\n", why.c_str());
  usage(stderr);
  return kExitUsage;
}

// 64 bits on every target: a CE2727 address takes all 32 bits, which a 32-bit
// long cannot hold.
bool parseNumber(const std::string& text, long long& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  out = strtoll(text.c_str(), &end, 0);
  return errno == 0 && *end == '\0';
}

std::string defaultFormat(const std::string& family) {
  return family == "iec61107" ? "7E1" : "8N1";
}

std::string clockText(time_t t) {
  if (t == 0) return "-";
  struct tm tm;
  localtime_r(&t, &tm);
  char buf[32];
  strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

std::string orDash(const std::string& s) {
  return s.empty() ? "-" : s;
}

const char kRowFormat[] = "%-9s %-10s %-14s %-10s %-9s %-19s %8s %-9s %s\n";

void printMeter(const Meter& m, bool json, bool first) {
  if (json) {
    Json::Value v;
    v["family"] = m.family;
    v["address"] = m.address;
    v["model"] = m.model.empty() ? Json::Value() : Json::Value(m.model);
    v["serial"] = m.serial.empty() ? Json::Value() : Json::Value(m.serial);
    v["firmware"] = m.firmware.empty() ? Json::Value() : Json::Value(m.firmware);
    v["meter_clock"] = m.clock ? Json::Value(clockText(m.clock)) : Json::Value();
    v["clock_offset"] = m.clock ? Json::Value(static_cast<Json::Int64>(m.offset)) : Json::Value();
    v["password"] = m.password.empty() ? Json::Value() : Json::Value(m.password);
    v["speed"] = m.speed;
    v["format"] = m.format;
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    std::cout << Json::writeString(b, v) << std::endl;
    return;
  }
  if (first)
    printf(kRowFormat, "FAMILY", "ADDRESS", "MODEL", "SERIAL", "FIRMWARE", "METER CLOCK", "OFFSET",
           "PASSWORD", "LINE");
  char offset[32] = "-";
  if (m.clock) snprintf(offset, sizeof offset, "%+lds", m.offset);
  const std::string line = std::to_string(m.speed) + " " + m.format;
  printf(kRowFormat, m.family.c_str(), m.address.empty() ? "\"\"" : m.address.c_str(),
         orDash(m.model).c_str(), orDash(m.serial).c_str(), orDash(m.firmware).c_str(),
         clockText(m.clock).c_str(), offset, orDash(m.password).c_str(), line.c_str());
  fflush(stdout);
}

// Progress on a terminal only; scripts read standard error for the verdict.
class Progress {
 public:
  Progress() : tty_(isatty(STDERR_FILENO)) {}
  ~Progress() { clear(); }
  void show(const std::string& text) {
    if (!tty_) return;
    fprintf(stderr, "\r\033[K%s", text.c_str());
    shown_ = true;
  }
  void clear() {
    if (tty_ && shown_) fprintf(stderr, "\r\033[K");
    shown_ = false;
  }

 private:
  bool tty_;
  bool shown_ = false;
};

struct Tried {
  std::string family, format, addresses;
  std::vector<int> speeds;
};

std::string speedList(const std::vector<int>& speeds) {
  std::string s;
  for (int v : speeds) s += (s.empty() ? "" : ",") + std::to_string(v);
  return s;
}

int parseOptions(int argc, char** argv, Options& o) {
  static const option kLong[] = {{"device", required_argument, nullptr, 'D'},
                                 {"speed", required_argument, nullptr, 's'},
                                 {"format", required_argument, nullptr, 'f'},
                                 {"family", required_argument, nullptr, 'F'},
                                 {"address", required_argument, nullptr, 'a'},
                                 {"scan", required_argument, nullptr, 'S'},
                                 {"password", required_argument, nullptr, 'p'},
                                 {"password-type", required_argument, nullptr, 't'},
                                 {"timeout", required_argument, nullptr, 'T'},
                                 {"json", no_argument, nullptr, 'j'},
                                 {"force", no_argument, nullptr, 'x'},
                                 {"help", no_argument, nullptr, 'h'},
                                 {nullptr, 0, nullptr, 0}};
  std::string family = "all";
  bool scan = false, address = false;
  int c;
  opterr = 0;
  while ((c = getopt_long(argc, argv, "", kLong, nullptr)) != -1) {
    const std::string arg = optarg ? optarg : "";
    long long n = 0;
    switch (c) {
      case 'D':
        o.device = arg;
        break;
      case 's':
        if (!parseNumber(arg, n) || n <= 0 || !speedTable().count(static_cast<int>(n)))
          return usageError("--speed " + arg + ": not a serial line speed");
        o.speeds = {static_cast<int>(n)};
        break;
      case 'f': {
        SettingsMap check;
        if (!ParseFormat(arg, check)) return usageError("--format " + arg + ": not like 8N1");
        o.format = arg;
        break;
      }
      case 'F':
        family = arg;
        break;
      case 'a':
        o.address = arg;
        address = true;
        break;
      case 'S': {
        size_t dash = arg.find('-');
        if (dash == std::string::npos || !parseNumber(arg.substr(0, dash), o.scan_from) ||
            !parseNumber(arg.substr(dash + 1), o.scan_to) || o.scan_from > o.scan_to)
          return usageError("--scan " + arg + ": not FROM-TO");
        if (o.scan_from < 1)
          return usageError("--scan " + arg + ": address 0 is the broadcast, not scanned");
        scan = true;
        break;
      }
      case 'p':
        o.cred.password = arg;
        break;
      case 't':
        o.cred.ascii = arg == "ascii";
        break;
      case 'T':
        if (!parseNumber(arg, n) || n < 10 || n > 60000)
          return usageError("--timeout " + arg + ": 10..60000 ms");
        o.silence_ms = static_cast<uint32_t>(n);
        break;
      case 'j':
        o.json = true;
        break;
      case 'x':
        o.force = true;
        break;
      case 'h':
        usage(stdout);
        exit(0);
      default:
        return usageError(std::string("unknown option ") + argv[optind - 1]);
    }
  }
  if (optind < argc) return usageError(std::string("unexpected argument ") + argv[optind]);
  if (o.device.empty()) return usageError("--device PATH is required");
  if (scan && address) return usageError("--address and --scan exclude each other");
  if (family == "all")
    o.families = {"mercury", "ce2727", "iec61107"};
  else if (family == "mercury" || family == "ce2727" || family == "iec61107")
    o.families = {family};
  else
    return usageError("--family " + family + ": mercury, iec61107, ce2727 or all");
  const bool mercury = o.families.front() == "mercury" || family == "all";
  if (scan && mercury && o.scan_to > 247) return usageError("--scan: Mercury addresses are 1..247");
  long long a = 0;
  if (address && family == "mercury" && (!parseNumber(o.address, a) || a < 0 || a > 247))
    return usageError("--address " + o.address + ": Mercury addresses are 0..247");
  if (address && family == "ce2727" &&
      (!parseNumber(o.address, a) || a < 0 || a > static_cast<long long>(UINT32_MAX)))
    return usageError("--address " + o.address + ": not a CE2727 address");
  if (!scan && !address) o.scan_from = o.scan_to = 0;
  if (scan) o.address.clear();
  if (o.speeds.empty()) o.speeds.assign(std::begin(kDefaultSpeeds), std::end(kDefaultSpeeds));
  return -1;
}

// Addresses to try for a family; empty when the options give it none.
std::vector<std::string> addressesFor(const Options& o, const std::string& family) {
  std::vector<std::string> out;
  long long a = 0;
  if (family == "iec61107") {
    // A sign-on without address reaches a lone meter.
    out.push_back(!o.address.empty() ? o.address : "");
  } else if (!o.address.empty()) {
    if (parseNumber(o.address, a) && a >= 0 && (family != "mercury" || a <= 247))
      out.push_back(std::to_string(a));
  } else if (o.scan_to > 0) {
    for (long long n = o.scan_from; n <= o.scan_to; ++n) out.push_back(std::to_string(n));
  } else if (family == "mercury") {
    out.push_back("0");  // any lone meter answers the broadcast address
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  int rc = parseOptions(argc, argv, o);
  if (rc >= 0) return rc;

  LineCheck check;
  if (!check.check(o.device, o.force)) {
    fprintf(stderr, "mtr-probe: %s\n", check.message().c_str());
    return check.exitCode();
  }
  if (!check.warning().empty()) fprintf(stderr, "mtr-probe: %s\n", check.warning().c_str());

  Progress progress;
  std::vector<Meter> found;
  std::vector<Meter> bad;
  std::vector<Tried> tried;
  for (const std::string& family : o.families) {
    std::vector<std::string> addresses = addressesFor(o, family);
    if (family == "ce2727") {
      uint32_t value = 0;
      std::string error;
      if (!CCE2727Connector::ParsePassword(o.cred.password.empty() ? "0" : o.cred.password,
                                           o.cred.ascii ? "ascii" : "hex", value, error)) {
        progress.clear();
        fprintf(stderr, "mtr-probe: ce2727 skipped: the password is not a CE2727 password\n");
        continue;
      }
    }
    if (addresses.empty()) {
      progress.clear();
      fprintf(stderr, "mtr-probe: %s skipped: give --address or --scan\n", family.c_str());
      continue;
    }
    const std::string format = o.format.empty() ? defaultFormat(family) : o.format;
    Tried t{family,
            format,
            o.scan_to > 0 && family != "iec61107"
                ? std::to_string(o.scan_from) + "-" + std::to_string(o.scan_to)
                : (addresses.front().empty() ? "\"\"" : addresses.front()),
            {}};
    std::set<std::string> done;
    for (int speed : o.speeds) {
      if (done.size() == addresses.size()) break;
      t.speeds.push_back(speed);
      auto line = std::make_shared<TapConnector>(o.device, speed, format, o.silence_ms);
      if (!line->isOpen()) {
        progress.clear();
        fprintf(stderr, "mtr-probe: cannot open %s at %d %s\n", o.device.c_str(), speed,
                format.c_str());
        return kExitError;
      }
      for (size_t i = 0; i < addresses.size(); ++i) {
        const std::string& a = addresses[i];
        if (done.count(a)) continue;
        progress.show(family + " " + std::to_string(speed) + " " + format + " address " +
                      (a.empty() ? "\"\"" : a) + " (" + std::to_string(i + 1) + "/" +
                      std::to_string(addresses.size()) + ")");
        Meter m;
        Outcome r;
        if (family == "mercury")
          r = ProbeMercury(line, static_cast<uint8_t>(std::stol(a)), o.cred, m);
        else if (family == "ce2727")
          r = ProbeCe2727(line, static_cast<uint32_t>(std::stoul(a)), o.cred, m);
        else
          r = ProbeIec61107(line, a, o.cred, m);
        if (r == Outcome::kSilent) continue;
        m.family = family;
        m.address = a;
        m.speed = speed;
        m.format = format;
        if (r == Outcome::kBadFrames) {
          bad.push_back(m);
          continue;
        }
        progress.clear();
        printMeter(m, o.json, found.empty());
        found.push_back(m);
        done.insert(a);
      }
    }
    tried.push_back(t);
  }
  progress.clear();

  for (const Meter& b : bad) {
    bool later_found = false;
    for (const Meter& f : found) later_found |= f.family == b.family && f.address == b.address;
    if (later_found) continue;
    // Every meter answers the broadcast address or a sign-on without one.
    const bool shared = b.address.empty() || b.address == "0";
    fprintf(stderr,
            "mtr-probe: %s address %s answers at %d %s with a wrong checksum: likely wrong "
            "format or speed%s\n",
            b.family.c_str(), b.address.empty() ? "\"\"" : b.address.c_str(), b.speed,
            b.format.c_str(), shared ? ", or several meters answering at once" : "");
  }
  if (!found.empty()) return kExitFound;
  if (!bad.empty()) return kExitBadChecksum;
  std::string what;
  for (const Tried& t : tried)
    what += (what.empty() ? "" : "; ") + t.family + " " + t.format + " at " + speedList(t.speeds) +
            " to address " + t.addresses;
  fprintf(stderr, "mtr-probe: nothing answered on %s (tried %s)\n", o.device.c_str(),
          what.empty() ? "nothing" : what.c_str());
  return kExitNothing;
}
