#include "app/supervisor.h"

#include <unistd.h>

#include <memory>

#include "app/cmdline.h"
#include "base/logger.h"
#include "drivers/framework/base_driver.h"
#include "server/jsonrpc_connector.h"
#include "transport/connector.h"

namespace {

// One step of the wait for a turn. On the process clock the step sleeps on the
// stop event: nothing else wakes it, so drivers that give the turn back at once
// still get it no more often than once a step. Once a stop is requested there
// is nothing left to pace: the rest of the round waits for the turn itself.
void sleepStep(CMtrBaseDriver* holder, long step_ms, mtr::Clock& clock) {
  if (stop_requested.load()) {
    holder->waitTurn(false, step_ms);
  } else if (&clock == &mtr::systemClock()) {
    WaitForStop(step_ms);
  } else {
    clock.sleepMs(step_ms);
  }
}

}  // namespace

void Supervise(const std::vector<CMtrBaseDriver*>& drivers, long step_ms, mtr::Clock& clock) {
  for (;;) {
    if (stop_requested.load()) return;
    bool any = false;
    for (CMtrBaseDriver* driver : drivers) {
      // A driver whose thread has ended would never give the turn back.
      if (driver->threadEnded()) continue;
      any = true;
      driver->setTurn();
      do {
        sleepStep(driver, step_ms, clock);
        for (CMtrBaseDriver* d : drivers) d->IsArchFresh();
      } while (driver->hasTurn() && !driver->threadEnded());
    }
    if (any) continue;
    // Nothing to supervise: only a stop request is left to wait for.
    if (&clock == &mtr::systemClock())
      WaitForStop(-1);
    else
      clock.sleepMs(step_ms);
  }
}

int RunMeters(const std::vector<std::string>& ids) {
  std::vector<CJSONRPCConnector*> connectors;
  std::vector<CMtrBaseDriver*> drivers;
  std::shared_ptr<CConnector> shared;

  for (const std::string& id : ids) {
    auto* rpc = new CJSONRPCConnector(id, 0);
    std::list<PortGroup> groups = rpc->GetInitParameters1();
    for (const PortGroup& group : groups) {
      if (!shared) shared.reset(CreateConnector(SettingsMap(group.port_params)));
      for (const SettingsMap& system : group.systems) {
        drivers.push_back(CMtrBaseDriver::create_and_init(SettingsMap(system), shared, rpc));
      }
    }
    connectors.push_back(rpc);
  }
  // The drivers hold the connector now; the last one to go closes it.
  shared.reset();

  // A stop requested before this point had no lasting effect; from here on it
  // is honoured, which the log tells.
  ClearStopRequest();
  LOG_INFO("main() - supervision of %d driver(s) begins.", static_cast<int>(drivers.size()));
  Supervise(drivers);

  for (CMtrBaseDriver* d : drivers) {
    d->Stop();  // before any of its members go
    delete d;
  }
  for (CJSONRPCConnector* c : connectors) delete c;
  return 0;
}
