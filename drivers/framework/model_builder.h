#pragma once

#include "drivers/framework/factory.h"

class CMtrBaseDriver;

// Builds the model driver a factory row names, or returns null when the class
// is not part of this build. The model families register theirs at start-up,
// so the framework does not depend on them.
using ModelBuilder = CMtrBaseDriver* (*)(const FactoryRow& row);
void SetModelBuilder(ModelBuilder builder);
CMtrBaseDriver* BuildModelDriver(const FactoryRow& row);

// Registers the model families built into this daemon (drivers/models).
void RegisterBuiltinModels();
