#include "drivers/framework/base_driver.h"
#include "drivers/framework/model_builder.h"
#include "drivers/models/ce2727/mtr_ce2727.h"
#include "drivers/models/ce30x/ce30x.h"
#include "drivers/models/mercury/mercury23x.h"

namespace {

CMtrBaseDriver* build(const FactoryRow& row) {
  if (row.class_name == "CmtrCE2727")
    return new CmtrCE2727(static_cast<int>(settingsNumber(row.argument)));
  if (row.class_name == "CmtrGost61107") return new CmtrGost61107();
  // rows 19 and 20 pass the model string itself, row 21 "mercury230"
  if (row.class_name == "CmtrMercury23X") return new CmtrMercury23X(row.argument, 0);
  return nullptr;
}

}  // namespace

void RegisterBuiltinModels() {
  SetModelBuilder(&build);
}
