// Win32 side of the seam: the chart's drawing calls, mapped onto GDI on the off-screen surface.
#include "platform/os_window_win.h"

#include <cwchar>

static_assert(sizeof(ChartPoint) == sizeof(POINT), "chart points pass to GDI as they are");

namespace {

RECT RectOf(const ChartArea* area) { return {area->left, area->top, area->right, area->bottom}; }

} // namespace

void OsFillChartBlack(const ChartArea* area) {
    const RECT r = RectOf(area);
    FillRect(backBufferDC, &r, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
}

void OsSelectChartPen(ChartPen pen) {
    HPEN selected = pen == PEN_GRID   ? colourSet.gridPen
                   : pen == PEN_DASH ? colourSet.dashPen
                                     : colourSet.channelPen[pen];
    SelectObject(backBufferDC, selected);
}

void OsSelectChannelBrush(int channel) { SelectObject(backBufferDC, colourSet.channelBrush[channel]); }

void OsDrawPolyline(const ChartPoint* points, int count) {
    Polyline(backBufferDC, reinterpret_cast<const POINT*>(points), count);
}

void OsDrawPolygon(const ChartPoint* points, int count) {
    Polygon(backBufferDC, reinterpret_cast<const POINT*>(points), count);
}

void OsSetChartTextColour(uint32_t colour) { SetTextColor(backBufferDC, colour); }

void OsDrawChartText(int32_t x, int32_t y, const wchar_t* text, int length) {
    ExtTextOutW(backBufferDC, x, y, 0, nullptr, text, static_cast<UINT>(length), nullptr);
}

void OsPresentChart(const ChartArea* area) {
    const RECT r = RectOf(area);
    InvalidateRect(mainWindow, &r, FALSE);
    UpdateWindow(mainWindow);
}

namespace {

constexpr int SHOWN_CAPTION_CHARS = 64; // longer captions are always set

// The caption each channel button shows, as this file last set it (nothing else sets them).
wchar_t shownCaption[OS_CHANNEL_COUNT][SHOWN_CAPTION_CHARS];

} // namespace

// Setting a button's text repaints the button there and then; under Wine that is a round trip to
// the server and the display for every button, every tick (about 0.2 ms each, measured, and far
// more on a busy machine). Most readings do not change from one tick to the next, so a caption
// already shown is left alone.
void OsSetChannelCaption(int channel, const wchar_t* caption) {
    const size_t length = std::wcslen(caption);
    if (length < SHOWN_CAPTION_CHARS && std::wcscmp(shownCaption[channel], caption) == 0)
        return;
    SetWindowTextW(channelButtons[channel], caption);
    if (length < SHOWN_CAPTION_CHARS)
        std::wmemcpy(shownCaption[channel], caption, length + 1);
    else
        shownCaption[channel][0] = 0;
}
