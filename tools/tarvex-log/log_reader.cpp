#include "log_reader.h"

#include "channels/channel_table.h"
#include "channels/conversion.h"
#include "log/log_texts.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace tarvexlog {

namespace {

using std::string_view;

bool StartsWith(string_view s, string_view prefix) { return s.substr(0, prefix.size()) == prefix; }
bool EndsWith(string_view s, string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHex(char c) { return IsDigit(c) || (c >= 'A' && c <= 'F'); }

// A fixed text of the log as a line shows it: without the line ends written with it, and a
// format's up to its first field.
template <typename Char> std::string LineText(const Char* written) {
    std::string text;
    for (; *written == '\r' || *written == '\n'; written++) {
    }
    for (; *written && *written != '%'; written++)
        text += static_cast<char>(*written);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n'))
        text.pop_back();
    return text;
}

// What a reading's text writes after its number and a space: "F" of "%5.2f F".
std::string LogUnit(const UnitRow& unit) { return std::strchr(unit.text, ' ') + 1; }

// The header row's names, from the channel table that Tarvex writes them from.
std::string HeaderNames() {
    std::string names;
    for (const ChannelRow& row : CHANNEL_ROWS)
        names += "," + LineText(row.name);
    return names;
}

std::array<ChannelInfo, CHANNEL_COUNT> ChannelInfos() {
    std::array<ChannelInfo, CHANNEL_COUNT> channels;
    for (int c = 0; c < CHANNEL_COUNT; c++) {
        channels[c].name = LineText(CHANNEL_ROWS[c].name);
        channels[c].column = channels[c].name + " (" + LogUnit(UNITS[CHANNEL_ROWS[c].unit]) + ")";
    }
    return channels;
}

std::array<UnitInfo, UNIT_GROUP_COUNT> UnitInfos() {
    std::array<UnitInfo, UNIT_GROUP_COUNT> units;
    for (int u = 0; u < UNIT_GROUP_COUNT; u++)
        units[u] = {LogUnit(UNITS[u]), 0};
    // The limit is the program's own text of the reading farthest from zero, read back: the
    // conversions are linear, so it is the text of one of the raw extremes.
    for (int c = 0; c < CHANNEL_COUNT; c++) {
        for (const int raw : {INT16_MIN, INT16_MAX}) {
            const ChannelReading reading = ConvertChannel(c, static_cast<int16_t>(raw));
            double& limit = units[CHANNEL_ROWS[c].unit].limit;
            limit = std::max(limit, std::fabs(std::strtod(reading.text, nullptr)));
        }
    }
    return units;
}

const std::string START_TEXT = LineText(LOG_STARTING);
const std::string CUT = "a cut row, left out";
const std::string END_TEXT = LineText(LOG_SESSION_ENDED);
const std::string HEADER_NAMES = HeaderNames();

// The reader thread's per-poll lines: they begin and end with a line end of their own.
const std::string DEBUG_PREFIXES[] = {LineText(LOG_REQUEST_FORMAT), LineText(LOG_ANSWER_FORMAT)};

// What the reader thread writes with a line end in front and none after, so that whatever the
// program writes next, a piece of a row too, goes on in the same line.
const std::string READER_TEXTS[] = {LineText(LOG_WRONG_TITLE), LineText(LOG_LONG_BLOCK)};
const std::string BAD_LENGTH = LineText(LOG_BAD_LENGTH_FORMAT); // then two hex digits and "h"

const std::string START_UP_PREFIXES[] = {
    LineText(LOG_EARLIER_LOG_NOT_RENAMED), LineText(LOG_DEFAULT_PORT),
    LineText(LOG_CONFIG_READ),             LineText(LOG_CONFIG_UNREADABLE),
    LineText(LOG_CONFIG_TOO_LONG),         LineText(LOG_PORT_OPENED),
    LineText(LOG_PORT_NOT_OPENED)};
const std::string ATTEMPT_FAILURES[] = {
    LineText(LOG_TIMEOUTS_NOT_SET), LineText(LOG_STATE_NOT_SET),   LineText(LOG_NOT_RESPONDING),
    LineText(LOG_WRONG_KEYWORD_1),  LineText(LOG_WRONG_KEYWORD_2), LineText(LOG_WRONG_ECHO),
    LineText(LOG_PORT_NOT_REOPENED)};
const std::string BAD_BAUD = LineText(LOG_WRONG_SYNC_FORMAT); // then two hex digits and "h"
const std::string IDENTIFICATION = LineText(LOG_IDENTIFICATION_FORMAT);
const std::string READER_STARTED = LineText(LOG_READER_STARTED);
const std::string CONNECTED = LineText(LOG_CONNECTED);

// "XXh" after a prefix: the whole text of a line that reports a byte.
bool HexByteText(string_view s, string_view prefix) {
    return StartsWith(s, prefix) && s.size() == prefix.size() + 3 && IsHex(s[prefix.size()]) &&
           IsHex(s[prefix.size() + 1]) && s.back() == 'h';
}

// The text of a line as a message can show it: control bytes and bytes above 127 escaped.
std::string Shown(string_view s) {
    std::string out;
    size_t i = 0;
    for (; i < s.size() && out.size() < 60; i++) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 32 && c < 127) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return i < s.size() ? out + "..." : out; // escapes make the text longer than the bytes
}

void Enumerate(const UnitGroupId* units, int count, int i, int firstChannel, uint8_t mask,
               bool trailingComma, std::vector<uint8_t>& out) {
    if (i == count) {
        out.push_back(mask);
        return;
    }
    const bool last = i == count - 1;
    for (int c = firstChannel; c < CHANNEL_COUNT; c++) {
        if (CHANNEL_ROWS[c].unit != units[i])
            continue;
        // Channel 7 is the only one written without a "," after it: it ends a row that has no
        // trailing ",", and only it can.
        if ((c == CHANNEL_COUNT - 1) != (last && !trailingComma))
            continue;
        Enumerate(units, count, i + 1, c + 1, static_cast<uint8_t>(mask | (1u << c)),
                  trailingComma, out);
    }
}

// A number as ParseValue found it: "-12.75", "800".
double NumberValue(string_view s) {
    const bool negative = !s.empty() && s[0] == '-';
    double whole = 0;
    size_t i = negative ? 1 : 0;
    for (; i < s.size() && IsDigit(s[i]); i++)
        whole = whole * 10 + (s[i] - '0');
    if (i + 2 < s.size() && s[i] == '.')
        whole += ((s[i + 1] - '0') * 10 + (s[i + 2] - '0')) / 100.0;
    return negative ? -whole : whole;
}

} // namespace

