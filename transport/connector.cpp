#include "transport/connector.h"

#include "base/logger.h"
#include "transport/modbus_connector.h"
#include "transport/rs_connector.h"

CConnector* CreateConnector(const SettingsMap& port_params) {
  auto it = port_params.find("protocol");
  if (it != port_params.end() && it->second == "modbus") {
    CConnector* c = new CModbusConnectorItself(port_params);
    LOG_DEBUG("The CConnector is created in the \"Modbus\" mode.");
    return c;
  }
  CConnector* c = new CRSConnector(port_params);
  LOG_DEBUG("The CConnector is created in as simple UART.");
  return c;
}
