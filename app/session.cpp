// Start-up of the log and the port, the tick, the Pause button and the end of the run.
//
// This is the part of the main window's behaviour that needs no window: it reaches the screen
// only through the platform seam (status line, Pause caption, message boxes), so the unit tests
// run it against the fake platform and check the log it writes byte for byte.
#include "session.h"

#include "channels/channel_table.h"
#include "display/chart.h"
#include "link/block_exchange.h"
#include "link/connection.h"
#include "link/link_state.h"
#include "link/reader_thread.h"
#include "link/serial_line.h"
#include "log/data_row.h"
#include "log/log_texts.h"
#include "log/session_log.h"
#include "platform/platform.h"

#include <cstdint>

wchar_t portName[PORT_NAME_CHARS + 1];
int32_t sessionPaused = 0;

namespace {

constexpr int CONFIG_READ_BYTES = 200;

// Set while a connection attempt runs. A failed attempt shows a message box, whose modal loop
// dispatches the ticks and clicks that come in meanwhile: none of them may start a second
// attempt on top of the first.
int attemptRunning = 0;
// Set when the window was closed while an attempt ran: the end of the run waits until the
// attempt has got off the line, then follows at once.
int endAfterAttempt = 0;
int sessionEnded = 0;

void SetPortName(const wchar_t* name) {
    int i = 0;
    for (; name[i] != 0 && i < PORT_NAME_CHARS; i++)
        portName[i] = name[i];
    portName[i] = 0;
}

// Takes the port name from "Tarvex.cfg", whose bytes, as they stand, are the device name, up to
// a NUL byte if there is one (where the C library's text conversion of the bytes ends). A file
// too long for a name is refused rather than cut short: a cut name could open another device
// than the one the user wrote down. A refused name stays empty, and the open that follows fails
// with "Cannot open COM port".
void TakePortName() {
    uint8_t bytes[CONFIG_READ_BYTES];
    uint32_t length = 0;
    portName[0] = 0;
    switch (OsReadConfigFile(bytes, sizeof bytes, &length)) {
    case ConfigMissing:
        LogWrite(LOG_DEFAULT_PORT);
        SetPortName(L"COM9:");
        break;
    case ConfigUnreadable:
        LogWrite(LOG_CONFIG_UNREADABLE);
        break;
    case ConfigRead:
        if (length > PORT_NAME_CHARS) {
            LogWrite(LOG_CONFIG_TOO_LONG);
            break;
        }
        uint32_t n = 0;
        for (; n < length && bytes[n] != 0; n++)
            portName[n] = static_cast<wchar_t>(bytes[n]);
        portName[n] = 0;
        LogWrite(LOG_CONFIG_READ);
        break;
    }
    LogWrite(portName);
    LogWrite(L"\r\n");
}

// A device name never holds control characters. Such a name (the line end of a config file
// written with a text editor, say) is not opened: Wine would quietly drop the line end and open
// the port anyway, where Windows refuses the name, and Tarvex should behave the same on both.
int IsDeviceName(const wchar_t* name) {
    if (name[0] == 0)
        return 0;
    for (; *name; name++)
        if (*name < 0x20)
            return 0;
    return 1;
}

void FinishSession() {
    // The end-of-session block goes out at every close, link or no link: an ECU that is awake
    // ends its session at once instead of waiting to time out. The one exception is a reader
    // thread that could not be stopped: it may still be on the line, and two threads must never
    // drive it at once. Nor may its port be closed under it; the process's end closes it.
    const int lineIsOurs = StopReaderThread();
    // Set the port up as an attempt does: closed before the first attempt, it still has the
    // driver's own time-outs, with which a read of an unanswered byte would never end.
    if (lineIsOurs && OsPortIsOpen() && OsApplyPortTimeouts(READ_WAIT_MS) && ConfigureLine(1))
        SendEndSessionBlock();
    LogWrite(LOG_SESSION_ENDED);
    CloseLog();
    if (lineIsOurs)
        OsClosePort();
    sessionEnded = 1;
}

// -1 when no attempt was made (one is already under way further down this thread's stack, or
// the run has ended), else the attempt's result.
int TryConnect() {
    if (attemptRunning || sessionEnded)
        return -1;
    attemptRunning = 1;
    // A wake-up holds the thread for seconds (ten 200 ms address bits, then up to 1.5 s for the
    // sync byte), and a slow ECU keeps it in the opening exchange for longer: the window goes on
    // painting and, above all, hears a close meanwhile. The user's other input waits for the
    // attempt, so that nothing the user does can stretch a step of it.
    // The address's bits are timed by this thread's waits, which Windows would otherwise end up
    // to 15.6 ms late.
    OsKeepWindowResponsive(1);
    OsRaiseTimerResolution(1);
    historyLength = 0; // each link's traces begin afresh
    int ok = ConnectEcu();
    OsRaiseTimerResolution(0);
    OsKeepWindowResponsive(0);
    attemptRunning = 0;
    if (endAfterAttempt) {
        if (sessionEnded) // from inside the attempt, at the end of the user's Windows session
            OsSetLineStop(0); // the attempt is off the line now
        else
            FinishSession();
        return -1;
    }
    return ok;
}

} // namespace