const std::array<ChannelInfo, CHANNEL_COUNT> channelInfo = ChannelInfos();
const std::array<UnitInfo, UNIT_GROUP_COUNT> unitInfo = UnitInfos();

int ParseTime(string_view s, size_t* length) {
    size_t i = 0;
    int hour = 0;
    while (i < s.size() && i < 2 && IsDigit(s[i]))
        hour = hour * 10 + (s[i++] - '0');
    if (i == 0 || hour < 1 || hour > 12 || s.size() < i + 9)
        return -1;
    const string_view rest = s.substr(i, 9); // ":mm:ss AM"
    if (rest[0] != ':' || !IsDigit(rest[1]) || !IsDigit(rest[2]) || rest[3] != ':' ||
        !IsDigit(rest[4]) || !IsDigit(rest[5]) || rest[6] != ' ' ||
        (rest[7] != 'A' && rest[7] != 'P') || rest[8] != 'M')
        return -1;
    const int minutes = (rest[1] - '0') * 10 + (rest[2] - '0');
    const int seconds = (rest[4] - '0') * 10 + (rest[5] - '0');
    if (minutes > 59 || seconds > 59)
        return -1;
    *length = i + 9;
    const int hour24 = hour % 12 + (rest[7] == 'P' ? 12 : 0);
    return hour24 * 3600 + minutes * 60 + seconds;
}

