// tarvex-log: Tarvex.log as data for a spreadsheet, a plot or a comparison of runs.
//
//   tarvex-log csv LOG [-o FILE]       the data rows as CSV
//   tarvex-log events LOG [-o FILE]    the connection history as CSV
//   tarvex-log report LOG -o FILE.html one HTML file with a chart per unit and a table
//
// Exit status: 0 when the log was read (rows that could not be placed are reported on standard
// error and counted), 1 when the file cannot be read or is no Tarvex log, or the output cannot be
// written, 2 for a wrong command line.
#include "files.h"
#include "log_reader.h"
#include "outputs.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace tarvexlog;

namespace {

const char USAGE[] =
    "Usage: tarvex-log csv LOG [-o FILE]        the data rows as CSV\n"
    "       tarvex-log events LOG [-o FILE]     the connection history as CSV\n"
    "       tarvex-log report LOG -o FILE.html  a chart per unit and a table per channel\n";

// Streams the file through the reader; false when it cannot be read.
bool ReadLog(std::FILE* in, const std::string& name, LogReader& reader) {
    std::vector<char> buffer(1 << 20);
    size_t n;
    while (!reader.IsNoLog() && (n = std::fread(buffer.data(), 1, buffer.size(), in)) > 0)
        reader.Feed(buffer.data(), n);
    if (std::ferror(in)) {
        std::fprintf(stderr, "tarvex-log: cannot read %s\n", name.c_str());
        return false;
    }
    reader.Finish();
    return true;
}

// The report's title: the log's file name, without the folders of this computer.
std::string FileName(const std::string& path) {
#ifdef _WIN32
    const size_t cut = path.find_last_of("/\\:");
#else
    const size_t cut = path.find_last_of('/');
#endif
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

} // namespace

#ifdef _WIN32
// Wide arguments: a file name outside the ANSI code page opens too.
int wmain(int argc, wchar_t** argv) {
    const Path OPTION_O = L"-o";
#else
int main(int argc, char** argv) {
    const Path OPTION_O = "-o";
#endif
    Path output, log;
    std::string command;
    bool badArguments = false;
    for (int i = 1; i < argc; i++) {
        if (argv[i] == OPTION_O && i + 1 < argc)
            output = argv[++i];
        else if (command.empty())
            command = Utf8(argv[i]);
        else if (log.empty())
            log = argv[i];
        else
            badArguments = true;
    }
    if (badArguments || (command != "csv" && command != "events" && command != "report") ||
        log.empty()) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    const std::string logName = Utf8(log), outputName = Utf8(output);

    std::FILE* in = OpenLog(log);
    if (!in) {
        std::fprintf(stderr, "tarvex-log: cannot open %s: %s\n", logName.c_str(),
                     std::strerror(errno));
        return 1;
    }
    Output out;
    switch (out.Open(output, in)) {
    case Output::Opened:
        break;
    case Output::IsTheLog:
        std::fprintf(stderr, "tarvex-log: %s is the log itself: give another output\n",
                     output.empty() ? "standard output" : outputName.c_str());
        std::fclose(in);
        return 1;
    case Output::CannotWrite:
        std::fprintf(stderr, "tarvex-log: cannot write %s: %s\n", outputName.c_str(),
                     out.Error().c_str());
        std::fclose(in);
        return 1;
    }
    static char outBuffer[1 << 16];
    std::setvbuf(out.File(), outBuffer, _IOFBF, sizeof outBuffer);

    std::unique_ptr<LogSink> sink;
    ReportBuilder* report = nullptr;
    if (command == "csv") {
        sink = std::make_unique<CsvWriter>(out.File(), logName.c_str());
    } else if (command == "events") {
        sink = std::make_unique<EventWriter>(out.File(), logName.c_str());
    } else {
        auto builder = std::make_unique<ReportBuilder>(logName.c_str());
        report = builder.get();
        sink = std::move(builder);
    }
    LogReader reader(*sink);
    bool ok = ReadLog(in, logName, reader);
    std::fclose(in);
    if (ok && !reader.IsTarvexLog()) {
        std::fprintf(stderr, "tarvex-log: %s is no Tarvex log\n", logName.c_str());
        ok = false;
    }
    if (!ok) // an output that was there stays as it was
        return 1;
    if (report)
        report->Write(out.File(), FileName(logName), reader.UnplacedCount());
    if (!out.Commit()) {
        std::fprintf(stderr, "tarvex-log: cannot write %s: %s\n",
                     output.empty() ? "standard output" : outputName.c_str(), out.Error().c_str());
        return 1;
    }
    std::fprintf(stderr, "tarvex-log: %" PRIu64 " rows; rows that could not be placed: %" PRIu64 "\n",
                 reader.RowCount(), reader.UnplacedCount());
    return 0;
}
