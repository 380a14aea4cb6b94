// The reader against logs as Tarvex writes them: rows broken by debug lines, channels switched off,
// reconnections, midnight, and logs damaged every way a file can be.
#include "channels/channel_table.h"
#include "log_reader.h"
#include "outputs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

using namespace tarvexlog;
using Texts = std::vector<std::string>;

namespace {

const std::string START = "Starting ...\r\nRead Config file: COM1:\r\n\r\nCOM Opened\r\n";
const std::string CONNECT = "\r\nblockNumber 0 Type = F6 Length = 8 data 12345\r\nReader Thread Started"
                            "\r\nInitialised OK!\r\n";
const std::string NAMES = ",Intake Air Temp,Cylinder Head Temp,AFM Voltage,RPM,Injector Time,"
                          "Ignition Advance,MAF Sensor,Battery\r\n";
const std::string DEBUG = "\r\nRequest Block 5 Parameter = 2 vals 1 0 45\r\n"
                          "\r\nGetBlock returned block 6 blockNumber 2 Type FE\r\n";
const std::string ALL = " 32.65 F,89.00 F, 1.96 Volts,800 RPM, 2.55 ms,43.13 deg, 1.00 Volts,13.64 Volts";
const std::string ALL_CELLS = "32.65,89.00,1.96,800,2.55,43.13,1.00,13.64";

std::string LogRow(const std::string& time, const std::string& values = ALL) {
    return time + values + "\r\n";
}

// What the reader makes of a log: the CSV and event writers' lines (without their headers), and
// the rows and problems as the reader gave them.
struct Result : CsvWriter {
    Result(std::FILE* csvFile, std::FILE* eventFile)
        : CsvWriter(csvFile, "log"), eventWriter(eventFile, "log") {}
    void OnRow(const Row& row) override {
        rows.push_back(row);
        CsvWriter::OnRow(row);
    }
    void OnEvent(const Event& event) override { eventWriter.OnEvent(event); }
    void OnProblem(uint64_t line, const std::string& what) override {
        problems.push_back(std::to_string(line) + ": " + what);
    }
    EventWriter eventWriter;
    std::vector<Row> rows;
    Texts problems;
    std::string csv, events;
    bool tarvex = false;
};

// Everything written to a memory stream, once it is closed, without the writers' header line.
struct Memory {
    char* data = nullptr;
    size_t size = 0;
    std::FILE* file = open_memstream(&data, &size);
    std::string Text(bool withHeader = false) {
        std::fclose(file);
        std::string text(data, size);
        std::free(data);
        return withHeader ? text : text.substr(text.find("\r\n") + 2);
    }
};

// The log through the CSV writer and the event writer, fed in pieces of `chunk` bytes.
Result Read(const std::string& log, size_t chunk = 1 << 20) {
    Memory csv, events;
    Result result(csv.file, events.file);
    LogReader reader(result);
    for (size_t at = 0; at < log.size(); at += chunk)
        reader.Feed(log.data() + at, std::min(chunk, log.size() - at));
    reader.Finish();
    result.tarvex = reader.IsTarvexLog();
    EXPECT_LE(reader.UnplacedCount(), result.problems.size());
    result.csv = csv.Text();
    result.events = events.Text();
    return result;
}

// One problem line for each text, in order, holding it.
void ExpectProblems(const Texts& problems, const Texts& texts) {
    ASSERT_EQ(problems.size(), texts.size()) << (problems.empty() ? "" : problems[0]);
    for (size_t i = 0; i < texts.size(); i++)
        EXPECT_NE(problems[i].find(texts[i]), std::string::npos) << problems[i];
}

// The report of `log`, as the page it writes under `title`.
std::string ReportPage(ReportBuilder& report, const std::string& log, const char* title = "log") {
    LogReader reader(report);
    reader.Feed(log.data(), log.size());
    reader.Finish();
    Memory out;
    report.Write(out.file, title, 0);
    return out.Text(true);
}

std::string Lines(std::initializer_list<std::string> lines) {
    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";
    return text;
}

// `count` texts made by `make` from 0, 1, ...
template <typename Make> std::string Repeat(size_t count, Make make) {
    std::string text;
    for (size_t i = 0; i < count; i++)
        text += make(i);
    return text;
}

} // namespace

