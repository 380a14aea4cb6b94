// The colour set (platform/os_window_win.h), made from the named colours, and the painting of the
// owner-drawn buttons: the Pause button and one button per channel with its on/off indicator.
//
// Every tool is made once with the window and kept for the life of the process, so painting a
// button or a chart tick never creates a drawing object.
#include "display/buttons_win.h"

#include "channels/channel_table.h"
#include "display/colours.h"
#include "platform/os_window_win.h"

#include <iterator>

namespace {

// The colours the buttons and the chart draw with, in one table; pens and brushes are made for
// each, in this order, and a channel of the same colour shares them.
enum NamedColour { Red, Orange, Green, Yellow, Grey, NAMED_COLOUR_COUNT };
constexpr uint32_t namedColours[] = {COLOUR_RED, COLOUR_ORANGE, COLOUR_GREEN, COLOUR_YELLOW,
                                     COLOUR_GREY};
static_assert(std::size(namedColours) == NAMED_COLOUR_COUNT, "a value for every named colour");

constexpr int CAPTION_CHARS = 100;

} // namespace

static_assert(CHANNEL_COUNT == OS_CHANNEL_COUNT, "the colour set has a pen and a brush per channel");

void CreateColourSet() {
    HPEN solidPen[NAMED_COLOUR_COUNT];
    HBRUSH solidBrush[NAMED_COLOUR_COUNT];
    for (int c = 0; c < NAMED_COLOUR_COUNT; c++)
        solidPen[c] = CreatePen(PS_SOLID, 1, namedColours[c]);
    colourSet.dashPen = CreatePen(PS_DASH, 0, COLOUR_DASH);
    for (int c = 0; c < NAMED_COLOUR_COUNT; c++)
        solidBrush[c] = CreateSolidBrush(namedColours[c]);
    // A channel whose colour is a named one shares its pen and brush; another has its own.
    for (int i = 0; i < CHANNEL_COUNT; i++) {
        const uint32_t colour = CHANNEL_ROWS[i].colour;
        int named = 0;
        while (named < NAMED_COLOUR_COUNT && namedColours[named] != colour)
            named++;
        colourSet.channelPen[i] = named < NAMED_COLOUR_COUNT ? solidPen[named] : CreatePen(PS_SOLID, 1, colour);
        colourSet.channelBrush[i] =
            named < NAMED_COLOUR_COUNT ? solidBrush[named] : CreateSolidBrush(colour);
    }
    colourSet.gridPen = solidPen[Grey];
    colourSet.buttonFramePen = solidPen[Orange];
    colourSet.indicatorPen = solidPen[Yellow];
    colourSet.shownBrush = solidBrush[Green];
    colourSet.hiddenBrush = solidBrush[Red];
}

// Every owner-drawn control looks the same whatever its state (focus, pressed, disabled).
BOOL DrawOwnerButton(const DRAWITEMSTRUCT* item) {
    HDC dc = item->hDC;
    RECT r = item->rcItem;
    FillRect(dc, &r, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    wchar_t caption[CAPTION_CHARS];
    int length = GetWindowTextW(item->hwndItem, caption, CAPTION_CHARS);

    int channel = -1;
    for (int i = 0; i < CHANNEL_COUNT && channel < 0; i++)
        if (channelButtons[i] == item->hwndItem)
            channel = i;
    if (channel >= 0) {
        SelectObject(dc, colourSet.indicatorPen);
        SelectObject(dc, ChannelTable.enabled[channel] ? colourSet.shownBrush
                                                       : colourSet.hiddenBrush);
        Ellipse(dc, r.left + 2, r.top + 2, r.left + 15, r.top + 15);
    }
    // The Pause button takes channel 0's red, whatever WM_CTLCOLORBTN set.
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, CHANNEL_ROWS[channel >= 0 ? channel : 0].colour);
    DrawTextW(dc, caption, length, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE);

    SelectObject(dc, colourSet.buttonFramePen);
    POINT frame[5] = {{r.left, r.bottom - 1},
                      {r.left, r.top},
                      {r.right - 1, r.top},
                      {r.right - 1, r.bottom - 1},
                      {r.left, r.bottom - 1}};
    Polyline(dc, frame, 5);
    return TRUE;
}
