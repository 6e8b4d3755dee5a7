#include "drivers/framework/base_driver.h"
#include "drivers/framework/model_builder.h"
#include "drivers/models/ce2727/mtr_ce2727.h"

namespace {

CMtrBaseDriver* build(const FactoryRow& row) {
  if (row.class_name == "CmtrCE2727")
    return new CmtrCE2727(static_cast<int>(settingsNumber(row.argument)));
  return nullptr;
}

}  // namespace

void RegisterBuiltinModels() { SetModelBuilder(&build); }
