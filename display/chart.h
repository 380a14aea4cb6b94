// The chart: status line, histories, traces and data rows, once per connected tick.
#pragma once

#include <cstdint>

extern int32_t historyLength; // samples drawn per trace; 0 at the start of each attempt

void ChartTick();