bool ParseValue(string_view field, UnitGroupId* unit, string_view* number) {
    size_t i = 0;
    while (i < field.size() && field[i] == ' ')
        i++;
    const size_t start = i;
    if (i < field.size() && field[i] == '-')
        i++;
    const size_t digits = i;
    while (i < field.size() && IsDigit(field[i]))
        i++;
    if (i == digits)
        return false;
    bool decimals = false;
    if (i < field.size() && field[i] == '.') {
        if (i + 2 >= field.size() || !IsDigit(field[i + 1]) || !IsDigit(field[i + 2]))
            return false;
        decimals = true;
        i += 3;
    }
    // The longest number of a 16-bit reading has 9 characters ("-1310720", "26748.96").
    if (i >= field.size() || field[i] != ' ' || i - start >= VALUE_CHARS)
        return false;
    const string_view unitText = field.substr(i + 1);
    for (int u = 0; u < UNIT_GROUP_COUNT; u++) {
        if (unitText == unitInfo[u].logUnit) {
            // A whole unit is written without decimals, every other with two. A value beyond
            // any reading is no value Tarvex wrote, and the outputs could not scale it.
            if (decimals == UNITS[u].whole ||
                std::fabs(NumberValue(field.substr(start, i - start))) > unitInfo[u].limit + 0.005)
                return false;
            *unit = static_cast<UnitGroupId>(u);
            *number = field.substr(start, i - start);
            return true;
        }
    }
    return false;
}

std::vector<uint8_t> CandidateMasks(const UnitGroupId* units, int count, bool trailingComma) {
    std::vector<uint8_t> out;
    if (count == 0) {
        if (!trailingComma)
            out.push_back(0);
        return out;
    }
    Enumerate(units, count, 0, 0, 0, trailingComma, out);
    return out;
}

void LogReader::Feed(const char* data, size_t n) {
    while (n > 0 && verdict != NotTarvex) {
        const char* lf = static_cast<const char*>(std::memchr(data, '\n', n));
        const size_t length = lf ? static_cast<size_t>(lf - data) : n;
        const size_t used = lf ? length + 1 : n;
        if (!skipping && partial.size() + length > MAX_LINE)
            LongLine(string_view(data, length));
        if (skipping || !lf) {
            if (skipping)
                offset += used;
            else
                partial.append(data, n);
            skipping = skipping && !lf;
            data += used;
            n -= used;
            continue;
        }
        string_view line;
        if (partial.empty()) {
            line = string_view(data, length);
        } else {
            partial.append(data, length);
            line = partial;
        }
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lineNumber++;
        lineOffset = offset;
        offset += (partial.empty() ? 0 : partial.size() - length) + length + 1;
        Line(line, true);
        partial.clear();
        data += used;
        n -= used;
    }
}

// A line longer than any Tarvex writes is named and passed over to its end, never held whole; a
// row that it falls in is lost with it.
void LogReader::LongLine(string_view more) {
    lineNumber++;
    lineOffset = offset;
    offset += partial.size();
    partial.append(more.substr(0, 64)); // enough to show how it begins
    if (verdict == Unknown) {
        verdict = NotTarvex;
        Problem(lineNumber, "not a Tarvex log: its first line is longer than any of Tarvex's");
    } else {
        tooLong = tooLong || open == DataRow || open == HeaderRow;
        Problem(lineNumber, "a line longer than " + std::to_string(MAX_LINE) +
                                " bytes, left out: \"" + Shown(partial) + "\"");
    }
    partial.clear();
    skipping = true;
}

void LogReader::Finish() {
    if (!partial.empty() && verdict != NotTarvex) {
        string_view line = partial;
        if (line.back() == '\r')
            line.remove_suffix(1);
        lineNumber++;
        lineOffset = offset;
        offset += partial.size();
        Line(line, false);
    }
    if (verdict == Unknown) {
        verdict = NotTarvex;
        Problem(lineNumber, "not a Tarvex log: the file is empty");
    }
    if (verdict == NotTarvex)
        return;
    CloseRow(true);
    if (heldRows > 0)
        Resolve(-1, nullptr);
    if (!endSeen)
        Note("the log ends without \"Session ended\"");
    Flush();
}

void LogReader::Problem(uint64_t line, const std::string& what) { sink.OnProblem(line, what); }

