// The log's data rows: the header row written when a link comes up, and one row per sample.
#pragma once

#include "channels/conversion.h"

// The header row of the data rows: the time, then "," and each channel's name.
void WriteHeaderRow();

// The data row of a sample, in one write so that the reader thread's lines cannot break it: the
// local time, a space, then the text of each channel of the sample, each but channel 7's followed
// by ",", and the line end.
void WriteDataRow(const Sample& sample);
