// Win32 side of the seam: the chart's drawing calls, mapped onto GDI on the off-screen surface.
#include "platform/platform.h"

#include "app/main_window_win.h"

static_assert(sizeof(ChartPoint) == sizeof(POINT), "chart points pass to GDI as they are");

void OsFillChartBlack() {
    RECT area = ChartRectangle();
    FillRect(backBufferDC, &area, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
}

void OsSelectChartPen(ChartPen pen) {
    HPEN selected = pen == PEN_GRID ? gridPen : pen == PEN_DASH ? dashPen : channelPen[pen];
    SelectObject(backBufferDC, selected);
}

void OsSelectChannelBrush(int channel) { SelectObject(backBufferDC, channelBrush[channel]); }

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

void OsPresentChart() {
    RECT area = ChartRectangle();
    InvalidateRect(mainWindow, &area, FALSE);
    UpdateWindow(mainWindow);
}

void OsSetChannelCaption(int channel, const wchar_t* caption) {
    SetWindowTextW(channelButtons[channel], caption);
}