int StartSession() {
    // Each run has a Tarvex.log of its own, and the earlier run's is kept under another name. One
    // that cannot be renamed is not replaced either: this run's lines follow its end.
    const int earlierKept = KeepEarlierLog();
    if (!(earlierKept ? OsCreateLogFile() : OsReopenLogFileForAppend())) {
        OsShowMessage(L"Cannot open Log File", L"Error", 0);
        return 0;
    }
    sessionEnded = 0;
    endAfterAttempt = 0;
    if (!earlierKept) // the earlier run's last text has no line end of its own
        LogWrite(L"\r\n");
    LogWrite(LOG_STARTING);
    if (!earlierKept)
        LogWrite(LOG_EARLIER_LOG_NOT_RENAMED);
    TakePortName();
    ResetReceiveTables();
    LogWrite(L"\r\n");
    if (!IsDeviceName(portName) || !OpenPort(portName)) {
        OsShowMessage(L"Cannot open COM port", L"Error", 1);
        LogWrite(LOG_PORT_NOT_OPENED);
        return 0;
    }
    LogWrite(LOG_PORT_OPENED);
    StoreFlag(LinkState.connected, 0);
    return 1;
}

int OnTick() {
    if (!LoadFlag(LinkState.connected)) {
        int ok = TryConnect();
        if (ok < 0)
            return 0; // an attempt is already under way further down this thread's stack
        if (!ok) {
            OsSetStatusText(L"Waiting to connect to ECU");
            OsUpdateMainWindow();
            return 1;
        }
        StoreFlag(LinkState.connected, 1);
        WriteHeaderRow();
    }
    ChartTick();
    return 0;
}

void ToggleChannel(int channel) {
    ChannelTable.enabled[channel] = ChannelTable.enabled[channel] ? 0 : 1;
    OsRedrawChannelButton(channel);
}

void OnPauseButton() {
    if (LoadFlag(LinkState.connected)) {
        sessionPaused = sessionPaused ? 0 : 1;
        OsSetPauseButtonText(sessionPaused ? L"Resume" : L"Pause");
        return;
    }
    // A click that reaches here inside an attempt (through the failed attempt's message box)
    // is dropped: attempts never nest, and the next tick makes an attempt anyway.
    if (TryConnect() > 0) {
        StoreFlag(LinkState.connected, 1);
        OsSetPauseButtonText(L"Pause");
        sessionPaused = 0;
    }
}

void EndSession(int atOnce) {
    if (sessionEnded)
        return;
    if (attemptRunning && !atOnce) {
        // Closed from inside a connection attempt's wait or its message box: stop the line so
        // that the attempt breaks off at once, then end when it has unwound.
        OsSetLineStop(1);
        endAfterAttempt = 1;
        return;
    }
    // At log-off or shut-down the process may be ended as soon as this returns, and an attempt
    // under way would never unwind: the end comes now, from inside it, and the line is stopped
    // again after it, so that the attempt unwinds at once into a finished run.
    FinishSession();
    if (attemptRunning) {
        OsSetLineStop(1);
        endAfterAttempt = 1;
    }
}
