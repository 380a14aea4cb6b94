// tarvex-port: a console program that finds the COM port of a K-line adapter, checks that the
// adapter does what Tarvex needs of it, and makes Tarvex open it. The commands are in
// port_tool.cpp; this only carries the command line in and the lines out.
#include "port_tool.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string Utf8(const wchar_t* text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 1 ? n : 1), '\0');
    if (n > 1)
        WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
    out.resize(out.size() - 1); // the NUL
    return out;
}

// Each line goes out at once, so that a user watching a check sees each result as it comes.
void PrintLine(FILE* stream, const std::string& line) {
    std::fputs(line.c_str(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; i++)
        args.push_back(Utf8(argv[i]));
    ToolOutput out;
    out.result = [](const std::string& line) { PrintLine(stdout, line); };
    out.failure = [](const std::string& line) { PrintLine(stderr, line); };
    return RunTool(args, out);
}
