#include "drivers/framework/model_builder.h"

#include "drivers/framework/base_driver.h"

CMtrBaseDriver* BuildModelDriver(const FactoryRow& row) {
  (void)row;
  return nullptr;
}
