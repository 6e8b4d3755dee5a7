#include <cxxabi.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

#include "base/fsutil.h"
#include "base/logger.h"
#include "base/memory_release.h"
#include "base/paths.h"
#include "drivers/framework/base_driver.h"
#include "storage/file_connector.h"

namespace heat {

namespace {

// Waiting for the turn costs nothing but a wake-up per step; the thread is
// cancelled inside the wait, so the step need not be short.
constexpr long kTurnWaitMs = 3600 * 1000L;

const char* const kCycleName =
    "virtual void heat::CMtrHeatBaseDriver::functionThread(myThreadAttached*)";

// ctime text without its line feed.
std::string timeText(time_t t) {
  char buf[32];
  if (!ctime_r(&t, buf)) return std::string();
  std::string s(buf);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

const char* kindName(uint32_t kind) {
  switch (kind) {
    case Daily:
      return "daily";
    case Monthly:
      return "monthly";
    case Yearly:
      return "yearly";
    default:
      return "unknown";
  }
}

bool fileExists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

// One inotify instance for the whole process: a user has few of them (128 by
// default, shared by all the user's processes), and every idle meter watches
// the same folder. A thread reads the events and wakes, through its own
// eventfd, only the waiter whose marker was made.
class FolderEvents {
 public:
  static FolderEvents& get() {
    static FolderEvents* events = new FolderEvents;  // its thread lives with the process
    return *events;
  }
  // Wakes `efd` whenever `name` is made in `dir`; false, with the reason in
  // `err`, when no watch can be had.
  bool add(const std::string& dir, const std::string& name, int efd, int& err) {
    std::lock_guard<std::mutex> lock(mu_);
    if (fd_ < 0) {
      err = err_;
      return false;
    }
    const int wd = inotify_add_watch(fd_, dir.c_str(), IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE);
    if (wd < 0) {
      err = errno;
      return false;
    }
    if (!started_) {
      pthread_attr_t attr;
      pthread_attr_init(&attr);
      pthread_attr_setstacksize(&attr, 65536);
      pthread_t thread;
      const int rc = pthread_create(&thread, &attr, &FolderEvents::entry, this);
      pthread_attr_destroy(&attr);
      if (rc != 0) {
        err = rc;
        return false;
      }
      pthread_detach(thread);
      started_ = true;
    }
    waiters_.push_back({wd, name, efd});
    return true;
  }
  void remove(int efd) {
    std::lock_guard<std::mutex> lock(mu_);
    waiters_.erase(std::remove_if(waiters_.begin(), waiters_.end(),
                                  [efd](const Waiter& w) { return w.efd == efd; }),
                   waiters_.end());
  }

 private:
  struct Waiter {
    int wd;
    std::string name;
    int efd;
  };

  FolderEvents() : fd_(inotify_init1(IN_CLOEXEC)), err_(errno) {}
  static void* entry(void* self) {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);  // signals are the main thread's
    static_cast<FolderEvents*>(self)->run();
    return nullptr;
  }
  void run() {
    // Room for one event at least; the rest come with the next reads.
    alignas(struct inotify_event) char buf[sizeof(struct inotify_event) + NAME_MAX + 1];
    for (;;) {
      const ssize_t n = read(fd_, buf, sizeof buf);
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        return;
      }
      std::lock_guard<std::mutex> lock(mu_);
      for (ssize_t at = 0; at < n;) {
        const auto* ev = reinterpret_cast<const struct inotify_event*>(buf + at);
        at += sizeof(struct inotify_event) + ev->len;
        // A lost event (queue overflow) may have been anyone's marker.
        const bool everyone = (ev->mask & IN_Q_OVERFLOW) != 0;
        for (const Waiter& w : waiters_)
          if (everyone || (w.wd == ev->wd && ev->len > 0 && w.name == ev->name)) wake(w.efd);
      }
    }
  }
  static void wake(int efd) {
    const uint64_t one = 1;
    if (write(efd, &one, sizeof one) < 0) {
      // a full counter still wakes its waiter
    }
  }

