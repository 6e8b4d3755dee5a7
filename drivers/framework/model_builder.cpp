#include "drivers/framework/model_builder.h"

#include <atomic>

namespace {
std::atomic<ModelBuilder> g_builder{nullptr};
}

void SetModelBuilder(ModelBuilder builder) {
  g_builder = builder;
}

CMtrBaseDriver* BuildModelDriver(const FactoryRow& row) {
  ModelBuilder b = g_builder.load();
  return b ? b(row) : nullptr;
}
