#include "app/supervisor.h"

#include <unistd.h>

#include <memory>

#include "app/cmdline.h"
#include "base/logger.h"
#include "drivers/framework/base_driver.h"
#include "server/jsonrpc_connector.h"
#include "transport/connector.h"

void Supervise(const std::vector<CMtrBaseDriver*>& drivers, long step_ms) {
  for (;;) {
    if (stop_requested.load()) return;
    bool any = false;
    for (CMtrBaseDriver* driver : drivers) {
      // A driver whose thread has ended would never give the turn back.
      if (driver->isFinished()) continue;
      any = true;
      driver->setTurn();
      do {
        driver->waitTurn(false, step_ms);
        for (CMtrBaseDriver* d : drivers) d->IsArchFresh();
      } while (driver->hasTurn() && !driver->isFinished());
    }
    if (!any) usleep(100000);
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

  stop_requested = 0;
  Supervise(drivers);

  for (CMtrBaseDriver* d : drivers) {
    d->Stop();  // before any of its members go
    delete d;
  }
  for (CJSONRPCConnector* c : connectors) delete c;
  return 0;
}
