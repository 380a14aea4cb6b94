// tarvex-log: Tarvex.log as data for a spreadsheet, a plot or a comparison of runs.
//
//   tarvex-log csv LOG [-o FILE]       the data rows as CSV
//   tarvex-log events LOG [-o FILE]    the connection history as CSV
//   tarvex-log report LOG -o FILE.html one HTML file with a chart per unit and a table
//   tarvex-log LOG                     both, as LOG's name with .csv and .html, beside it
//
// The last form is what Explorer runs for a log dropped on tarvex-log.exe. It never replaces a
// file: when NAME.csv or NAME.html is there already, the two are NAME-2.csv and NAME-2.html, or
// the next number that is free for both. In a console window of its own, which would close with
// the program, tarvex-log waits for a key before it ends.
//
// Exit status: 0 when the log was read (rows that could not be placed are reported on standard
// error and counted), 1 when the file cannot be read or is no Tarvex log, or the output cannot be
// written, 2 for a wrong command line.
#include "console.h"
#include "files.h"
#include "log_reader.h"
#include "outputs.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

using namespace tarvexlog;

namespace {

const char USAGE[] =
    "Usage: tarvex-log csv LOG [-o FILE]        the data rows as CSV\n"
    "       tarvex-log events LOG [-o FILE]     the connection history as CSV\n"
    "       tarvex-log report LOG -o FILE.html  a chart per unit and a table per channel\n"
    "       tarvex-log LOG                      the CSV and the report beside LOG (or drop\n"
    "                                           LOG on tarvex-log.exe)\n";

// Streams the file through the reader; false, and says why, when it cannot be read or is no
// Tarvex log.
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
    if (!reader.IsTarvexLog()) {
        std::fprintf(stderr, "tarvex-log: %s is no Tarvex log\n", name.c_str());
        return false;
    }
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

// The rows to the CSV and the report at once, for a log that is read once for both.
class CsvAndReport : public LogSink {
public:
    CsvAndReport(std::FILE* csvOut, const char* logName) : csv(csvOut, logName), report(logName) {}
    void OnRow(const Row& row) override {
        csv.OnRow(row);
        report.OnRow(row);
    }
    void OnProblem(uint64_t line, const std::string& what) override { csv.OnProblem(line, what); }

    CsvWriter csv;
    ReportBuilder report;
};

// tarvex-log LOG: NAME.csv and NAME.html beside the log, under the first number that leaves
// every file there as it was.
int ConvertBeside(const Path& log) {
    const std::string logName = Utf8(log);
    int n = 1;
    while (n < 1000 && (Exists(Beside(log, n, ".csv")) || Exists(Beside(log, n, ".html"))))
        n++;
    const Path csvPath = Beside(log, n, ".csv"), htmlPath = Beside(log, n, ".html");
    const std::string csvName = Utf8(csvPath), htmlName = Utf8(htmlPath);

    std::FILE* in = OpenLog(log);
    if (!in) {
        std::fprintf(stderr, "tarvex-log: cannot open %s: %s\n", logName.c_str(),
                     std::strerror(errno));
        return 1;
    }
    Output csvOut, htmlOut;
    for (auto [out, path, name] : {std::tie(csvOut, csvPath, csvName),
                                   std::tie(htmlOut, htmlPath, htmlName)}) {
        if (out.Open(path, in, false) != Output::Opened) {
            std::fprintf(stderr, "tarvex-log: cannot write %s: %s\n", name.c_str(),
                         out.Error().c_str());
            std::fclose(in);
            return 1;
        }
    }
    static char outBuffer[1 << 16];
    std::setvbuf(csvOut.File(), outBuffer, _IOFBF, sizeof outBuffer);

    CsvAndReport sink(csvOut.File(), logName.c_str());
    LogReader reader(sink);
    const bool ok = ReadLog(in, logName, reader);
    std::fclose(in);
    if (!ok)
        return 1;
    sink.report.Write(htmlOut.File(), FileName(logName), reader.UnplacedCount());
    for (auto [out, name] : {std::tie(csvOut, csvName), std::tie(htmlOut, htmlName)}) {
        if (!out.Commit()) {
            std::fprintf(stderr, "tarvex-log: cannot write %s: %s\n", name.c_str(),
                         out.Error().c_str());
            return 1;
        }
    }
    std::fprintf(stderr, "tarvex-log: %" PRIu64 " rows; rows that could not be placed: %" PRIu64 "\n",
                 reader.RowCount(), reader.UnplacedCount());
    std::fprintf(stderr, "tarvex-log: wrote %s (the rows, for a spreadsheet)\n", csvName.c_str());
    std::fprintf(stderr, "tarvex-log: wrote %s (charts and tables, for a browser)\n",
                 htmlName.c_str());
    if (n > 1)
        std::fprintf(stderr, "tarvex-log: %s or %s was there already, and is left as it was\n",
                     FileName(Utf8(Beside(log, 1, ".csv"))).c_str(),
                     FileName(Utf8(Beside(log, 1, ".html"))).c_str());
    return 0;
}

#ifdef _WIN32
using Arg = wchar_t*;
const Path OPTION_O = L"-o";
#else
using Arg = char*;
const Path OPTION_O = "-o";
#endif

int Run(int argc, Arg* argv) {
    if (argc == 2 && IsFile(argv[1]))
        return ConvertBeside(argv[1]);
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
    const bool ok = ReadLog(in, logName, reader);
    std::fclose(in);
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

} // namespace

#ifdef _WIN32
// Wide arguments: a file name outside the ANSI code page opens too.
int wmain(int argc, wchar_t** argv) {
#else
int main(int argc, char** argv) {
#endif
    const int status = Run(argc, argv);
    if (ConsoleIsOwn()) // started from Explorer: what was said stays up until it is read
        WaitForKey();
    return status;
}
