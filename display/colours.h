// The colours of the channels, the chart and the buttons, as 0x00BBGGRR values.
#pragma once

#include "channels/channel_table.h"

#include <cstdint>
#include <iterator>

constexpr uint32_t ColourRgb(uint32_t r, uint32_t g, uint32_t b) { return r | (g << 8) | (b << 16); }

constexpr uint32_t COLOUR_RED = ColourRgb(255, 0, 0);
constexpr uint32_t COLOUR_ORANGE = ColourRgb(200, 100, 0);
constexpr uint32_t COLOUR_GREEN = ColourRgb(0, 255, 0);
constexpr uint32_t COLOUR_BLUE = ColourRgb(0, 0, 255);
constexpr uint32_t COLOUR_YELLOW = ColourRgb(240, 240, 50);
constexpr uint32_t COLOUR_GREY = ColourRgb(180, 180, 180);
constexpr uint32_t COLOUR_MAGENTA = ColourRgb(250, 0, 250);
constexpr uint32_t COLOUR_PINK = ColourRgb(255, 200, 200);
constexpr uint32_t COLOUR_DASH = ColourRgb(100, 100, 100);   // dashed grid lines, time marks
constexpr uint32_t COLOUR_AMBER = ColourRgb(255, 200, 0);    // "Starting" before the first tick
constexpr uint32_t COLOUR_CHART_TEXT = COLOUR_GREY;          // labels and marks on the chart

// Trace, edge marker and button caption colour of each channel.
constexpr uint32_t channelColour[] = {
    COLOUR_RED,    // Intake Air Temp
    COLOUR_ORANGE, // Cylinder Head Temp
    COLOUR_GREEN,  // AFM Voltage
    COLOUR_BLUE,   // RPM
    COLOUR_YELLOW, // Injector Time
    COLOUR_GREY,   // Ignition Advance: the same grey as the chart's lowest grid line
    COLOUR_MAGENTA,// MAF Sensor
    COLOUR_PINK,   // Battery
};
static_assert(std::size(channelColour) == CHANNEL_COUNT, "a colour for every channel");
