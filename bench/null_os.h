// The do-nothing platform of the native benchmarks (null_os.cpp): what it lets a benchmark see.
#pragma once

#include <cstdint>

extern uint64_t nullClockMs;  // the millisecond clock OsTickCount reads; OsSleep moves it
extern uint64_t nullDrawSum;  // a sum over everything drawn, so no drawing is optimised away
extern uint64_t nullLogBytes; // bytes the core wrote to its log