void LogReader::Line(string_view s, bool terminated) {
    if (verdict == Unknown) {
        const bool start = StartsWith(s, START_TEXT) ||
                           (!terminated && !s.empty() && StartsWith(START_TEXT, s));
        if (!start) {
            verdict = NotTarvex;
            Problem(lineNumber, "not a Tarvex log: it does not begin with \"Starting ...\"");
            return;
        }
        verdict = Tarvex;
    }
    for (string_view prefix : DEBUG_PREFIXES) {
        if (StartsWith(s, prefix))
            return; // a debug line: it never closes a row that it broke
    }
    // The last text of a run that ended normally; it follows on whatever line came before it. A
    // later run that could not rename the log goes on after it, on a line of its own.
    bool ends = false;
    if (EndsWith(s, END_TEXT)) {
        ends = true;
        s.remove_suffix(END_TEXT.size());
    }
    for (bool more = true; more;) {
        more = false;
        for (string_view text : READER_TEXTS) {
            if (StartsWith(s, text)) {
                Note(std::string(text));
                s.remove_prefix(text.size());
                more = true;
            }
        }
        if (StartsWith(s, BAD_LENGTH) && s.size() >= BAD_LENGTH.size() + 3 &&
            HexByteText(s.substr(0, BAD_LENGTH.size() + 3), BAD_LENGTH)) {
            Note(std::string(s.substr(0, BAD_LENGTH.size() + 3)));
            s.remove_prefix(BAD_LENGTH.size() + 3);
            more = true;
        }
    }
    if (!s.empty() && !KnownText(s)) {
        size_t timeLength = 0;
        const int time = ParseTime(s, &timeLength);
        if (time >= 0) {
            CloseRow(false);
            int64_t clock = dayBase + time;
            if (haveClock && clock + 43200 < lastClock) { // the clock went past midnight
                dayBase += 86400;
                clock += 86400;
            }
            haveClock = true;
            lastClock = clock;
            lastTime.assign(s.data(), timeLength);
            StartRow(s.substr(timeLength), clock, terminated);
        } else if (open == DataRow || open == HeaderRow) {
            tooLong = tooLong || pieces.size() + s.size() > MAX_LINE;
            if (!tooLong)
                pieces.append(s);
            lastPieceLine = lineNumber;
            lastPieceTerminated = terminated;
        } else if (open != Identification) {
            // The last line of a log that was cut off may be the start of any text.
            Problem(lineNumber, (terminated ? "not a line of a Tarvex log: \""
                                            : "a cut line, left out: \"") + Shown(s) + "\"");
        }
        // An identification block's data is text from the ECU and may hold line ends of its own.
    }
    if (ends) {
        CloseRow(false);
        endSeen = true;
        linked = false; // the run's link ended with it, and was not lost
        Note(std::string(END_TEXT));
    }
}

bool LogReader::KnownText(string_view s) {
    if (s == START_TEXT) {
        endSeen = false; // a later run, in the same file
        Note(std::string(s));
        return true;
    }
    for (string_view prefix : START_UP_PREFIXES) {
        if (StartsWith(s, prefix)) {
            Note(Shown(s));
            return true;
        }
    }
    bool failure = HexByteText(s, BAD_BAUD);
    for (string_view text : ATTEMPT_FAILURES)
        failure = failure || s == text;
    const bool identification = StartsWith(s, IDENTIFICATION);
    const bool started = s == READER_STARTED;
    const bool connected = s == CONNECTED;
    if (!failure && !identification && !started && !connected)
        return false;
    CloseRow(false);
    if (linked) {
        linked = false;
        Note("link lost");
    }
    open = identification ? Identification : None;
    if (failure)
        Note("attempt failed: " + std::string(s));
    if (connected) {
        link++;
        linked = true;
        Note("connected");
    }
    return true;
}