  std::mutex mu_;
  const int fd_;
  const int err_;
  bool started_ = false;
  std::vector<Waiter> waiters_;
};

}  // namespace

// Waits until the marker at `path` appears or the wall clock reaches a
// deadline. The marker is watched through FolderEvents and the deadline is a
// realtime timer, so an idle meter costs no wake-ups between sessions; a clock
// that is set wakes the waiter so that the deadline is judged again.
class MarkerWatch {
 public:
  // The watch starts here, before the caller first looks for the marker: a
  // marker made after that look still wakes the wait.
  explicit MarkerWatch(const std::string& path) : path_(path) {
    size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    efd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    int err = errno;
    if (efd_ >= 0 && !FolderEvents::get().add(dir, name, efd_, err)) {
      close(efd_);
      efd_ = -1;
    }
    // Without a watch the wait polls, which costs CPU: say so once, with the cause.
    static std::atomic<bool> told{false};
    if (efd_ < 0 && !told.exchange(true))
      LOG_WARNING("WaitDataRate - no inotify watch on %s (%s): the force-update marker is polled",
                  dir.c_str(), strerror(err));
    if (efd_ >= 0) timer_ = timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
  }
  ~MarkerWatch() {
    if (efd_ >= 0) {
      FolderEvents::get().remove(efd_);
      close(efd_);
    }
    if (timer_ >= 0) close(timer_);
  }
  MarkerWatch(const MarkerWatch&) = delete;
  MarkerWatch& operator=(const MarkerWatch&) = delete;

  const std::string& path() const { return path_; }

  // One wait: returns when the marker was made, the deadline came or the
  // clock was set.
  void waitReal(time_t deadline) {
    if (efd_ < 0) {
      mtr::systemClock().sleepMs(2);  // no inotify: fall back to the 2 ms poll
      return;
    }
    int timeout_ms = 1000;  // without a timer, look at the clock each second
    if (timer_ >= 0) {
      struct itimerspec at {};
      at.it_value.tv_sec = deadline;
      if (timerfd_settime(timer_, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &at, nullptr) == 0)
        timeout_ms = -1;
    }
    struct pollfd p[2] = {{efd_, POLLIN, 0}, {timer_, POLLIN, 0}};
    int ready;
    {
      mtr::CancellableScope cancellable;
      ready = poll(p, timer_ >= 0 ? 2 : 1, timeout_ms);
    }
    if (ready > 0) {
      uint64_t count;
      if (read(efd_, &count, sizeof count) < 0) {
        // nothing from the folder: the timer woke us
      }
      // ECANCELED after a clock change: the caller looks at the clock again.
      if (timer_ >= 0 && read(timer_, &count, sizeof count) < 0) {
      }
    }
  }

 private:
  const std::string path_;
  int efd_ = -1;
  int timer_ = -1;
};

CMtrHeatBaseDriver::CMtrHeatBaseDriver() {}

CMtrHeatBaseDriver::~CMtrHeatBaseDriver() {
  // The cycle uses the file connector: stop the thread before it goes.
  Stop();
}

