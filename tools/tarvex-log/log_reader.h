// Reads a Tarvex.log as it streams past and turns it into data: one Row per data row, with every
// value in its channel's column, and Events for the connection history. The log is written for
// exactness, not for machines: a debug line of the reader thread can fall between any two pieces
// of a row and break it in two, and a disabled channel leaves no field, so the later values move
// left. The reader joins the pieces again and places each value by what the row proves (units,
// the fixed channel order, the trailing "," that a disabled channel 7 leaves) and, where that
// leaves a choice, by the rows before it. A row it still cannot place is reported, never guessed.
#pragma once

#include "channels/channel_table.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarvexlog {

constexpr int VALUE_CHARS = 16; // the longest value text of a 16-bit reading is 13 characters

// A channel's texts in the outputs, made from its row.
struct ChannelInfo {
    std::string name;   // as the header row writes it
    std::string column; // the CSV column: the name, then the unit in brackets
};
extern const std::array<ChannelInfo, CHANNEL_COUNT> channelInfo;

// What the log shows of a unit, made from its row and its channels' conversions.
struct UnitInfo {
    std::string logUnit; // after the number in the log: "F", "Volts", ...
    double limit;        // the largest magnitude that a 16-bit reading gives in this unit
};
extern const std::array<UnitInfo, UNIT_GROUP_COUNT> unitInfo;

struct Row {
    uint64_t line = 0;      // 1-based line number where the row starts
    uint64_t offset = 0;    // byte offset of its first byte
    char time[12] = {};     // the row's time text, "h:mm:ss AM"
    int64_t clock = 0;      // seconds of that time, counted on across midnights and clock changes
    double seconds = 0;     // from the first data row, rows within one second spread by order
    int link = 0;           // which connection: 1 for the first
    uint8_t mask = 0;       // bit c set: channel c has a value
    char text[CHANNEL_COUNT][VALUE_CHARS] = {}; // the value as written, without padding or unit
    double value[CHANNEL_COUNT] = {};
};

struct Event {
    uint64_t line = 0;
    std::string time;       // the time text of the last timed line at or before it, if any
    int link = 0;
    std::string what;
};

class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void OnRow(const Row&) {}
    virtual void OnEvent(const Event&) {}
    // A row that could not be placed, a cut row, a line that is no part of a Tarvex log.
    virtual void OnProblem(uint64_t line, const std::string& what) = 0;
};

class LogReader {
public:
    explicit LogReader(LogSink& sink) : sink(sink) {}
    void Feed(const char* data, size_t n);
    void Finish(); // the end of the input; call once, after the last Feed

    bool IsTarvexLog() const { return verdict == Tarvex; } // valid after Finish
    bool IsNoLog() const { return verdict == NotTarvex; } // known to be none: Feed reads no more
    uint64_t RowCount() const { return rows; }
    uint64_t UnplacedCount() const { return unplaced; }

    // How many gapless seconds between two rows of one link count as a gap (a pause, or a GUI
    // held up): the tick writes a row every half second.
    static constexpr int GAP_SECONDS = 2;

    // The longest line Tarvex can write is a header row of eight channel names at their full 259
    // characters, some 2100 bytes (its real ones are about 110). A longer line, or a row whose
    // pieces add up to more, is no Tarvex text: it is reported and skipped, never held whole.
    static constexpr size_t MAX_LINE = 4096;
    // The entries each queue of rows and events holds at most. The CSV's seconds have three
    // decimals, so rows past the 1000th of one second (Tarvex writes two) cannot be told apart
    // anyway: a second that fills its queue is given out in steps of 1 ms, the rest of it at its
    // last millisecond. A run of one event repeated is one entry.
    static constexpr size_t MAX_QUEUED = 1000;

private:
    enum Verdict { Unknown, Tarvex, NotTarvex };
    enum Open { None, DataRow, HeaderRow, Identification };
    // A row on its way out (its fields, until it is placed), or an event between rows.
    struct Held {
        bool isRow = false;
        Row row;           // text[i]: the i-th field's number until the row is placed
        Event event;
        uint64_t times = 1;  // an event repeated this many times in a row
        int count = 0;
        UnitGroupId units[CHANNEL_COUNT] = {};
        double values[CHANNEL_COUNT] = {};
        std::vector<uint8_t> candidates;
        int chosen = -1;
    };
    // Rows whose channels only the rows after them can tell wait this long at most.
    static constexpr size_t MAX_HELD_ROWS = 240;

