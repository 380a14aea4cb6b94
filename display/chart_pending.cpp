// Until the chart is built a connected tick draws nothing; no connection is made before then.
#include "display/chart.h"

int32_t historyLength = 0;

void ChartTick() {}