void CMtrHeatBaseDriver::functionThread(myThreadAttached*) {
  // Cancellable only while waiting (see mtr::CancellableScope).
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  LOG_INFO(
      "CMtrHeatBaseDriver::functionThread begin execute thread (v. 01.10) [lazy_connection, "
      "read_status, max_arch_timestamp].");
  InitFileConnector();
  FileConnector* files = file_connector.get();

  const std::string& model = threadName();
  const bool is_vkt7 = model == "vkt-7";
  const bool is_vist = model == "vis-t-modbus" || model == "vis-t1-modbus" ||
                       model == "vis-t3-modbus" || model == "vis-t" || model == "vis-t1" ||
                       model == "vis-t3";

  auto pc = params.find("period_current");
  const long period_current = pc == params.end() ? 0 : settingsNumber(pc->second);
  const time_t offset = period_current <= 600 ? 600 : 0;
  time_t next_arch_time = clock->now() + offset;
  time_t next_yearly = clock->now() + offset;

  static const char* const kFolders[] = {"tmp_archives", "tc_tmp_archives", "tc_archives"};
  for (int n = 1; n <= 6; ++n)
    for (const char* folder : kFolders) files->RemoveTmpArchivesSys(n, folder);

  GetPsdParams();
  files->WriteReadStatus("wait");
  last_hourly_next = 0;
  time_t next_monthly = next_yearly;
  time_t next_daily = next_yearly;

  for (;;) {
    try {
      while (!waitTurn(true, kTurnWaitMs)) {
      }
      files->WriteConnectedFlag(0);
      LOG_DEBUG(
          "CMtrHeatBaseDriver::functionThread - the original state of the connection controller.");
      while (!IsPortFree()) clock->sleepMs(1);
      init();
      LOG_DEBUG("CMtrHeatBaseDriver::functionThread - connecting to controller registered.");

      for (;;) {
        // The connection stays open while the driver waits for its next turn.
        while (!waitTurn(true, kTurnWaitMs)) {
        }
        bool passes_done = false;

        if (!system_read_done) {
          if (SessionAllowed("read all system values")) {
            files->WriteReadStatus("system");
            MeasuredValueList sys = get_all_system_values();
            LOG_INFO("CMtrHeatBaseDriver::functionThread() system values size = %d",
                     static_cast<int>(sys.size()));
            system_read_done = true;
            SessionEnd("read all system values");
            if (sys.empty())
              LOG_WARNING("CMtrHeatBaseDriver::functionThread system info is absent.");
            else
              files->WriteValues(sys);
          }
        }

        files->WriteConnectedFlag(1);
        if (SessionAllowed("read all current values")) {
          files->WriteReadStatus("current");
          MeasuredValueList cur = get_all_curtime_cur_integ_values();
          LOG_INFO("CMtrHeatBaseDriver::functionThread() current values size = %d",
                   static_cast<int>(cur.size()));
          GetTimesDiff(cur);
          SessionEnd("read all current values");
          files->WriteValues(cur);

          if (is_vkt7 || clock->now() >= next_arch_time) {
            if (is_vkt7 || clock->now() >= next_daily) {
              files->WriteReadStatus("day");
              next_daily = ReadArchDaily();
              if (arch_mode == 2 && clock->now() >= next_monthly) {
                files->WriteReadStatus("month");
                next_monthly = ReadArchMonthly();
                if (clock->now() >= next_yearly) {
                  files->WriteReadStatus("year");
                  next_yearly = ReadArchYearly();
                }
              }
            }
            files->WriteReadStatus("hour");
            next_arch_time = ReadHourlyArch();
            files->WriteReadStatus("wait");
            for (int n = 1; n <= 6; ++n)
              for (const char* folder : kFolders) files->RotateArchivesSys(n, folder);
            if (is_vist) files->ReleaseArchives();
            passes_done = true;
          }
        }

        files->WriteReadStatus("wait");
        clearTurn();
        // The passes' records are written; what they used stays free for an
        // hour, so the system gets it back. Last thing before the wait, so
        // that no deeper call touches the released stack pages again.
        if (passes_done) mtr::releaseFreeMemory();
        WaitDataRate(session_period);
      }
    } catch (abi::__forced_unwind&) {
      throw;  // thread cancellation must unwind
    } catch (...) {
      files->WriteConnectedFlag(0);
      LOG_INFO("%s - EXCEPTION!!! disconnecting from controller registered.", kCycleName);
      clock->sleepMs(180000);
      clearTurn();
    }
  }
}

void CMtrHeatBaseDriver::InitFileConnector() {
  const std::string id = rpc ? rpc->meterId() : settings.meter_id;
  const int mode = rpc ? rpc->mode() : 0;
  file_connector.reset(new HeatFileConnector(settings, id, mode, 60, clock));
  file_connector_ready = file_connector.get();
}

