#include "drivers/framework/base_driver.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>

#include "base/fsutil.h"
#include "base/logger.h"
#include "base/paths.h"
#include "drivers/framework/factory.h"
#include "drivers/framework/model_builder.h"

namespace {

int localUtcOffset() {
  time_t now = time(nullptr);
  struct tm tm;
  localtime_r(&now, &tm);
  return static_cast<int>(tm.tm_gmtoff);
}

}  // namespace

CMtrBaseDriver::CMtrBaseDriver()
    : tz_offset(localUtcOffset()), tz_offset2(tz_offset), clock(&mtr::systemClock()) {
  turn_set_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  turn_cleared_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

CMtrBaseDriver::~CMtrBaseDriver() {
  Stop();
  if (turn_set_fd_ >= 0) close(turn_set_fd_);
  if (turn_cleared_fd_ >= 0) close(turn_cleared_fd_);
}

CMtrBaseDriver* CMtrBaseDriver::create_and_init(SettingsMap params,
                                                std::shared_ptr<CConnector> connector,
                                                CJSONRPCConnector* rpc) {
  const std::string model = params.count("manufacturer") ? params["manufacturer"] : std::string();
  LOG_INFO("CMtrBaseDriver::create_and_init() - mtr_main_electro assembly starts");
  LOG_INFO("CMtrBaseDriver::create_and_init() Repository revision Unknown, compiled: %s %s",
           __DATE__, __TIME__);
  LOG_INFO("CMtrBaseDriver::create_and_init() as '%s'", model.c_str());

  FactoryRow row = FindFactoryRow(model);
  CMtrBaseDriver* driver = row.row ? BuildModelDriver(row) : nullptr;
  if (!driver) {
    if (row.row)
      LOG_WARNING("CMtrBaseDriver::create_and_init() - %s is not built into this daemon (row %d)",
                  row.class_name.c_str(), row.row);
    LOG_WARNING("CMtrBaseDriver::create_and_init() - CmtrEmptyDriver IS STARTED !!!");
    driver = new CMtrEmptyDriver();
  }

  LOG_WARNING("CMtrBaseDriver::create_and_init() - setJSONRPCConnector()");
  driver->setJSONRPCConnector(rpc);
  LOG_WARNING("CMtrBaseDriver::create_and_init() - save_init_params()");
  driver->save_init_params(params);
  LOG_WARNING("CMtrBaseDriver::create_and_init() - SaveConnector()");
  driver->SaveConnector(connector.get());
  LOG_WARNING("CMtrBaseDriver::create_and_init() - Start()");
  driver->Start(driver, model);
  return driver;
}

void CMtrBaseDriver::SaveConnector(CConnector* connector) {
  if (!connector) {
    SaveConnector(std::shared_ptr<CConnector>());
    return;
  }
  // Join the ownership the connector already has: one shared owner for all drivers.
  std::shared_ptr<CConnector> shared = connector->weak_from_this().lock();
  if (!shared) shared.reset(connector);
  SaveConnector(shared);
}

void CMtrBaseDriver::SaveConnector(std::shared_ptr<CConnector>) {}

void CMtrBaseDriver::setJSONRPCConnector(CJSONRPCConnector* connector) {
  rpc = connector;
  if (rpc) settings = rpc->Settings();
}

void CMtrBaseDriver::save_init_params(const SettingsMap& map) {
  params = map;
  auto led = params.find("led_indication");
  led_indication = led == params.end() || settingsNumber(led->second) != 0;
  auto alias = params.find("port_alias");
  if (alias != params.end()) {
    static const char* const kLocal[] = {"serial232.0", "serial232.D", "serial485.4", "serial485.1",
                                         "serial485.2"};
    for (const char* l : kLocal)
      if (alias->second == l) local_port = true;
  }
}

bool CMtrBaseDriver::IsPortFree() {
  const std::string kPause = mtr::rootedPath("/tmp/pause_kzp");
  const std::string kPauseAll = mtr::rootedPath("/tmp/pause_kzp_all");
  if (!local_port && access(kPause.c_str(), F_OK) == 0) return false;
  return access(kPauseAll.c_str(), F_OK) != 0;
}

namespace {
void signalFd(int fd) {
  uint64_t one = 1;
  if (fd >= 0 && write(fd, &one, sizeof one) < 0) {
    // a full counter still wakes the waiter
  }
}
}  // namespace

void CMtrBaseDriver::setTurn() {
  poll_turn = 1;
  signalFd(turn_set_fd_);
}

void CMtrBaseDriver::clearTurn() {
  poll_turn = 0;
  signalFd(turn_cleared_fd_);
}

void CMtrBaseDriver::bodyEnds() {
  body_ended_ = true;
  signalFd(turn_cleared_fd_);
}

bool CMtrBaseDriver::waitTurn(bool value, long ms) {
  const uint8_t want = value ? 1 : 0;
  const int fd = value ? turn_set_fd_ : turn_cleared_fd_;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (poll_turn.load() != want) {
    if (threadEnded()) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return false;
    // A body that ends signals; a thread cancelled by Stop() does not: callers bound `ms`.
    struct pollfd p {
      fd, POLLIN, 0
    };
    {
      mtr::CancellableScope cancellable;
      poll(&p, 1, static_cast<int>(std::min<long long>(left, INT32_MAX)));
    }
    uint64_t drained;
    if (p.revents & POLLIN) {
      if (read(fd, &drained, sizeof drained) < 0) {
        // another waiter drained it first
      }
    }
  }
  return true;
}

namespace {
int settingInt(const SettingsMap& params, const char* key) {
  auto it = params.find(key);
  return it == params.end() ? 0 : static_cast<int>(settingsNumber(it->second));
}
}  // namespace

int CMtrBaseDriver::netAddress() const {
  return settingInt(params, "net_address");
}
int CMtrBaseDriver::srvTZ() const {
  return settingInt(params, "srv_tz");
}
int CMtrBaseDriver::puTZ() const {
  return settingInt(params, "pu_tz");
}
int CMtrBaseDriver::dTZ() const {
  return (puTZ() - srvTZ()) * 3600;
}
