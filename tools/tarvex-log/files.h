// The files of a run: the log, and the output, which is written beside its place and put there
// only when the run succeeds, so that a run that fails leaves an existing output as it was and
// no file of its own behind. Names are the system's own: wide text on Windows, where a name in
// the ANSI code page could not say every file name.
#pragma once

#include <cstdio>
#include <string>

namespace tarvexlog {

#ifdef _WIN32
using Path = std::wstring;
#else
using Path = std::string;
#endif

std::string Utf8(const Path& path);   // for messages and the report's title
std::FILE* OpenLog(const Path& path); // for reading, or nullptr with errno set
bool IsFile(const Path& path);        // there, and no folder
bool Exists(const Path& path);        // anything by that name: a file, a folder, a device

// The files that a log dropped on the program gets beside it: for "C:\x\Tarvex.log" and ".csv",
// "C:\x\Tarvex.csv" when n is 1, else "C:\x\Tarvex-n.csv".
Path Beside(const Path& log, int n, const char* extension);

class Output {
public:
    enum Opening { Opened, IsTheLog, CannotWrite };

    ~Output() { Discard(); }
    // The output at `path`, or standard output for an empty path. The log's own file is refused
    // by identity, not by name: through a hard link or another spelling of its path too. With
    // `replace` false the output must be a new file: one already there is refused, and so is one
    // that comes by that name before Commit.
    Opening Open(const Path& path, std::FILE* log, bool replace = true);
    std::FILE* File() const { return file; }
    // The close and the last writes checked, then the output put in its place; false if any
    // failed, and then the temporary is gone and an old output is left as it was.
    bool Commit();
    void Discard();
    const std::string& Error() const { return error; } // why Open or Commit failed

private:
    Path path, temp; // no temporary: a device, a pipe or standard output, written as it is
    bool replace = true;
    std::FILE* file = nullptr;
    std::string error;
};

} // namespace tarvexlog
