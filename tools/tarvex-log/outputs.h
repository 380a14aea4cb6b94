// What tarvex-log makes of a log: the rows as CSV, the connection history as CSV, and a report.
#pragma once

#include "log_reader.h"

#include <cstdio>
#include <string>
#include <vector>

namespace tarvexlog {

// Says what could not be read, as "LOG:LINE: what", on standard error.
class ProblemPrinter : public LogSink {
public:
    explicit ProblemPrinter(const char* logName) : logName(logName) {}
    void OnProblem(uint64_t line, const std::string& what) override;

private:
    const char* logName;
};

// One CSV row (RFC 4180, CR LF) per data row: time, seconds, link, the eight channels.
class CsvWriter : public ProblemPrinter {
public:
    CsvWriter(std::FILE* out, const char* logName);
    void OnRow(const Row& row) override;

private:
    std::FILE* out;
};

// The connection history as CSV: time, link, what happened.
class EventWriter : public ProblemPrinter {
public:
    EventWriter(std::FILE* out, const char* logName);
    void OnEvent(const Event& event) override;

private:
    std::FILE* out;
};

// Gathers what the report shows: per channel its statistics and, for the charts, its minimum and
// maximum per time slot, the slots widening as the log goes on so that their number stays small
// however long the log is. The marks of gaps and new connections are merged per slot likewise.
class ReportBuilder : public ProblemPrinter {
public:
    static constexpr size_t MAX_SLOTS = 600;

    explicit ReportBuilder(const char* logName) : ProblemPrinter(logName) {}
    void OnRow(const Row& row) override;
    void Write(std::FILE* out, const std::string& title, uint64_t unplaced) const;

    struct Stats {
        uint64_t samples = 0;
        double min = 0, max = 0, sum = 0;
        std::string first, last; // time texts
    };
    struct Slot {
        uint8_t mask = 0;
        float min[CHANNEL_COUNT] = {}, max[CHANNEL_COUNT] = {};
    };
    using Span = std::pair<double, double>; // seconds from, to
    Stats stats[CHANNEL_COUNT];
    std::vector<Slot> slots;
    double slotSeconds = 0.5;
    double lastSeconds = -1;
    int lastLink = 0;
    std::vector<Span> linkStarts; // where a new connection's rows begin (from = to)
    std::vector<Span> gaps;       // stretches without rows
    uint64_t links = 0, gapCount = 0; // as they were, before the marks were merged
    uint64_t rows = 0;
    std::string firstTime;

private:
    void Mark(std::vector<Span>& marks, Span mark) const;
};

// A CSV field, quoted when it has to be.
std::string CsvField(const std::string& text);

} // namespace tarvexlog
