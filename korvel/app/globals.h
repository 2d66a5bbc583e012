// Process-wide values of the updater (kept with the run's shared state).
#pragma once

#include "korvel/update/run_state.h"
