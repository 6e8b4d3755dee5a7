#pragma once

#include <string>
#include <vector>

#include "base/clock.h"

class CMtrBaseDriver;

// Configures every identifier, builds the shared connector and the drivers,
// passes the turn until a stop is requested, shuts down in order. Returns 0.
int RunMeters(const std::vector<std::string>& ids);

// The turn-passing loop over `drivers` until stop_requested is set.
// `step_ms` is the supervisor's sleep step (5000 in the daemon); a turn given
// back is handed on at the end of the step, never sooner. Steps are slept on
// `clock` (a test clock), or on the stop event for the process clock.
void Supervise(const std::vector<CMtrBaseDriver*>& drivers, long step_ms = 5000,
               mtr::Clock& clock = mtr::systemClock());