void LogReader::StartRow(string_view s, int64_t clock, bool terminated) {
    open = !s.empty() && s[0] == ',' ? HeaderRow : DataRow;
    current = Row();
    current.line = lineNumber;
    current.offset = lineOffset;
    std::memcpy(current.time, lastTime.data(), lastTime.size());
    current.clock = clock;
    current.link = link;
    pieces.assign(s.data(), s.size());
    tooLong = false;
    lastPieceLine = lineNumber;
    lastPieceTerminated = terminated;
}

void LogReader::CloseRow(bool atEnd) {
    const Open was = open;
    if (was != DataRow && was != HeaderRow)
        return;
    open = None;
    // At the end of a log that was cut off the last row may be short of pieces, unless its last
    // piece is the log's last line and ended in the row's own line end.
    const bool maybeCut = atEnd && !(lastPieceLine == lineNumber && lastPieceTerminated);
    cutMessages = atEnd; // at the end, a row that does not read whole was cut
    if (tooLong) {
        Problem(current.line, "a row longer than " + std::to_string(MAX_LINE) + " bytes, left out");
        unplaced += was == DataRow;
        return;
    }
    if (was == HeaderRow) {
        if (pieces != HEADER_NAMES && !maybeCut)
            Problem(current.line, "a header row without the eight channel names");
        return;
    }
    Held& h = parsing;
    h.isRow = true;
    h.row = current;
    h.chosen = -1;
    if (!Parse(h, pieces)) {
        unplaced++;
        return;
    }
    if (maybeCut) {
        // All that was written is a whole row only if it is the row before once more.
        if (heldRows == 0 && havePrevMask && IsCandidate(h, prevMask)) {
            Assign(h, prevMask);
        } else {
            Problem(h.row.line, CUT);
            unplaced++;
        }
        return;
    }
    if (h.candidates.empty()) {
        Problem(h.row.line, cutMessages ? CUT : "a row whose values are not in channel order");
        unplaced++;
        return;
    }
    int mask = -1;
    if (h.candidates.size() == 1)
        mask = h.candidates[0];
    else // while rows wait, the row before is not known, and only the values can tell
        mask = Decide(h, heldRows == 0 && havePrevMask ? prevMask : -1, -1, nullptr, nullptr);
    if (mask < 0) {
        if (heldRows >= MAX_HELD_ROWS || held.size() >= MAX_QUEUED)
            Resolve(-1, nullptr);
        Push(held, true) = h;
        heldRows++;
        return;
    }
    if (heldRows > 0)
        Resolve(mask, &h);
    Assign(h, mask);
}

bool LogReader::Parse(Held& h, string_view text) {
    Row& row = h.row;
    if (text.empty() || text[0] != ' ') {
        Problem(row.line, cutMessages ? CUT : "a row without values: \"" + Shown(text) + "\"");
        return false;
    }
    string_view body = text.substr(1);
    const bool trailingComma = !body.empty() && body.back() == ',';
    if (trailingComma)
        body.remove_suffix(1);
    int count = 0;
    while (!body.empty() || (count == 0 && trailingComma)) {
        const size_t comma = body.find(',');
        const string_view field = body.substr(0, comma);
        if (count == CHANNEL_COUNT) {
            Problem(row.line, cutMessages ? CUT : "a row with more than eight values");
            return false;
        }
        string_view number;
        if (!ParseValue(field, &h.units[count], &number)) {
            Problem(row.line, cutMessages ? CUT : "a row with a field that is no value: \"" +
                                                      Shown(field) + "\"");
            return false;
        }
        // Until the row is placed, its numbers stand in field order.
        std::memcpy(row.text[count], number.data(), number.size());
        row.text[count][number.size()] = 0;
        h.values[count] = NumberValue(number);
        count++;
        if (comma == string_view::npos)
            break;
        body.remove_prefix(comma + 1);
        if (body.empty()) { // ",," or a "," before the trailing one
            Problem(row.line, cutMessages ? CUT : "a row with an empty field");
            return false;
        }
    }
    for (int i = count; i < CHANNEL_COUNT; i++)
        row.text[i][0] = 0;
    h.count = count;
    h.candidates = CandidateMasks(h.units, count, trailingComma);
    return true;
}

bool LogReader::IsCandidate(const Held& h, int mask) const {
    for (uint8_t c : h.candidates)
        if (c == mask)
            return true;
    return false;
}

