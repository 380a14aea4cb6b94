// The one test platform: what the unit tests, the fuzz targets, the allocation test and the
// benchmarks link instead of the Win32 side. The log file is a string, the clock a number that
// moves with the line (a test may move it too), message boxes, texts and drawing calls are
// recorded, and behind the serial port sits the simulated ECU, a script, or nothing at all.
#pragma once

#include "ecu_model.h"
#include "platform/platform.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

struct FakeMessage {
    std::wstring text;
    std::wstring caption;
    int ownedByMainWindow;
};

inline bool operator==(const ChartPoint& a, const ChartPoint& b) { return a.x == b.x && a.y == b.y; }
inline std::ostream& operator<<(std::ostream& out, const ChartPoint& p) {
    return out << "(" << p.x << ", " << p.y << ")";
}

inline auto Fields(const LineSettings& s) {
    return std::make_tuple(s.baudRate, s.byteSize, s.parity, s.stopBits, s.binary, s.dtrControl,
                           s.rtsControl, s.outxCtsFlow, s.outxDsrFlow, s.dsrSensitivity, s.outX,
                           s.inX, s.errorCharOn, s.discardNull, s.abortOnError, s.xonLim, s.xoffLim,
                           s.xonChar, s.xoffChar, s.errorChar);
}
inline bool operator==(const LineSettings& a, const LineSettings& b) { return Fields(a) == Fields(b); }
inline std::ostream& operator<<(std::ostream& out, const LineSettings& s) {
    std::apply([&out](auto... field) { ((out << unsigned(field) << " "), ...); }, Fields(s));
    return out;
}

// One drawing call on the chart's surface, as the fake records it.
struct DrawCall {
    enum Kind { Fill, Pen, Brush, Polyline, Polygon, TextColour, Text, Present } kind;
    int32_t arg;                 // pen, channel of the brush, or text colour
    std::vector<ChartPoint> points; // a text's has one: where it is drawn; a rectangle's two corners
    std::wstring text;
};

struct FakeOs {
    // Log file.
    bool logCreateFails = false;
    bool logOpen = false;
    bool logReopenFails = false;
    std::string logFile;                          // the bytes of "Tarvex.log"
    bool earlierLog = false;                      // a Tarvex.log (logFile) was there at the start
    LocalTime earlierLogTime = {2026, 12, 8, 15, 4, 9};
    bool renameFails = false;
    std::map<std::wstring, std::string> files;    // copies made by OsCopyLogFile, renamed logs
    bool copyFails = false;
    std::mutex logMutex;
    std::thread::id logLockOwner;                 // the thread holding the log lock, if any
    int logUsesOutsideLock = 0;                   // writes and closes made without holding it
    // Runs after each write, under the log lock, as another thread's write that comes right after
    // would land.
    std::function<void()> afterLogWrite;

    // "Tarvex.cfg": what reading it gives, and its bytes when read.
    ConfigReadResult config = ConfigMissing;
    std::string configBytes;

    // Serial port: names that open, and what was opened.
    std::vector<std::wstring> openablePorts = {L"\\\\.\\COM9"}; // device paths that open
    bool portOpen = false;
    std::wstring openedPort;
    int portOpenCalls = 0;
    // The far end: the simulated adapter and ECU, on the virtual clock. Without one the line is
    // dead: nothing echoes, every read waits out its time.
    std::unique_ptr<ecusim::EcuModel> ecu;
    std::atomic<int32_t> lineStop{0};             // the line-stop flag
    bool timeoutsSet = false;                     // a fresh handle has the driver's own time-outs
    // The driver's line settings, as GetCommState reports them (a USB adapter's, to start with),
    // and every set of settings it was given. Like Windows, it refuses an XON character equal to
    // the XOFF character.
    LineSettings driverSettings = {115200, 8, 0, 0, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0,
                                   2048, 512, 0x11, 0x13, 0};
    std::vector<LineSettings> appliedSettings;
    // A line error (the K-line held low: a break) while abortOnError is set stops every read and
    // write until ClearCommError, as Windows documents it; set here, the port starts so stopped.
    bool transfersAborted = false;
    int readsWithoutTimeouts = 0;                 // reads that could wait for ever on a real port
    std::vector<std::pair<uint64_t, int>> rts;    // (time, asserted) of every RTS command
    std::vector<uint8_t> written;                 // every byte the program wrote
    int purges = 0;
    std::function<void(uint8_t)> onWrite;         // called after each byte written
    // Without a model, a scripted far end (the fuzz targets' input): the adapter echoes every
    // byte written (unless echoOff), and the ECU sends the bytes of ecuScript in order; -1 there
    // is a read that times out. A delivered byte takes scriptByteUs of the clock.
    std::deque<uint8_t> echoes;
    std::deque<int> ecuScript;
    bool echoOff = false;
    uint64_t scriptByteUs = 0;
    uint8_t lastDelivered = 0;                    // the last byte a read delivered
    int corruptEchoOfFirst = -1;                  // the echo of the first write of this byte is wrong

