#pragma once

#include "drivers/framework/factory.h"

class CMtrBaseDriver;

// The model driver a factory row names, or null when this build lacks the class.
CMtrBaseDriver* BuildModelDriver(const FactoryRow& row);