    void Line(std::string_view s, bool terminated);
    void LongLine(std::string_view start);
    bool KnownText(std::string_view s);
    void StartRow(std::string_view s, int64_t clock, bool terminated);
    void CloseRow(bool atEnd);
    bool Parse(Held& h, std::string_view text);
    bool IsCandidate(const Held& h, int mask) const;
    double Distance(const Held& h, int mask, int other, const double* next,
                    const bool* haveNext) const;
    int Decide(const Held& h, int preferred, int fallback, const double* next,
               const bool* haveNext) const;
    void Resolve(int nextMask, const Held* anchor);
    void Assign(Held& h, int mask);
    void Emit(const Row& given);
    void Note(const std::string& what);
    void Deliver(const Event& event, uint64_t times = 1);
    void Flush(bool secondOver = true);
    static Held& Push(std::vector<Held>& queue, bool isRow);
    static void Queue(std::vector<Held>& queue, const Event& event, uint64_t times);
    void Problem(uint64_t line, const std::string& what);

    LogSink& sink;
    Verdict verdict = Unknown;
    std::string partial;      // a line split across two Feed calls
    bool skipping = false;    // the rest of a line too long to read is being passed over
    uint64_t lineNumber = 0;
    uint64_t offset = 0;      // of the next line's first byte
    uint64_t lineOffset = 0;  // of the current line's first byte

    Open open = None;
    Row current;              // the open row: its start
    std::string pieces;       // its text after the time, pieces joined
    bool tooLong = false;     // its pieces passed MAX_LINE: what is kept of them says nothing
    uint64_t lastPieceLine = 0;    // where its last piece was, and whether a line end followed it
    bool lastPieceTerminated = false;
    bool endSeen = false;
    bool cutMessages = false; // the row being placed is the log's last

    std::string lastTime;
    int link = 0;
    bool linked = false;      // rows may come: a connection was made and not yet lost
    bool haveClock = false;
    int64_t lastClock = 0;    // of the last timed line, for midnights
    int64_t dayBase = 0;
    bool haveFirst = false;
    int64_t firstClock = 0;
    int64_t lastRowClock = 0;
    int64_t clockShift = 0;   // what the clock was set back by, added to later rows
    int lastRowLink = 0;

    bool havePrevMask = false;
    uint8_t prevMask = 0;
    bool haveValue[CHANNEL_COUNT] = {};
    double lastValue[CHANNEL_COUNT] = {};

    Held parsing;               // the row being placed
    std::vector<Held> held;     // rows waiting for the rows after them, and events between
    size_t heldRows = 0;
    // The rows of one second and what came between them: a row's seconds are known once the
    // second is over.
    std::vector<Held> pending;
    size_t pendingRows = 0;
    int64_t pendingClock = 0;
    uint64_t givenOfSecond = 0; // rows of that second already given out, its queue having filled
    Event scratchEvent;
    uint64_t rows = 0;
    uint64_t unplaced = 0;
};

// One value text of the log ("13.64 Volts", " 2.55 ms", "800 RPM"): its number without padding
// and its unit. False for anything else.
bool ParseValue(std::string_view field, UnitGroupId* unit, std::string_view* number);

// The channel sets that a row with these units in this order can have been written with;
// trailingComma says the row ends in ",", which only a disabled channel 7 leaves.
std::vector<uint8_t> CandidateMasks(const UnitGroupId* units, int count, bool trailingComma);

// "h:mm:ss AM" to seconds after midnight, or -1.
int ParseTime(std::string_view s, size_t* length);

} // namespace tarvexlog