void CMtrHeatBaseDriver::WaitDataRate(int seconds) {
  if (seconds < 2) return;
  FileConnector* files = file_connector.get();
  const time_t deadline = clock->now() + seconds;
  std::string marker =
      mtr::rootedPath("/tmp/kzp_force_update_") + (rpc ? rpc->meterId() : settings.meter_id);
  MarkerWatch* watch = nullptr;
  if (clock == &mtr::systemClock()) {
    if (!marker_watch || marker_watch->path() != marker)
      marker_watch.reset(new MarkerWatch(marker));
    watch = marker_watch.get();
  }
  // The marker is looked for once more after the last wait, at the deadline.
  for (;;) {
    if (files && files->TakeForceUpdate()) return;
    if (clock->now() >= deadline) return;
    if (watch)
      watch->waitReal(deadline);
    else
      clock->sleepMs(2);
  }
}

void CMtrHeatBaseDriver::GetPsdParams() {
  system_read_done = false;
  vsd_file.clear();
  pause_file.clear();
  printer_file.clear();

  auto it = params.find("time_psd");
  if (it == params.end()) {
    time_psd = 300;
    LOG_INFO("CMtrHeatBaseDriver::GetPsdParams() 'time_psd' default value = %d", time_psd);
  } else {
    time_psd = static_cast<int>(settingsNumber(it->second));
  }
  LOG_INFO("CMtrHeatBaseDriver::GetPsdParams() 'time_psd' = %d", time_psd);

  it = params.find("period_current");
  if (it == params.end()) {
    session_period = 30;
    LOG_INFO("CMtrHeatBaseDriver::GetPsdParams() 'period_current' default value = %d",
             session_period);
  } else {
    session_period = static_cast<int>(settingsNumber(it->second));
  }
  LOG_INFO("CMtrHeatBaseDriver::GetPsdParams() 'period_current' = %d", session_period);

  it = params.find("port_alias");
  const std::string alias = it == params.end() ? std::string() : it->second;
  std::string port;
  if (alias == "serialKV.TC485" || alias == "serialKV.TC232" || alias == "PSD1.485" ||
      alias == "PSD1.232")
    port = "1";
  else if (alias == "PSD2.232")
    port = "2";
  else if (alias == "PSD3.232")
    port = "3";
  if (port.empty()) {
    LOG_INFO("CMtrHeatBaseDriver::GetPsdParams() NO OR WRONG PORT ALIAS - '%s'! PSD CAN'T WORK!",
             alias.c_str());
    psd_enabled = false;
    return;
  }
  LOG_INFO("CMtrHeatBaseDriver::GetPsdParams() 'port_alias' = '%s', port number = %s",
           alias.c_str(), port.c_str());
  vsd_file = mtr::rootedPath("/tmp/extds_pause_" + port);
  pause_file = mtr::rootedPath("/tmp/pause_kzp_" + port);
  printer_file = mtr::rootedPath("/tmp/pause_print_" + port);
  psd_enabled = true;
}

