// tvmem: what the reliability tests measure of a running Tarvex from inside the same prefix.
//
//   tvmem sample         one line of name=value pairs for the process owning the main window:
//                        pid, handles (GetProcessHandleCount), gdi and user (GetGuiResources),
//                        windows (the process's top-level windows and all their children),
//                        private and working (GetProcessMemoryInfo, bytes), and two counts
//                        made without those calls, which Wine 8 answers with 0 or an error:
//                        systemhandles (the process's entries in the system's handle list) and
//                        gdicells (live entries of its GDI handle table, read from its PEB).
//                        A figure the system cannot give is printed as -1.
//   tvmem owner TITLE    how the top-level dialog TITLE is owned: "main" (Tarvex's main
//                        window), "none" or "other"
// Exit code 0 on success, 1 when the window or dialog is not there, 2 on bad usage.
#include <windows.h>
#include <psapi.h>

#include <winternl.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

HWND FindMain() { return FindWindowW(L"TARVEX", nullptr); }

struct WindowCount {
    DWORD pid;
    long count;
};

BOOL CALLBACK CountChild(HWND, LPARAM param) {
    reinterpret_cast<WindowCount*>(param)->count++;
    return TRUE;
}

BOOL CALLBACK CountTopLevel(HWND window, LPARAM param) {
    auto* c = reinterpret_cast<WindowCount*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == c->pid) {
        c->count++;
        EnumChildWindows(window, CountChild, param);
    }
    return TRUE;
}

long long GuiResources(HANDLE process, DWORD which) {
    SetLastError(0);
    DWORD n = GetGuiResources(process, which);
    // A process always holds some of both; 0 with an error set is a stub talking.
    return n == 0 && GetLastError() != 0 ? -1 : static_cast<long long>(n);
}

// The system's handle list (SystemHandleInformation), counted for one process.
struct HandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT handle;
    PVOID object;
    ACCESS_MASK access;
};

long long SystemHandles(DWORD pid) {
    using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query)
        return -1;
    std::vector<BYTE> buffer(1 << 20);
    for (int attempt = 0; attempt < 8; attempt++) {
        ULONG needed = 0;
        LONG status = query(16, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == 0) {
            ULONG count = *reinterpret_cast<ULONG*>(buffer.data());
            auto* entries = reinterpret_cast<HandleEntry*>(buffer.data() + sizeof(ULONG_PTR));
            long long mine = 0;
            for (ULONG i = 0; i < count; i++)
                if (entries[i].ownerPid == pid)
                    mine++;
            return mine;
        }
        buffer.resize(buffer.size() * 2 > needed ? buffer.size() * 2 : needed + 4096);
    }
    return -1;
}

// The GDI handle table the PEB points at (GdiSharedHandleTable): 0x10000 cells of 24 bytes, a
// cell in use holding its object's address in its first 8 bytes and its type in byte 14.
long long GdiCells(HANDLE process) {
    using Query = LONG(WINAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
    auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    PROCESS_BASIC_INFORMATION basic = {};
    if (!query || query(process, 0, &basic, sizeof basic, nullptr) != 0)
        return -1;
    UINT64 table = 0;
    SIZE_T got = 0;
    const BYTE* peb = reinterpret_cast<const BYTE*>(basic.PebBaseAddress);
    if (!ReadProcessMemory(process, peb + 0xF8, &table, sizeof table, &got) || table == 0)
        return -1;
    constexpr size_t CELL = 24;
    constexpr size_t CELLS = 0x10000;
    std::vector<BYTE> cells(CELL * CELLS);
    if (!ReadProcessMemory(process, reinterpret_cast<const void*>(table), cells.data(),
                           cells.size(), &got))
        return -1;
    long long used = 0;
    for (size_t i = 0; i < got / CELL; i++) {
        UINT64 object = 0;
        std::memcpy(&object, &cells[i * CELL], sizeof object);
        if (object != 0 && cells[i * CELL + 14] != 0)
            used++;
    }
    return used;
}

int Sample() {
    HWND main = FindMain();
    if (!main)
        return 1;
    DWORD pid = 0;
    GetWindowThreadProcessId(main, &pid);
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (!process)
        return 1;
    DWORD handles = 0;
    long long handleCount = GetProcessHandleCount(process, &handles) ? handles : -1;
    long long gdi = GuiResources(process, GR_GDIOBJECTS);
    long long user = GuiResources(process, GR_USEROBJECTS);
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof memory;
    long long privateBytes = -1;
    long long working = -1;
    if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                             sizeof memory)) {
        privateBytes = static_cast<long long>(memory.PrivateUsage);
        working = static_cast<long long>(memory.WorkingSetSize);
    }
    long long systemHandles = SystemHandles(pid);
    long long gdiCells = GdiCells(process);
    CloseHandle(process);
    WindowCount windows = {pid, 0};
    EnumWindows(CountTopLevel, reinterpret_cast<LPARAM>(&windows));
    std::printf("pid=%lu handles=%lld gdi=%lld user=%lld windows=%ld private=%lld working=%lld "
                "systemhandles=%lld gdicells=%lld\n",
                static_cast<unsigned long>(pid), handleCount, gdi, user, windows.count,
                privateBytes, working, systemHandles, gdiCells);
    return 0;
}

int Owner(const wchar_t* title) {
    HWND dialog = FindWindowW(L"#32770", title);
    if (!dialog)
        return 1;
    HWND owner = GetWindow(dialog, GW_OWNER);
    std::puts(owner == nullptr ? "none" : owner == FindMain() ? "main" : "other");
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"sample" && argc == 2)
        return Sample();
    if (command == L"owner" && argc == 3)
        return Owner(argv[2]);
    std::fputs("usage: tvmem sample | tvmem owner TITLE\n", stderr);
    return 2;
}