    // Fault injection: the serial operations (open, time-outs, settings, RTS, purge, read,
    // write) are counted from 1; operation failAt fails, and every later one too while
    // failPersistently. An EmptyRead fault makes a read deliver nothing after its wait; other
    // operations then succeed.
    enum FaultKind { OpError, EmptyRead };
    int serialOps = 0;
    int failAt = 0;
    bool failPersistently = false;
    FaultKind failKind = OpError;
    int faultsInjected = 0;

    // The reader thread: a real thread, so the program's hand-over between threads is real. The
    // join waits for it up to its limit on the clock, which the reader moves as it uses the line.
    bool threadCreateFails = false;
    int threadsCreated = 0;
    int readerResumes = 0;
    uint32_t (*readerProc)(void*) = nullptr;
    std::unique_ptr<std::thread> reader;
    bool mainWindowClosed = false;
    std::function<void()> onCloseMainWindow;     // what the window's WM_CLOSE runs
    // The reader thread does not end within any limit given to the join, as one stuck in a port
    // call would not.
    bool readerWontEnd = false;
    bool holdReader = false;                      // a resumed reader waits for StartHeldReader
    std::function<void()> onMessage;              // runs inside a message box, as its modal loop
    // The window's thread keeping the window responsive (OsKeepWindowResponsive): onWindowWait
    // runs at the start of each of its sleeps and reads, as a message dispatched there would.
    bool windowResponsive = false;
    std::thread::id responsiveThread;
    std::function<void()> onWindowWait;
    int windowWaits = 0;

    // The user.
    std::vector<FakeMessage> messages;
    std::vector<std::wstring> statusTexts;
    std::wstring paintedStatus; // the last status text when the window was last made to paint
    std::vector<std::wstring> pauseTexts;
    std::vector<int> redrawnButtons; // channels whose button was repainted, in order
    std::wstring saveAnswer;                      // empty: the user cancels the dialog
    int saveDialogs = 0;

    // The chart: every drawing call of the tick, and the buttons' captions. Without record (the
    // benchmarks, the allocation test) drawing calls and texts only add to drawSum, so that no
    // drawing is optimised away and the platform costs less than the core's own work.
    bool record = true;
    std::vector<DrawCall> draws;
    std::wstring captions[8];
    uint64_t drawSum = 0;

    // Time, shared with the reader thread. Waits end on the timer's next tick, as on Windows: every
    // 15.625 ms, or every millisecond while the resolution is raised.
    std::atomic<uint64_t> nowUs{1000000};
    bool timerRaised = false;
    int timerRaises = 0;
};

extern FakeOs fakeOs;

// Puts the fake and the program's shared state back to the state of a fresh start.
void ResetFakeOs();

// Nonzero on a thread while one of the platform's calls runs on it: the allocation test leaves
// the platform's own allocations (its records, the ECU model's queues) out of its count.
int InsideFakeOs();

// Puts a healthy (or scripted) simulated ECU behind the port.
void AttachEcu(const ecusim::Scenario& scenario = ecusim::Scenario());

// Waits for the reader thread to end by itself; the test must make sure it does.
void WaitForReaderEnd();
// Starts a reader thread that holdReader kept back.
void StartHeldReader();
// Runs the reader on the calling thread for `cycles` poll cycles. The connected flag is cleared
// while the last cycle's request goes out (blockNumber is then that request's counter), so that
// cycle completes and the loop ends. The reader's exit code.
uint32_t PollCycles(int cycles);

// The message boxes shown, a line each: caption, text, and "(window)" where the main window
// owns the box.
inline std::wstring Messages() {
    std::wstring out;
    for (const FakeMessage& m : fakeOs.messages)
        out += m.caption + L": " + m.text + (m.ownedByMainWindow ? L" (window)\n" : L"\n");
    return out;
}

// Whether the log ends with `tail`.
inline bool LogEndsWith(const std::string& tail) {
    const std::string& log = fakeOs.logFile;
    return log.size() >= tail.size() && log.compare(log.size() - tail.size(), tail.size(), tail) == 0;
}

// The bytes the program wrote from position `from` on.
std::vector<uint8_t> WrittenFrom(size_t from);