// How far a set of channels puts the row's values from the channels' readings on either side,
// each in the span its unit is plotted over; negative when a channel has none. Only the fields
// that the other set gives to another channel count: the rest lie equally near in both, and a
// rev-up moving them all would drown the one field that tells the sets apart.
double LogReader::Distance(const Held& h, int mask, int other, const double* next,
                           const bool* haveNext) const {
    double sum = 0;
    for (int i = 0, c = 0, o = 0; i < h.count; i++, c++, o++) {
        while (!((mask >> c) & 1))
            c++;
        while (!((other >> o) & 1))
            o++;
        if (c == o)
            continue;
        double d = -1;
        if (haveValue[c])
            d = std::fabs(h.values[i] - lastValue[c]);
        if (haveNext && haveNext[c] && (d < 0 || std::fabs(h.values[i] - next[c]) < d))
            d = std::fabs(h.values[i] - next[c]);
        if (d < 0)
            return -1;
        sum += d / (UNITS[h.units[i]].max - UNITS[h.units[i]].min);
    }
    return sum;
}

// The set of channels of a row that its fields leave open: the one its values clearly continue;
// else the first preferred set (the rows' set around it) that the values do not clearly refuse.
int LogReader::Decide(const Held& h, int preferred, int fallback, const double* next,
                      const bool* haveNext) const {
    // Clearly nearer: by a factor of two and by more than a reading's step (1/500 of the span:
    // one degree F, 0.04 Volts).
    const auto clearlyNearer = [](double a, double b) { return a >= 0 && b >= 0 && a * 2 + 0.002 < b; };
    for (uint8_t a : h.candidates) {
        bool beatsAll = true;
        for (uint8_t b : h.candidates)
            beatsAll = beatsAll && (a == b || clearlyNearer(Distance(h, a, b, next, haveNext),
                                                            Distance(h, b, a, next, haveNext)));
        if (beatsAll)
            return a;
    }
    for (int mask : {preferred, fallback}) {
        if (mask < 0 || !IsCandidate(h, mask))
            continue;
        bool refused = false;
        for (uint8_t b : h.candidates)
            refused = refused || clearlyNearer(Distance(h, b, mask, next, haveNext),
                                               Distance(h, mask, b, next, haveNext));
        if (!refused)
            return mask;
    }
    return -1;
}

// The waiting rows, decided from the last back to the first, each by the rows after it (the row
// that ended the wait, given as anchor with its set, or none) and by the rows before them.
void LogReader::Resolve(int nextMask, const Held* anchor) {
    double next[CHANNEL_COUNT] = {};
    bool haveNext[CHANNEL_COUNT] = {};
    const auto take = [&](const Held& h, int mask) {
        for (int i = 0, c = 0; i < h.count; i++, c++) {
            while (!((mask >> c) & 1))
                c++;
            next[c] = h.values[i];
            haveNext[c] = true;
        }
    };
    if (anchor)
        take(*anchor, nextMask);
    for (size_t k = held.size(); k-- > 0;) {
        Held& h = held[k];
        if (!h.isRow)
            continue;
        h.chosen = Decide(h, nextMask, havePrevMask ? prevMask : -1, next, haveNext);
        if (h.chosen >= 0) {
            take(h, h.chosen);
            nextMask = h.chosen;
        }
    }
    std::vector<Held> waited;
    waited.swap(held);
    heldRows = 0;
    for (Held& h : waited) {
        if (!h.isRow) {
            Deliver(h.event, h.times);
        } else if (h.chosen >= 0) {
            Assign(h, h.chosen);
        } else {
            Problem(h.row.line, "a row whose values fit more than one set of channels");
            unplaced++;
        }
    }
    waited.clear();
    held.swap(waited); // keep the slots
}

