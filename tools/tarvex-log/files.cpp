#include "files.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tarvexlog {

namespace {

#ifdef _WIN32
bool PutInPlace(const Path& temp, const Path& path, bool replace) {
    return MoveFileExW(temp.c_str(), path.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0) != 0;
}
// The temporary is opened with FILE_SHARE_DELETE: even while open, it is gone once it is closed.
void RemoveFile(const wchar_t* path) { DeleteFileW(path); }
#else
// Without replacing: a link, which fails if the name is taken, then the temporary's name gone.
bool PutInPlace(const Path& temp, const Path& path, bool replace) {
    if (replace)
        return std::rename(temp.c_str(), path.c_str()) == 0;
    if (link(temp.c_str(), path.c_str()) != 0)
        return false;
    unlink(temp.c_str());
    return true;
}
void RemoveFile(const char* path) { unlink(path); }
#endif

// The temporary output while it is written: a signal that ends the run (Ctrl+C) removes it.
std::atomic<const Path::value_type*> signalTemp{nullptr};

void RemoveTempAndStop(int sig) {
    if (const Path::value_type* temp = signalTemp.load())
        RemoveFile(temp);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

std::string ErrnoText() { return std::strerror(errno); }

#ifdef _WIN32
std::string LastErrorText() {
    char text[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             GetLastError(), 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.'))
        n--;
    return n ? std::string(text, n) : "error " + std::to_string(GetLastError());
}

// A file's identity: its volume and its index there, whatever name it was opened by.
bool Identify(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
    return file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, info);
}

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

HANDLE HandleOf(std::FILE* file) { return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))); }
#else
bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}
#endif

} // namespace

#ifdef _WIN32
std::string Utf8(const Path& path) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, path.data(), static_cast<int>(path.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), &text[0], n,
                        nullptr, nullptr);
    return text;
}

std::FILE* OpenLog(const Path& path) { return _wfopen(path.c_str(), L"rb"); }

bool IsFile(const Path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool Exists(const Path& path) {
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES)
        return true;
    const DWORD error = GetLastError(); // a name that cannot be looked at is taken as not free
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

Path Beside(const Path& log, int n, const char* extension) {
    const size_t name = log.find_last_of(L"/\\:") + 1; // npos + 1 is 0
    const size_t dot = log.rfind(L'.');
    Path stem = dot != Path::npos && dot > name ? log.substr(0, dot) : log;
    if (n > 1)
        stem += L"-" + std::to_wstring(n);
    for (const char* c = extension; *c; c++)
        stem += static_cast<wchar_t>(*c);
    return stem;
}

Output::Opening Output::Open(const Path& given, std::FILE* log, bool replaceOld) {
    replace = replaceOld;
    BY_HANDLE_FILE_INFORMATION logInfo, target;
    const bool logKnown = Identify(HandleOf(log), &logInfo);
    if (given.empty()) {
        _setmode(_fileno(stdout), _O_BINARY); // the CSV's own CR LF, not CR CR LF
        file = stdout;
        return logKnown && Identify(GetStdHandle(STD_OUTPUT_HANDLE), &target) &&
                       SameFile(logInfo, target) ? IsTheLog : Opened;
    }
    HANDLE existing = CreateFileW(given.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                  FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const bool exists = Identify(existing, &target);
    const bool plainFile = exists && GetFileType(existing) == FILE_TYPE_DISK &&
                           !(target.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    if (existing != INVALID_HANDLE_VALUE)
        CloseHandle(existing);
    if (exists && logKnown && SameFile(logInfo, target))
        return IsTheLog;
    if (!replace && Exists(given)) {
        error = "a file of that name is there already";
        return CannotWrite;
    }
    if (exists && !plainFile) { // a device such as NUL cannot be replaced: written as it is
        file = _wfopen(given.c_str(), L"wb");
        error = file ? "" : ErrnoText();
        return file ? Opened : CannotWrite;
    }
    path = given;
    for (int n = 0; n < 100 && !file; n++) {
        temp = path + L"." + std::to_wstring(n) + L".tmp";
        HANDLE h = CreateFileW(temp.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS) // another run's, or one left by a crash
                continue;
            break;
        }
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), 0);
        file = fd < 0 ? nullptr : _fdopen(fd, "wb");
        if (!file) { // out of descriptors or memory: nothing to retry
            fd < 0 ? CloseHandle(h) : _close(fd);
            RemoveFile(temp.c_str());
            break;
        }
    }
    if (!file) {
        error = LastErrorText();
        temp.clear();
        return CannotWrite;
    }
    signalTemp = temp.c_str();
    std::signal(SIGINT, RemoveTempAndStop);
    std::signal(SIGBREAK, RemoveTempAndStop);
    std::signal(SIGTERM, RemoveTempAndStop);
    return Opened;
}
#else
std::string Utf8(const Path& path) { return path; }

