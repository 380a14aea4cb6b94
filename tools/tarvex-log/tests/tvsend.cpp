// tvsend: clicks Tarvex's buttons and menu items for record_logs.py, synchronously, and measures
// the log around each click.
//
//   tvsend LOG COMMAND...   for each command ID in turn: the log's size, then WM_COMMAND ID sent
//                           to the main window, then the size again; prints "ID BEFORE AFTER"
//
// SendMessage returns once the window procedure has handled the command, and Tarvex's GUI thread
// writes data rows only from its timer, never while it handles a sent message: so a row that
// starts after AFTER was written with the new state, one that starts before BEFORE with the old.
// The recorder checks that no row starts in between. The size is read by name: Tarvex holds the
// log open without sharing. Exit code 1 when the window, the log or an answer is missing.
#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

bool LogSize(const wchar_t* path, unsigned long long* size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data))
        return false;
    *size = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fputs("usage: tvsend LOG COMMAND...\n", stderr);
        return 2;
    }
    HWND main = FindWindowW(L"TARVEX", nullptr);
    if (!main)
        return 1;
    for (int i = 2; i < argc; i++) {
        const WORD command = static_cast<WORD>(std::wcstol(argv[i], nullptr, 10));
        unsigned long long before = 0, after = 0;
        DWORD_PTR result = 0;
        if (!LogSize(argv[1], &before) ||
            !SendMessageTimeoutW(main, WM_COMMAND, MAKEWPARAM(command, 0), 0, SMTO_NORMAL, 20000,
                                 &result) ||
            !LogSize(argv[1], &after))
            return 1;
        std::printf("%u %llu %llu\n", command, before, after);
        std::fflush(stdout);
    }
    return 0;
}