bool CMtrHeatBaseDriver::CanSessionStart() {
  if (fileExists(printer_file)) {
    LOG_INFO("CMtrHeatBaseDriver::CanSessionStart() printer detected (file '%s' exists)",
             printer_file.c_str());
    LOG_INFO("CMtrHeatBaseDriver::CanSessionStart() session is disabled");
    return false;
  }
  if (fileExists(pause_file)) {
    LOG_INFO("CMtrHeatBaseDriver::CanSessionStart() VSD detected (file '%s' exists)",
             pause_file.c_str());
    bool check_t2 = false;
    if (t1_active) {
      LOG_INFO("CMtrHeatBaseDriver::CanSessionStart() T1 is active");
      time_t now = clock->now();
      LOG_INFO("CMtrHeatBaseDriver::IsT1() T1 (%d) %s time(NULL) (%d)",
               static_cast<int>(t1_deadline), t1_deadline >= now ? ">" : "<",
               static_cast<int>(now));
      if (t1_deadline < now) {
        LOG_INFO("CMtrHeatBaseDriver::CanSessionStart() T1 expired");
        t1_active = false;
        t2_deadline = now + 600;
        t2_active = true;
        LOG_INFO("CMtrHeatBaseDriver::CanSessionStart() T2 is active");
        check_t2 = true;
      }
    } else if (IsPuHourBegin()) {
      LOG_INFO("CMtrHeatBaseDriver::CanSessionStart() T1 started");
      t1_deadline = clock->now() + time_psd;
      t1_active = true;
    }
    if (!check_t2) {
      if (!t2_active) {
        LOG_INFO("CMtrHeatBaseDriver::CanSessionStart() session is disabled");
        return false;
      }
      LOG_INFO("CMtrHeatBaseDriver::CanSessionStart() T2 is active");
    }
    time_t now = clock->now();
    LOG_INFO("CMtrHeatBaseDriver::IsT2() T2 (%d) %s time(NULL) (%d)", static_cast<int>(t2_deadline),
             t2_deadline >= now ? ">" : "<", static_cast<int>(now));
    if (t2_deadline >= now) {
      LOG_INFO("CMtrHeatBaseDriver::CanSessionStart() session is FORCIBLY enabled");
      return true;
    }
    LOG_INFO("CMtrHeatBaseDriver::CanSessionStart() T2 expired");
    t2_active = false;
    LOG_INFO("CMtrHeatBaseDriver::CanSessionStart() session is STILL disabled");
    return false;
  }
  t1_active = false;
  t2_active = false;
  SessionBegin();
  clock->sleepMs(100);
  if (!fileExists(printer_file) && !fileExists(pause_file)) {
    LOG_INFO("CMtrHeatBaseDriver::CanSessionStart() session is enabled");
    return true;
  }
  LOG_INFO("CMtrHeatBaseDriver::CanSessionStart() session is AGAIN disabled");
  unlink(vsd_file.c_str());
  return false;
}

void CMtrHeatBaseDriver::SessionBegin() {
  if (vsd_file.empty()) return;
  mtr::writeFileAtomic(vsd_file, "1800");
}

void CMtrHeatBaseDriver::SessionEnd(const char* activity) {
  if (!vsd_file.empty()) unlink(vsd_file.c_str());
  LOG_INFO("CMtrHeatBaseDriver::SessionEnd(%s) <<<---------------------------------------------",
           activity);
}

void CMtrHeatBaseDriver::GetTimesDiff(const MeasuredValueList& values) {
  times_diff = 0;
  for (const MeasuredValue& v : values) {
    if (v.param_code != 85) continue;
    time_t meter = static_cast<time_t>(strtoll(v.value.c_str(), nullptr, 10));
    time_t now = clock->now();
    times_diff = meter - now;
    LOG_INFO("CMtrHeatBaseDriver::GetTimesDiff() current time PU   = %d (%s)",
             static_cast<int>(meter), timeText(meter).c_str());
    LOG_INFO("CMtrHeatBaseDriver::GetTimesDiff() current time USPD = %d (%s)",
             static_cast<int>(now), timeText(now).c_str());
    LOG_INFO("CMtrHeatBaseDriver::GetTimesDiff() _timesDiff        = %d",
             static_cast<int>(times_diff));
    break;
  }
}

bool CMtrHeatBaseDriver::IsPuHourBegin() {
  int64_t t = static_cast<int64_t>(clock->now()) + times_diff;
  int residue = static_cast<int>(((t % 3600) + 3600) % 3600);
  bool begin = residue < 3 * session_period;
  LOG_INFO("CMtrHeatBaseDriver::IsPuHourBegin() time residue (%d) %s data_rate * 3 (%d)", residue,
           begin ? "<" : ">", 3 * session_period);
  return begin;
}

bool CMtrHeatBaseDriver::SessionAllowed(const char* activity) {
  LOG_INFO("CMtrHeatBaseDriver");
  LOG_INFO(
      "CMtrHeatBaseDriver::CanSessionStart(%s) --------------------------------------------->>>",
      activity);
  if (psd_enabled) return CanSessionStart();
  LOG_INFO("CMtrHeatBaseDriver::CanSessionStart() PSD DON'T WORK!");
  return true;
}

