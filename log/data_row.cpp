// The data rows of the log. Their times are the local time in the format the user's clock shows.
#include "log/data_row.h"

#include "log/session_log.h"
#include "platform/platform.h"

#include <cstring>

namespace {

constexpr int ROW_CHARS = 200; // a row is about 130 characters: time, eight values, separators
constexpr int TIME_TEXT_CHARS = 260;

// Appends text to the data row, leaving room for its line end. A row of eight values and the
// time is far shorter than the buffer; were it not, it would be cut rather than overrun it.
void AppendToRow(char* row, int* length, const char* text) {
    for (; *text && *length < ROW_CHARS - 3; text++)
        row[(*length)++] = *text;
}

} // namespace

void WriteHeaderRow() {
    wchar_t timeText[TIME_TEXT_CHARS] = {0};
    OsFormatLocalTime(timeText, TIME_TEXT_CHARS);
    LogWrite(timeText);
    for (int i = 0; i < CHANNEL_COUNT; i++) {
        LogWrite(L",");
        LogWrite(ChannelTable.name[i]);
    }
    LogWrite(L"\r\n");
}

void WriteDataRow(const Sample& sample) {
    wchar_t timeText[TIME_TEXT_CHARS] = {0};
    OsFormatLocalTime(timeText, TIME_TEXT_CHARS);
    char row[ROW_CHARS];
    int length = 0;
    char narrowTime[TIME_TEXT_CHARS];
    NarrowLogText(timeText, narrowTime, TIME_TEXT_CHARS);
    AppendToRow(row, &length, narrowTime);
    AppendToRow(row, &length, " ");
    for (int i = 0; i < CHANNEL_COUNT; i++) {
        if (!(sample.channels & (1u << i)))
            continue;
        AppendToRow(row, &length, sample.readings[i].text);
        if (i != CHANNEL_COUNT - 1)
            AppendToRow(row, &length, ",");
    }
    std::memcpy(row + length, "\r\n", 3);
    LogWriteNarrow(row);
}
