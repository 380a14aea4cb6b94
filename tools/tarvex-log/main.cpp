// tarvex-log: Tarvex.log as data for a spreadsheet, a plot or a comparison of runs.
//
//   tarvex-log csv LOG [-o FILE]       the data rows as CSV
//   tarvex-log events LOG [-o FILE]    the connection history as CSV
//   tarvex-log report LOG -o FILE.html one HTML file with a chart per unit and a table
//
// Exit status: 0 when the log was read (rows that could not be placed are reported on standard
// error and counted), 1 when the file cannot be read or is no Tarvex log, or the output cannot be
// written, 2 for a wrong command line.
#include "log_reader.h"
#include "outputs.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

using namespace tarvexlog;

namespace {

const char USAGE[] =
    "Usage: tarvex-log csv LOG [-o FILE]        the data rows as CSV\n"
    "       tarvex-log events LOG [-o FILE]     the connection history as CSV\n"
    "       tarvex-log report LOG -o FILE.html  a chart per unit and a table per channel\n";

// Streams the file through the reader; false when it cannot be read.
bool ReadLog(const char* path, LogReader& reader) {
    std::FILE* in = std::fopen(path, "rb");
    if (!in) {
        std::fprintf(stderr, "tarvex-log: cannot open %s: %s\n", path, std::strerror(errno));
        return false;
    }
    std::vector<char> buffer(1 << 20);
    size_t n;
    while (!reader.IsNoLog() && (n = std::fread(buffer.data(), 1, buffer.size(), in)) > 0)
        reader.Feed(buffer.data(), n);
    const bool failed = std::ferror(in) != 0;
    std::fclose(in);
    if (failed) {
        std::fprintf(stderr, "tarvex-log: cannot read %s\n", path);
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

int main(int argc, char** argv) {
    std::string command, log, output;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "-o") == 0 && i + 1 < argc)
            output = argv[++i];
        else if (command.empty())
            command = argv[i];
        else if (log.empty())
            log = argv[i];
        else
            command = "?";
    }
    if ((command != "csv" && command != "events" && command != "report") || log.empty()) {
        std::fputs(USAGE, stderr);
        return 2;
    }

    std::FILE* out = stdout;
    if (!output.empty()) {
        out = std::fopen(output.c_str(), "wb");
        if (!out) {
            std::fprintf(stderr, "tarvex-log: cannot write %s: %s\n", output.c_str(),
                         std::strerror(errno));
            return 1;
        }
    } else {
#ifdef _WIN32
        _setmode(_fileno(stdout), _O_BINARY); // the CSV's own CR LF, not CR CR LF
#endif
    }
    static char outBuffer[1 << 16];
    std::setvbuf(out, outBuffer, _IOFBF, sizeof outBuffer);

    std::unique_ptr<LogSink> sink;
    ReportBuilder* report = nullptr;
    if (command == "csv") {
        sink = std::make_unique<CsvWriter>(out, log.c_str());
    } else if (command == "events") {
        sink = std::make_unique<EventWriter>(out, log.c_str());
    } else {
        auto builder = std::make_unique<ReportBuilder>(log.c_str());
        report = builder.get();
        sink = std::move(builder);
    }
    LogReader reader(*sink);
    bool ok = ReadLog(log.c_str(), reader);
    if (ok && !reader.IsTarvexLog()) {
        std::fprintf(stderr, "tarvex-log: %s is no Tarvex log\n", log.c_str());
        ok = false;
    }
    if (ok && report)
        report->Write(out, FileName(log), reader.UnplacedCount());
    const bool written = std::fflush(out) == 0 && !std::ferror(out);
    if (out != stdout)
        std::fclose(out);
    if (!written) {
        std::fprintf(stderr, "tarvex-log: cannot write %s\n",
                     output.empty() ? "standard output" : output.c_str());
        return 1;
    }
    if (!ok)
        return 1;
    std::fprintf(stderr, "tarvex-log: %" PRIu64 " rows; rows that could not be placed: %" PRIu64 "\n",
                 reader.RowCount(), reader.UnplacedCount());
    return 0;
}