time_t CMtrHeatBaseDriver::ReadArch(uint32_t kind, int) {
  FileConnector* files = file_connector.get();
  LOG_INFO("CMtrHeatBaseDriver::ReadArch %d", static_cast<int>(kind));
  const char* kname = kindName(kind);
  std::string activity = std::string("get timestamps before read ") + kname + " arch";
  timestamps ts;
  if (!SessionAllowed(activity.c_str())) return clock->now() + 10;
  if (!GetTimestamps(ts)) {
    SessionEnd(activity.c_str());
    return clock->now() + 10;
  }
  SessionEnd(activity.c_str());

  time_t now = clock->now();
  time_t next = ((now + 86400) / 86400) * 86400 - static_cast<time_t>(ts.curr_time % 3600) + 3660;
  time_t stored = files ? files->ReadTimestamp(kind) : 0;

  time_t curr = static_cast<time_t>(ts.curr_time);
  struct tm tm;
  localtime_r(&curr, &tm);
  tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
  tm.tm_isdst = -1;
  time_t max_day = mktime(&tm);
  const std::string& model = threadName();
  bool includes_today =
      model.find("psch-3") != std::string::npos || model.find("seb-2a") != std::string::npos ||
      model.find("mayak-301") != std::string::npos || model.find("mayak-t301") != std::string::npos;
  if (!includes_today) max_day -= 86400;

  time_t depth;
  if (model == "omega-tr")
    depth = max_day - 5184000;
  else if (kind == Monthly || kind == Yearly)
    depth = max_day - 31104000;
  else
    depth = max_day - 7776000;

  time_t from = std::max({stored + 86400, static_cast<time_t>(ts.min_time_day), depth});

  LOG_INFO("CMtrHeatBaseDriver::ReadArch(%s) PU currTime  = %d (%s)", kname, static_cast<int>(curr),
           timeText(curr).c_str());
  LOG_INFO("CMtrHeatBaseDriver::ReadArch(%s) max archive  = %d (%s)", kname,
           static_cast<int>(stored), timeText(stored).c_str());
  LOG_INFO("CMtrHeatBaseDriver::ReadArch(%s) PU maxDay    = %d (%s)", kname,
           static_cast<int>(max_day), timeText(max_day).c_str());
  LOG_INFO("CMtrHeatBaseDriver::ReadArch(%s) start from   = %d (%s)", kname, static_cast<int>(from),
           timeText(from).c_str());

  while (from <= max_day) {
    time_t till = max_day;
    if (kind == Daily) till = std::min(from + 777600, max_day);
    std::string read_activity = std::string("read ") + kname + " arch";
    if (!SessionAllowed(read_activity.c_str())) {
      next = clock->now() + 10;
      break;
    }
    LOG_INFO("CMtrHeatBaseDriver::ReadArch(%s) from = %d (%s)", kname, static_cast<int>(from),
             timeText(from).c_str());
    LOG_INFO("CMtrHeatBaseDriver::ReadArch(%s) till = %d (%s)", kname, static_cast<int>(till),
             timeText(till).c_str());
    MeasuredValueList list;
    get_arch_values(kind, from, till, list);
    SessionEnd(read_activity.c_str());
    if (list.empty()) {
      LOG_WARNING("CMtrHeatBaseDriver::ReadArch(%s) archive info is absent.", kname);
    } else {
      list.sort(
          [](const MeasuredValue& a, const MeasuredValue& b) { return a.timestamp < b.timestamp; });
      LOG_INFO("CMtrHeatBaseDriver::ReadArch(%s) read all values - %d", kname,
               static_cast<int>(list.size()));
      if (files) files->StoreArchive(list, kind, false, false);
    }
    from += kind == Daily ? 864000 : 62294400;
  }
  return next;
}