// Each value lands in its channel's column, whatever broke the row and whichever channels were
// off; where the row leaves a choice the rows before it decide, and where they cannot, the row is
// reported instead of guessed.
TEST(LogReader, PlacesEveryValueInItsColumnOrNowhere) {
    const std::string head = START + CONNECT + "7:00:00 PM" + NAMES;
    struct Case {
        const char* what;
        std::string rows;
        std::string csv;
        Texts problems; // a text each problem line must hold, in order
    } cases[] = {
        {"broken by debug lines after the time, after the space, before and after a comma",
         "7:00:01 PM" + DEBUG + " " + DEBUG + "32.65 F" + DEBUG + "," + "89.00 F," +
             "\r\nWrong title!" + " 1.96 Volts,800 RPM, 2.55 ms,43.13 deg, 1.00 Volts,13.64 Volts" +
             DEBUG + "\r\n",
         Lines({"7:00:01 PM,0,1," + ALL_CELLS}), {}},
        {"channel 1 off: the temperature continues channel 0's",
         LogRow("7:00:01 PM") + LogRow("7:00:02 PM", " 33.00 F, 1.96 Volts,800 RPM, 2.55 ms,43.13 deg, 1.00 Volts,13.64 Volts"),
         Lines({"7:00:01 PM,0,1," + ALL_CELLS, "7:00:02 PM,1,1,33.00,,1.96,800,2.55,43.13,1.00,13.64"}), {}},
        {"channel 6 alone, then a value as near to channel 2's: the channel set goes on",
         LogRow("7:00:01 PM") + LogRow("7:00:02 PM", "  1.02 Volts,") + LogRow("7:00:03 PM", "  1.50 Volts,"),
         Lines({"7:00:01 PM,0,1," + ALL_CELLS, "7:00:02 PM,1,1,,,,,,,1.02,", "7:00:03 PM,2,1,,,,,,,1.50,"}), {}},
        {"a value of two channels with nothing before it to choose by",
         LogRow("7:00:01 PM", "  1.02 Volts,") + LogRow("7:00:02 PM", " -0.02 Volts,800 RPM,12.00 Volts"),
         Lines({"7:00:02 PM,0,1,,,-0.02,800,,,,12.00"}), {"10: a row whose values fit more than one set"}},
        {"equal values of both candidates, after a row the set of which is not one of them",
         LogRow("7:00:01 PM", " 32.65 F,89.00 F, 1.00 Volts,800 RPM, 2.55 ms,43.13 deg, 1.00 Volts,13.64 Volts") +
             LogRow("7:00:02 PM", "  1.00 Volts,"),
         Lines({"7:00:01 PM,0,1,32.65,89.00,1.00,800,2.55,43.13,1.00,13.64"}), {"11: a row whose values fit"}},
        {"values out of channel order, a field that is no value, nine fields, an empty field",
         LogRow("7:00:01 PM", " 800 RPM,32.65 F,") + LogRow("7:00:02 PM", " 32.65 F,hot,") +
             LogRow("7:00:03 PM", ALL + ",1.00 Volts") + LogRow("7:00:04 PM", " 32.65 F,,") +
             LogRow("7:00:05 PM", "32.65F,") + LogRow("7:00:06 PM", " 800.00 RPM,") +
             LogRow("7:00:07 PM", "  2.5 ms,") + LogRow("7:00:08 PM", " 32.65 F") +
             LogRow("7:00:09 PM", " 12345678901234567.00 F,") +
             LogRow("7:00:10 PM", " 32.65 \xB0" "F,") + // bytes of no text, shown escaped
             "Device not responding\r\n\x01garbage\xFF\r\n",
         "",
         {"10: a row whose values are not in channel order", "11: a row with a field that is no value: \"hot\"",
          "12: a row with more than eight values", "13: a row with an empty field",
          "14: a row without values", "15: a row with a field that is no value: \"800.00 RPM\"",
          "16: a row with a field that is no value", "17: a row whose values are not in channel order",
          "18: a row with a field that is no value",
          "19: a row with a field that is no value: \"32.65 \\xB0F\"",
          "21: not a line of a Tarvex log: \"\\x01garbage\\xFF\""}},
        {"a text shortened for a message ends in \"...\", escapes and all",
         LogRow("7:00:01 PM", " " + std::string(20, '\xB0') + ","), "",
         {"10: a row with a field that is no value: \"" +
          Repeat(15, [](size_t) { return std::string("\\xB0"); }) + "...\""}},
        {"the farthest readings of each unit are values, a step beyond them none",
         LogRow("7:00:01 PM", " -37709.20 F,37656.05 F,-642.51 Volts,-1310720 RPM,-1638.40 ms,"
                              "26748.79 deg,642.49 Volts,-22.35 Volts") +
             LogRow("7:00:02 PM", " -37709.21 F,") + LogRow("7:00:03 PM", " 642.52 Volts,") +
             LogRow("7:00:04 PM", " 1310721 RPM,") + LogRow("7:00:05 PM", " -1638.41 ms,") +
             LogRow("7:00:06 PM", " 26748.80 deg,") + LogRow("7:00:07 PM", " 999999999999999 RPM,"),
         Lines({"7:00:01 PM,0,1,-37709.20,37656.05,-642.51,-1310720,-1638.40,26748.79,642.49,-22.35"}),
         {"11: a row with a field that is no value: \"-37709.21 F\"",
          "12: a row with a field that is no value: \"642.52 Volts\"",
          "13: a row with a field that is no value: \"1310721 RPM\"",
          "14: a row with a field that is no value: \"-1638.41 ms\"",
          "15: a row with a field that is no value: \"26748.80 deg\"",
          "16: a row with a field that is no value: \"999999999999999 RPM\""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Result r = Read(head + c.rows + "Session ended");
        EXPECT_EQ(r.csv, c.csv);
        ExpectProblems(r.problems, c.problems);
    }
}

// The time column counts from the first row, rows of one second spread by their order, across
// midnight and when the clock is set back; each connection is a link of its own; the events tell
// the connection history.
TEST(LogReader, SecondsLinksAndEvents) {
    const std::string log = START + "\r\nDevice not responding" + CONNECT + "11:59:58 PM" + NAMES +
                            LogRow("11:59:59 PM") + LogRow("11:59:59 PM") + LogRow("12:00:00 AM") +
                            "\r\nWrong title!" + LogRow("12:00:00 AM") + LogRow("12:00:00 AM") +
                            LogRow("12:00:04 AM") + "\r\nIncorrect baudrate = 55h" + "\r\nAnswer not 0x0B" +
                            CONNECT + "12:00:09 AM" + NAMES + LogRow("12:00:10 AM") + LogRow("12:00:07 AM") +
                            "Session ended";
    const Result r = Read(log);
    EXPECT_TRUE(r.problems.empty());
    EXPECT_EQ(r.csv, Lines({"11:59:59 PM,0,1," + ALL_CELLS, "11:59:59 PM,0.5,1," + ALL_CELLS,
                            "12:00:00 AM,1,1," + ALL_CELLS, "12:00:00 AM,1.333,1," + ALL_CELLS,
                            "12:00:00 AM,1.667,1," + ALL_CELLS, "12:00:04 AM,5,1," + ALL_CELLS,
                            "12:00:10 AM,11,2," + ALL_CELLS, "12:00:07 AM,11.5,2," + ALL_CELLS}));
    EXPECT_EQ(r.events, Lines({",0,Starting ...", ",0,Read Config file: COM1:", ",0,COM Opened",
                               ",0,attempt failed: Device not responding", ",1,connected",
                               "12:00:00 AM,1,Wrong title!", "12:00:04 AM,1,gap: no rows for 4 s",
                               "12:00:04 AM,1,link lost",
                               "12:00:04 AM,1,attempt failed: Incorrect baudrate = 55h",
                               "12:00:04 AM,1,attempt failed: Answer not 0x0B",
                               "12:00:04 AM,2,connected", "12:00:07 AM,2,the clock went back 3 s",
                               "12:00:07 AM,2,Session ended"}));
}

// A run whose start could not rename the earlier log goes on at its end, on a line of its own:
// both runs read as one history, the second run's rows in links of their own.
TEST(LogReader, ARunAppendedToTheEarlierOneReadsOn) {
    const std::string first = START + CONNECT + "7:00:00 PM" + NAMES + LogRow("7:00:01 PM") +
                              "Session ended";
    const std::string second = "\r\nStarting ...\r\nThe earlier Tarvex.log could not be renamed: "
                               "this run goes on at its end\r\nRead Config file: COM1:\r\n\r\n"
                               "COM Opened\r\n" + CONNECT + "7:05:00 PM" + NAMES +
                               LogRow("7:05:01 PM");
    const Result r = Read(first + second + "Session ended");
    EXPECT_TRUE(r.problems.empty()) << r.problems[0];
    EXPECT_EQ(r.csv, Lines({"7:00:01 PM,0,1," + ALL_CELLS, "7:05:01 PM,300,2," + ALL_CELLS}));
    EXPECT_EQ(r.events.substr(r.events.find("7:00:01 PM,1,Session ended")),
              Lines({"7:00:01 PM,1,Session ended", "7:00:01 PM,1,Starting ...",
                     "7:00:01 PM,1,The earlier Tarvex.log could not be renamed: this run goes o...",
                     "7:00:01 PM,1,Read Config file: COM1:", "7:00:01 PM,1,COM Opened",
                     "7:00:01 PM,2,connected", "7:05:01 PM,2,Session ended"}));
    const Result cut = Read(first + second);
    EXPECT_NE(cut.events.find("the log ends without"), std::string::npos)
        << "the second run, cut off, did not end" << cut.events;
}

// A log cut off at any byte (Tarvex killed) gives the rows written in full and at most the last
// one if it is whole; a cut row is reported, never invented. Line ends of LF alone, and any
// chunking of the input, read the same.
TEST(LogReader, DamagedLogs) {
    std::string log = START + CONNECT + "7:00:00 PM" + NAMES;
    std::vector<size_t> starts, ends; // of the rows
    for (const std::string& row : {
             "7:00:01 PM" + DEBUG + ALL + DEBUG + "\r\n",
             "7:00:01 PM 32.65 F" + DEBUG +
                 ",89.00 F, 1.96 Volts,800 RPM, 2.55 ms,43.13 deg, 1.00 Volts,\r\n",
             "7:00:02 PM 13.60 Volts\r\n" + DEBUG,
             "7:00:02 PM 89.50 F" + DEBUG + ",800 RPM,13.64 Volts\r\n",
         }) {
        starts.push_back(log.size());
        log += row;
        ends.push_back(log.size());
    }
    log += "Session ended";
    const Result whole = Read(log);
    ASSERT_TRUE(whole.problems.empty());
    ASSERT_EQ(whole.rows.size(), 4u);

    for (size_t cut = 0; cut < log.size(); cut++) {
        SCOPED_TRACE("cut at byte " + std::to_string(cut));
        const Result r = Read(log.substr(0, cut), 4096);
        EXPECT_EQ(r.tarvex, cut > 0);
        const size_t written = std::upper_bound(ends.begin(), ends.end(), cut) - ends.begin();
        const size_t begun = std::lower_bound(starts.begin(), starts.end(), cut) - starts.begin();
        // A last row whose end cannot be proven (its line end looks like a debug line's) may be
        // left out too; whatever is given is the full log's.
        const size_t m = r.rows.size();
        EXPECT_EQ(r.csv, whole.csv.substr(0, r.csv.size()));
        EXPECT_GE(m + 1, written);
        EXPECT_LE(m, begun);
        if (m < begun && cut > starts[begun - 1] + 10) {
            ASSERT_FALSE(r.problems.empty());
            EXPECT_NE(r.problems.back().find("a cut row, left out"), std::string::npos)
                << r.problems.back();
        }
        if (cut == 0) {
            EXPECT_EQ(r.problems, Texts{"0: not a Tarvex log: the file is empty"});
        }
        for (const std::string& problem : cut > 0 ? r.problems : Texts())
            EXPECT_NE(problem.find("cut"), std::string::npos) << problem;
    }

    std::string lf; // the log's only CRs are those of its line ends
    std::remove_copy(log.begin(), log.end(), std::back_inserter(lf), '\r');
    EXPECT_EQ(Read(lf).csv, whole.csv);
    EXPECT_EQ(Read(log, 1).csv, whole.csv);
    EXPECT_EQ(Read(log, 7).events, whole.events);

    EXPECT_EQ(Read("hello\r\nSession ended").problems,
              Texts{"1: not a Tarvex log: it does not begin with \"Starting ...\""});
    // The identification's data is the ECU's text: whatever bytes it holds are no problem.
    EXPECT_TRUE(Read(START + "\r\nblockNumber 0 Type = F6 Length = 9 data \xE9\r\n7:00:01 PM 13.60 Volts" +
                     CONNECT + "Session ended")
                    .problems.empty());
}

// Whatever the log holds, the reader holds a bounded part of it: a line longer than any of
// Tarvex's is named and passed over (a row it falls in is lost, never guessed), and so is a row
// of too many pieces; the rows of a second and the events between them wait in a queue of bounded
// length, a repeated event as one entry, and nothing is lost or reordered when the queue is full.
TEST(LogReader, LongLinesAndFloodsStayBounded) {
    const std::string head = START + CONNECT + "7:00:00 PM" + NAMES;
    const std::string events = Lines({",0,Starting ...", ",0,Read Config file: COM1:",
                                      ",0,COM Opened", ",1,connected"});
    const std::string longLine = std::string(5000, '7') + "\r\n";
    const std::string shownLong = "left out: \"" + std::string(60, '7') + "...\"";
    static const std::string FAILURES[] = {"Device not responding", "Cannot Set State"};
    struct Case {
        const char* what;
        std::string log;
        std::string csv;
        Texts problems;          // a text each problem line must hold, in order
        std::string events = ""; // unless empty, the events in full
    } cases[] = {
        {"a long line between rows, in any chunks; the lines after it counted on",
         head + LogRow("7:00:01 PM") + "Device not responding\r\n" + longLine +
             LogRow("7:00:02 PM") + LogRow("7:00:03 PM", " hot,") + "Session ended",
         Lines({"7:00:01 PM,0,1," + ALL_CELLS, "7:00:02 PM,1,1," + ALL_CELLS}),
         {"12: a line longer than 4096 bytes, " + shownLong, "14: a row with a field that is no value"}},
        {"a long line in a row loses the row; so do pieces that add up to more than a line",
         head + "7:00:01 PM 32.65 F" + DEBUG + longLine + ",89.00 F\r\n" + "7:00:02 PM" +
             Repeat(500, [](size_t) { return std::string("\r\n 32.65 F,"); }) + "\r\n" +
             LogRow("7:00:03 PM") + "Session ended",
         Lines({"7:00:03 PM,0,1," + ALL_CELLS}),
         {"14: a line longer than 4096 bytes", "10: a row longer than 4096 bytes, left out",
          "16: a row longer than 4096 bytes, left out"}},
        {"a first line too long for Tarvex's: no log, whatever follows",
         "Starting ..." + longLine + head + LogRow("7:00:01 PM"), "",
         {"1: not a Tarvex log: its first line is longer than any of Tarvex's"}},
        {"2500 rows in one second: the first 1000 a millisecond apart, the rest at the last one",
         head + Repeat(2500, [](size_t) { return LogRow("7:00:01 PM"); }) + LogRow("7:00:02 PM") +
             "Session ended",
         Repeat(2500, [](size_t i) {
             std::string ms = std::to_string(1000 + std::min<size_t>(i, 999)).substr(1);
             ms.erase(ms.find_last_not_of('0') + 1); // as the CSV writes seconds: "0", "0.01"
             return "7:00:01 PM," + (ms.empty() ? "0" : "0." + ms) + ",1," + ALL_CELLS + "\r\n";
         }) + Lines({"7:00:02 PM,1,1," + ALL_CELLS}),
         {}},
        {"a row that the rows after it would place waits through 1000 events at most",
         head + LogRow("7:00:01 PM", "  1.02 Volts,") +
             Repeat(3000, [](size_t i) { return Lines({FAILURES[i % 2]}); }) + LogRow("7:00:02 PM") +
             "Session ended",
         Lines({"7:00:02 PM,0,1," + ALL_CELLS}), {"10: a row whose values fit more than one set"}},
        {"3000 events between two rows of one second, then one event 5000 times",
         head + LogRow("7:00:01 PM") + Repeat(3000, [](size_t i) { return Lines({FAILURES[i % 2]}); }) +
             LogRow("7:00:01 PM") + Repeat(5000, [](size_t) { return Lines({FAILURES[0]}); }) +
             LogRow("7:00:02 PM") + "Session ended",
         Lines({"7:00:01 PM,0,1," + ALL_CELLS, "7:00:01 PM,0.001,1," + ALL_CELLS,
                "7:00:02 PM,1,1," + ALL_CELLS}),
         {},
         events + Lines({"7:00:01 PM,1,link lost"}) +
             Repeat(3000, [](size_t i) { return Lines({"7:00:01 PM,1,attempt failed: " + FAILURES[i % 2]}); }) +
             Repeat(5000, [](size_t) { return Lines({"7:00:01 PM,1,attempt failed: " + FAILURES[0]}); }) +
             Lines({"7:00:02 PM,1,Session ended"})},
    };
    for (const Case& c : cases) {
        for (size_t chunk : {size_t(1) << 20, size_t(4096), size_t(7)}) {
            SCOPED_TRACE(std::string(c.what) + ", in pieces of " + std::to_string(chunk));
            const Result r = Read(c.log, chunk);
            EXPECT_EQ(r.csv, c.csv);
            if (!c.events.empty()) {
                EXPECT_EQ(r.events, c.events);
            }
            ExpectProblems(r.problems, c.problems);
        }
    }
}

// However long the log, the report keeps a bounded number of slots, and each slot keeps the
// extremes of what fell in it; gaps and new connections are marked once per slot at most, and
// counted in full.
TEST(LogReader, ReportKeepsExtremesInFewSlots) {
    std::string log = START + CONNECT + "1:00:00 PM" + NAMES;
    for (int s = 0; s < 3600; s += s == 999 ? 11 : 1) { // paused from 1000 to 1010
        char time[16];
        std::snprintf(time, sizeof time, "1:%02d:%02d PM", s / 60, s % 60);
        const std::string rpm = s == 2345 ? "6520 RPM" : "800 RPM";
        if (s == 3000)
            log += "\r\nDevice not responding" + CONNECT + time + NAMES;
        log += LogRow(time, " 32.65 F,89.00 F, 1.96 Volts," + rpm + ", 2.55 ms,43.13 deg, 1.00 Volts,13.64 Volts");
    }
    ReportBuilder report("log");
    const std::string html = ReportPage(report, log);
    EXPECT_LE(report.slots.size(), ReportBuilder::MAX_SLOTS);
    EXPECT_GE(report.slots.size(), ReportBuilder::MAX_SLOTS / 2);
    EXPECT_EQ(std::max_element(report.slots.begin(), report.slots.end(), [](auto& a, auto& b) {
                  return a.max[3] < b.max[3];
              })->max[3], 6520.0f);
    EXPECT_EQ(report.linkStarts.size(), 1u);
    ASSERT_EQ(report.gaps.size(), 2u);
    EXPECT_EQ(report.gaps[0], std::make_pair(999.0, 1010.0));
    EXPECT_LT(html.size(), 200000u);
    EXPECT_NE(html.find("<td style=\"color:#0000FF\">RPM (RPM)</td><td>3590</td><td>800</td><td>6520</td>"
                        "<td>801.59</td><td>1:00:00 PM</td><td>1:59:59 PM</td>"),
              std::string::npos);
    EXPECT_EQ(html.find("<script"), std::string::npos);

    // Ten hours with a gap every ten seconds and a new connection every hundred.
    std::string gaps = START + CONNECT + "1:00:00 PM" + NAMES;
    for (int s = 0; s < 36000; s += s % 10 == 6 ? 4 : 1) {
        char time[16];
        std::snprintf(time, sizeof time, "%d:%02d:%02d PM", 1 + s / 3600, s / 60 % 60, s % 60);
        if (s % 100 == 0 && s > 0)
            gaps += "\r\nDevice not responding" + CONNECT;
        gaps += LogRow(time);
    }
    ReportBuilder marked("log");
    const std::string markedHtml = ReportPage(marked, gaps);
    EXPECT_LE(marked.gaps.size(), ReportBuilder::MAX_SLOTS);
    EXPECT_LE(marked.linkStarts.size(), ReportBuilder::MAX_SLOTS);
    EXPECT_LT(markedHtml.size(), 1000000u); // a mark per slot at most: some 300 kB
    EXPECT_NE(markedHtml.find("360 connections, 3599 gaps without rows"), std::string::npos);
}

// The report's title is the page's only text from outside the log: a file name, which may hold
// markup, bytes of no UTF-8 and control bytes. The page is UTF-8 whatever it holds.
TEST(LogReader, ReportTitleIsValidUtf8) {
    const struct {
        const char* title;
        const char* shown;
    } cases[] = {
        {"drive.log", "drive.log"},
        {"<b>&\"x\".log", "&lt;b&gt;&amp;&quot;x&quot;.log"},
        {"caf\xC3\xA9 \xF0\x9F\x9A\x97.log", "caf\xC3\xA9 \xF0\x9F\x9A\x97.log"}, // é and a car
        {"caf\xE9.log", "caf\xEF\xBF\xBD.log"},                         // Latin-1
        {"\xC0\xAF.log", "\xEF\xBF\xBD\xEF\xBF\xBD.log"},                // overlong "/"
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},         // a surrogate
        {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}, // past U+10FFFF
        {"cut\xE2\x82", "cut\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\x1B[31mred", "\xEF\xBF\xBD[31mred"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        ReportBuilder report("log");
        const std::string html = ReportPage(report, "", c.title);
        EXPECT_NE(html.find("<title>" + std::string(c.shown) + "</title>"), std::string::npos);
        EXPECT_NE(html.find("<h1 style=\"font-size:18px\">" + std::string(c.shown) + "</h1>"),
                  std::string::npos);
    }
}

// Logs of the real Tarvex.exe under Wine against the simulated ECU, with the channel sets the
// recording run switched (tests/data/README): every row is placed, each with the set it was
// written with. Tarvex writes each row whole, so a run killed at any moment leaves none cut.
TEST(LogReader, RecordedLogsMatchTheirTruth) {
    const struct {
        const char* name;
        Texts history; // the events, in order
    } cases[] = {
        {"switching", {"connected", "Session ended"}},
        // The pause as a gap, the lost link, the reconnection, the end.
        {"session",
         {"connected", "gap: no rows", "link lost", "attempt failed", "connected",
          "Session ended"}},
        {"killed", {"connected", "the log ends without"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string base = std::string(TARVEX_LOG_DATA) + "/" + c.name;
        std::ifstream logFile(base + ".log", std::ios::binary), truthFile(base + ".truth");
        ASSERT_TRUE(logFile && truthFile);
        const std::string log((std::istreambuf_iterator<char>(logFile)), std::istreambuf_iterator<char>());
        std::map<uint64_t, int> truth; // "OFFSET MASK" lines: the channel set from OFFSET on
        for (std::string line; std::getline(truthFile, line);) {
            unsigned long long offset;
            char mask[9];
            if (std::sscanf(line.c_str(), "%llu %8s", &offset, mask) == 2)
                for (int ch = 0; ch < CHANNEL_COUNT; ch++)
                    truth[offset] |= (mask[ch] == '1') << ch;
        }
        const Result r = Read(log);
        for (const Row& row : r.rows)
            EXPECT_EQ(row.mask, std::prev(truth.upper_bound(row.offset))->second)
                << "row at line " << row.line;
        size_t rowStarts = 0; // lines that begin with a time and a space
        for (size_t at = log.find('\n'); at != std::string::npos; at = log.find('\n', at + 1)) {
            size_t length = 0;
            rowStarts += ParseTime(std::string_view(log).substr(at + 1, 20), &length) >= 0 &&
                         log[at + 1 + length] == ' ';
        }
        EXPECT_EQ(r.rows.size(), rowStarts);
        EXPECT_EQ(r.problems, Texts());
        size_t at = 0;
        for (const std::string& event : c.history) {
            at = r.events.find(event, at);
            ASSERT_NE(at, std::string::npos) << event << " in " << r.events;
        }
    }
}