void LogReader::Assign(Held& h, int mask) {
    Row& row = h.row;
    row.mask = static_cast<uint8_t>(mask);
    char numbers[CHANNEL_COUNT][VALUE_CHARS];
    std::memcpy(numbers, row.text, sizeof numbers);
    for (int c = 0; c < CHANNEL_COUNT; c++)
        row.text[c][0] = 0;
    for (int i = 0, c = 0; i < h.count; i++, c++) {
        while (!((mask >> c) & 1))
            c++;
        std::memcpy(row.text[c], numbers[i], VALUE_CHARS);
        row.value[c] = h.values[i];
        lastValue[c] = h.values[i];
        haveValue[c] = true;
    }
    prevMask = row.mask;
    havePrevMask = true;
    rows++;
    Emit(row);
}

void LogReader::Emit(const Row& given) {
    Row row = given;
    row.clock += clockShift;
    if (!haveFirst) {
        haveFirst = true;
        firstClock = row.clock;
    } else if (row.clock < lastRowClock) {
        // The computer's clock was set back (by hand, or at the end of summer time): the rows
        // after it go on from the last one, so that seconds never run backwards.
        Note("the clock went back " + std::to_string(lastRowClock - row.clock) + " s");
        clockShift += lastRowClock - row.clock;
        row.clock = lastRowClock;
    } else if (row.link == lastRowLink && row.clock - lastRowClock > GAP_SECONDS) {
        Note("gap: no rows for " + std::to_string(row.clock - lastRowClock) + " s");
    }
    lastRowClock = row.clock;
    lastRowLink = row.link;
    if (row.clock != pendingClock)
        Flush(); // the second before is over
    else if (pending.size() >= MAX_QUEUED)
        Flush(false);
    Push(pending, true).row = row;
    pendingRows++;
    pendingClock = row.clock;
}

void LogReader::Note(const std::string& what) {
    scratchEvent.line = lineNumber;
    scratchEvent.time = lastTime;
    scratchEvent.link = link;
    scratchEvent.what = what;
    Deliver(scratchEvent);
}

// An event goes after the rows before it: behind rows that wait for their channels, or for
// their second to end. A queue that is full ends the wait: the rows are decided by what came
// before them, or given out with the part of their second that is known.
void LogReader::Deliver(const Event& event, uint64_t times) {
    if (heldRows > 0 && held.size() >= MAX_QUEUED)
        Resolve(-1, nullptr);
    if (pendingRows > 0 && pending.size() >= MAX_QUEUED)
        Flush(false);
    if (heldRows > 0) {
        Queue(held, event, times);
    } else if (pendingRows > 0) {
        Queue(pending, event, times);
    } else {
        for (uint64_t k = 0; k < times; k++)
            sink.OnEvent(event);
    }
}

// The same event again (an attempt that keeps failing) adds to the count of the one before.
void LogReader::Queue(std::vector<Held>& queue, const Event& event, uint64_t times) {
    Held* last = queue.empty() ? nullptr : &queue.back();
    if (last && !last->isRow && last->event.what == event.what &&
        last->event.time == event.time && last->event.link == event.link) {
        last->times += times;
        return;
    }
    Held& h = Push(queue, false);
    h.event = event;
    h.times = times;
}

LogReader::Held& LogReader::Push(std::vector<Held>& queue, bool isRow) {
    queue.emplace_back();
    queue.back().isRow = isRow;
    return queue.back();
}

// A second in hand whole is spread by the order of its rows; one given out in parts (its queue
// filled) in steps of 1 ms, which never run back whatever the rest of it holds.
void LogReader::Flush(bool secondOver) {
    const bool whole = secondOver && givenOfSecond == 0;
    uint64_t i = 0;
    for (Held& item : pending) {
        if (item.isRow) {
            const double within =
                whole ? static_cast<double>(i) / static_cast<double>(pendingRows)
                      : static_cast<double>(std::min<uint64_t>(givenOfSecond + i, 999)) / 1000;
            i++;
            item.row.seconds = static_cast<double>(item.row.clock - firstClock) + within;
            sink.OnRow(item.row);
        } else {
            for (uint64_t k = 0; k < item.times; k++)
                sink.OnEvent(item.event);
        }
    }
    givenOfSecond = secondOver ? 0 : givenOfSecond + pendingRows;
    pending.clear();
    pendingRows = 0;
}

} // namespace tarvexlog