std::FILE* OpenLog(const Path& path) { return std::fopen(path.c_str(), "rb"); }

bool IsFile(const Path& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool Exists(const Path& path) {
    struct stat st; // a name that cannot be looked at is taken as not free
    return lstat(path.c_str(), &st) == 0 || errno != ENOENT;
}

Path Beside(const Path& log, int n, const char* extension) {
    const size_t name = log.find_last_of('/') + 1; // npos + 1 is 0
    const size_t dot = log.rfind('.');
    Path stem = dot != Path::npos && dot > name ? log.substr(0, dot) : log;
    if (n > 1)
        stem += "-" + std::to_string(n);
    return stem + extension;
}

Output::Opening Output::Open(const Path& given, std::FILE* log, bool replaceOld) {
    replace = replaceOld;
    struct stat logStat, target;
    const bool logKnown = fstat(fileno(log), &logStat) == 0;
    if (given.empty()) { // `tarvex-log csv x.log >>x.log` would read its own output for ever
        file = stdout;
        return logKnown && fstat(STDOUT_FILENO, &target) == 0 && SameFile(logStat, target)
                   ? IsTheLog : Opened;
    }
    const bool exists = stat(given.c_str(), &target) == 0;
    if (exists && logKnown && SameFile(logStat, target))
        return IsTheLog;
    if (!replace && Exists(given)) {
        error = "a file of that name is there already";
        return CannotWrite;
    }
    if (exists && !S_ISREG(target.st_mode)) { // /dev/null, a pipe: written as it is
        file = std::fopen(given.c_str(), "wb");
        error = file ? "" : ErrnoText();
        return file ? Opened : CannotWrite;
    }
    path = given;
    if (exists) {
        // The file that a symbolic link names is the one replaced, as a write through it would;
        // and one that may not be written is not replaced either.
        if (char* real = realpath(given.c_str(), nullptr)) {
            path = real;
            std::free(real);
        }
        if (access(path.c_str(), W_OK) != 0) {
            error = ErrnoText();
            return CannotWrite;
        }
    }
    int fd = -1;
    for (int n = 0; n < 100 && fd < 0; n++) {
        temp = path + "." + std::to_string(n) + ".tmp";
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) // EEXIST: another run's, or one left by a crash
            break;
    }
    if (fd < 0) {
        error = ErrnoText();
        temp.clear();
        return CannotWrite;
    }
    if (exists)
        fchmod(fd, target.st_mode & 07777); // the new output keeps the old one's permissions
    file = fdopen(fd, "wb");
    if (!file) {
        error = ErrnoText();
        close(fd);
        RemoveFile(temp.c_str());
        temp.clear();
        return CannotWrite;
    }
    signalTemp = temp.c_str();
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        std::signal(sig, RemoveTempAndStop);
    return Opened;
}
#endif

bool Output::Commit() {
    std::FILE* f = file;
    file = nullptr;
    bool ok = std::fflush(f) == 0 && !std::ferror(f);
    ok = std::fclose(f) == 0 && ok; // the last writes may fail only at the close
    if (!ok)
        error = ErrnoText();
    if (temp.empty())
        return ok;
    signalTemp = nullptr;
    if (ok && !PutInPlace(temp, path, replace)) {
#ifdef _WIN32
        error = LastErrorText();
#else
        error = ErrnoText();
#endif
        ok = false;
    }
    if (!ok)
        RemoveFile(temp.c_str());
    temp.clear();
    return ok;
}

void Output::Discard() {
    if (file && file != stdout)
        std::fclose(file);
    file = nullptr;
    if (!temp.empty()) {
        signalTemp = nullptr;
        RemoveFile(temp.c_str());
        temp.clear();
    }
}

} // namespace tarvexlog
