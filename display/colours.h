// The colours of the chart and the buttons, as 0x00BBGGRR values. Each channel's own colour is
// in its row of the channel table; the buttons and the chart share objects with equal colours.
#pragma once

#include "channels/channel_table.h"

#include <cstdint>

constexpr uint32_t COLOUR_RED = ColourRgb(255, 0, 0);
constexpr uint32_t COLOUR_ORANGE = ColourRgb(200, 100, 0);
constexpr uint32_t COLOUR_GREEN = ColourRgb(0, 255, 0);
constexpr uint32_t COLOUR_YELLOW = ColourRgb(240, 240, 50);
constexpr uint32_t COLOUR_GREY = ColourRgb(180, 180, 180);
constexpr uint32_t COLOUR_DASH = ColourRgb(100, 100, 100);   // dashed grid lines, time marks
constexpr uint32_t COLOUR_AMBER = ColourRgb(255, 200, 0);    // "Starting" before the first tick
constexpr uint32_t COLOUR_CHART_TEXT = COLOUR_GREY;          // labels and marks on the chart