time_t CMtrHeatBaseDriver::ReadHourlyArch() {
  FileConnector* files = file_connector.get();
  const char* activity = "get timestamps before read hourly arch";
  timestamps ts;
  if (!SessionAllowed(activity)) return clock->now() + 10;
  if (!GetTimestamps(ts)) {
    SessionEnd(activity);
    return clock->now() + 10;
  }
  SessionEnd(activity);

  const time_t period = 3600 * static_cast<time_t>(HourlyArchPeriod());
  const time_t curr = static_cast<time_t>(ts.curr_time);
  const time_t residue = ((curr % 3600) + 3600) % 3600;
  const time_t stored_next = (files ? files->ReadTimestamp(Hourly) : 0) + 3600;
  const time_t cur_hour = curr - residue;
  const time_t max_hour = cur_hour - 3600;
  const time_t depth = threadName() == "omega-tr" ? cur_hour - 5187600 : cur_hour - 7779600;
  time_t from = std::max({static_cast<time_t>(last_hourly_next), stored_next,
                          static_cast<time_t>(ts.min_time_hour), depth});

  auto show = [](const char* label, time_t t) {
    LOG_INFO("CMtrHeatBaseDriver::ReadHourlyArch() %s = %d (%s)", label, static_cast<int>(t),
             timeText(t).c_str());
  };
  show("maxHour                 ", max_hour);
  show("from_timestamp          ", depth);
  show("timestamps.min_time_hour", static_cast<time_t>(ts.min_time_hour));
  show("max_timestamp_arch      ", stored_next);
  show("start from  ", from);
  show("stop maxHour", max_hour);
  show("PU currTime ", curr);

  while (from <= max_hour) {
    time_t till = std::min(from + 32400, max_hour);
    if (!SessionAllowed("read hourly arch")) return clock->now() + 10;
    LOG_INFO("CMtrHeatBaseDriver::ReadHourlyArch() from = %d (%s)", static_cast<int>(from),
             timeText(from - tz_offset).c_str());
    LOG_INFO("CMtrHeatBaseDriver::ReadHourlyArch() till = %d (%s)", static_cast<int>(till),
             timeText(till - tz_offset).c_str());
    MeasuredValueList list;
    get_arch_values(Hourly, from, till, list);
    SessionEnd("read hourly arch");
    if (list.empty()) {
      LOG_WARNING("CMtrHeatBaseDriver::ReadHourlyArch archieve hourly info is absent.");
    } else {
      list.sort(
          [](const MeasuredValue& a, const MeasuredValue& b) { return a.timestamp < b.timestamp; });
      LOG_INFO("CMtrHeatBaseDriver::ReadHourlyArch read all hourly values - %d",
               static_cast<int>(list.size()));
      if (files) files->StoreArchive(list, Hourly, false, false);
    }
    from += 36000;
    last_hourly_next = till + 3600;
  }
  return clock->now() + period - residue + 60;
}

bool CMtrHeatBaseDriver::IsArchReadDue() {
  FileConnector* files = file_connector.get();
  timestamps ts;
  if (!GetTimestamps(ts)) return false;
  time_t curr = static_cast<time_t>(ts.curr_time);
  time_t hourly = files ? files->ReadTimestamp(Hourly) : 0;
  time_t daily = files ? files->ReadTimestamp(Daily) : 0;
  if ((curr - curr % 3600) - 3600 - hourly > 7200) return true;
  struct tm tm;
  localtime_r(&curr, &tm);
  tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
  tm.tm_isdst = -1;
  time_t midnight = mktime(&tm);
  return midnight - 86400 - daily > 7200;
}

bool CMtrHeatBaseDriver::IsArchFresh() {
  FileConnector* files = file_connector_ready.load();
  if (!files) return false;
  time_t hourly = files->ReadTimestamp(Hourly);
  time_t daily = files->ReadTimestamp(Daily);
  if (hourly == 0 || daily == 0) return false;
  time_t mdatetime = files->ReadMDateTime();
  time_t lastmodify = files->MDateTimeAge();
  if (mdatetime == 0) return false;
  LOG_DEBUG(
      "max_timestamp_hourly_arch %d max_timestamp_dayly_arch %d mdatetime %d "
      "mdatetime_lastmodify %d",
      static_cast<int>(hourly), static_cast<int>(daily), static_cast<int>(mdatetime),
      static_cast<int>(lastmodify));
  time_t now = clock->now();
  if (now - lastmodify > 7200 || mdatetime - hourly > 7200) return false;
  return (mdatetime - daily) < 7201;
}

}  // namespace heat
