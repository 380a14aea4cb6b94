// The session log on real files through the Win32 side of the seam, run under Wine: replacing
// the previous run's log, whole writes from several threads, the copy that leaves logging going
// on in "Tarvex.log", and who else may open it meanwhile (Wine keeps share modes between Win32
// programs as Windows does).
#include "log/session_log.h"
#include "platform/platform.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// The save dialog and message boxes are the only calls of the log that need a window; here the
// test answers them.
static std::wstring saveAnswer;
static std::vector<std::wstring> messages;
int OsAskSaveLogPath(wchar_t* path, int capacity) {
    if (saveAnswer.empty())
        return 0;
    lstrcpynW(path, saveAnswer.c_str(), capacity);
    return 1;
}
void OsShowMessage(const wchar_t* text, const wchar_t*, int) { messages.push_back(text); }

namespace {

std::string ReadWhole(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

class LogFileWin : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { OsInitLogLock(); }
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        std::wstring dir = std::wstring(temp) + L"tarvex-log-test";
        CreateDirectoryW(dir.c_str(), nullptr);
        ASSERT_TRUE(SetCurrentDirectoryW(dir.c_str()));
        saveAnswer.clear();
        messages.clear();
    }
    void TearDown() override { OsCloseLogFile(); }
};

} // namespace

TEST_F(LogFileWin, WritesFromSeveralThreadsStayWhole) {
    // Under the real lock: each thread's texts, some longer than one conversion buffer, land whole.
    ASSERT_TRUE(OsCreateLogFile());
    constexpr int THREADS = 4, WRITES = 200;
    auto length = [](int w) { return static_cast<size_t>(10 + (w * 53) % 450); };
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; t++)
        threads.emplace_back([t, length] {
            for (int w = 0; w < WRITES; w++)
                LogWrite((std::wstring(length(w), static_cast<wchar_t>(L'a' + t)) + L"\r\n").c_str());
        });
    for (auto& thread : threads)
        thread.join();
    OsCloseLogFile();

    const std::string log = ReadWhole(L"Tarvex.log");
    int counts[THREADS] = {};
    for (size_t pos = 0, end; pos < log.size(); pos = end + 2) {
        end = log.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos);
        const int t = log[pos] - 'a';
        ASSERT_TRUE(t >= 0 && t < THREADS);
        ASSERT_EQ(log.substr(pos, end - pos), std::string(length(counts[t]++), log[pos]));
    }
    for (int count : counts)
        EXPECT_EQ(count, WRITES);
}

TEST_F(LogFileWin, SaveCopiesSoFarThenLoggingGoesOnAtTheEnd) {
    // The dialog answers a full path, and one browsed to another folder moves the working
    // directory there: the copy must land where the user chose and the log go on where it was.
    // Each run replaces the previous run's log: the second pass starts over the first one's, and
    // the texts are as written, no line end translated.
    wchar_t here[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, here);
    const std::wstring elsewhere = std::wstring(here) + L"\\elsewhere";
    CreateDirectoryW(elsewhere.c_str(), nullptr);
    DeleteFileW((elsewhere + L"\\Tarvex.log").c_str());
    const struct {
        const char* what;
        std::wstring folder; // the dialog's folder, which becomes the working directory
    } cases[] = {
        {"in the working directory", here},
        {"in a folder browsed to", elsewhere},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(SetCurrentDirectoryW(here));
        ASSERT_TRUE(OsCreateLogFile());
        LogWrite(L"one\r\n");
        const std::wstring copy = c.folder + L"\\copy.log";
        {
            std::ofstream old(copy.c_str(), std::ios::binary);
            old << "an older file that the copy replaces";
        }
        saveAnswer = copy;
        SetCurrentDirectoryW(c.folder.c_str());
        SaveLogAs();
        LogWrite(L"two\r\n");
        OsCloseLogFile();
        ASSERT_TRUE(SetCurrentDirectoryW(here));
        EXPECT_TRUE(messages.empty()) << c.what;
        EXPECT_EQ(ReadWhole(copy), "one\r\n") << c.what;
        EXPECT_EQ(ReadWhole(L"Tarvex.log"), "one\r\ntwo\r\n") << c.what;
    }
    EXPECT_EQ(GetFileAttributesW((elsewhere + L"\\Tarvex.log").c_str()), INVALID_FILE_ATTRIBUTES)
        << "a new log in the chosen folder";
}

TEST_F(LogFileWin, OthersMayReadTheLogWhileItIsWrittenButNeverWriteIt) {
    // A viewer opens the log for reading, sharing the writer's access; a second Tarvex in the
    // same folder would open it for writing, and must not get it. Both as created and as
    // reopened after a copy.
    for (const bool reopened : {false, true}) {
        ASSERT_TRUE(OsCreateLogFile());
        LogWrite(L"one\r\n");
        if (reopened) {
            saveAnswer = L"copy.log";
            SaveLogAs();
            LogWrite(L"two\r\n");
        }
        HANDLE viewer = CreateFileW(L"Tarvex.log", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(viewer, INVALID_HANDLE_VALUE) << reopened << ": error " << GetLastError();
        char text[32] = {0};
        DWORD got = 0;
        ReadFile(viewer, text, sizeof text - 1, &got, nullptr);
        CloseHandle(viewer);
        EXPECT_STREQ(text, reopened ? "one\r\ntwo\r\n" : "one\r\n") << reopened;
        HANDLE second = CreateFileW(L"Tarvex.log", GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_EQ(second, INVALID_HANDLE_VALUE) << reopened << ": a second writer got the log";
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION)) << reopened;
        if (second != INVALID_HANDLE_VALUE)
            CloseHandle(second);
        OsCloseLogFile();
        EXPECT_EQ(ReadWhole(L"Tarvex.log"), reopened ? "one\r\ntwo\r\n" : "one\r\n") << reopened;
    }
}

TEST_F(LogFileWin, AnEarlierLogIsKeptUnderItsLastWriteTime) {
    // Two earlier logs written in the same second: the second one kept takes the next name, and
    // neither is replaced. The names' times are the files' own (in local time, which the tests'
    // prefix shares with the files' clock).
    auto keptLogs = [] {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW(L"Tarvex-*.log", &found);
        for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &found))
            names.push_back(found.cFileName);
        if (find != INVALID_HANDLE_VALUE)
            FindClose(find);
        std::sort(names.begin(), names.end(), [](const std::wstring& a, const std::wstring& b) {
            return a.size() != b.size() ? a.size() < b.size() : a < b; // "-2" after its first
        });
        return names;
    };
    for (const std::wstring& name : keptLogs())
        DeleteFileW(name.c_str());
    FILETIME written = {};
    for (const char* text : {"the first drive", "the second drive"}) {
        ASSERT_TRUE(OsCreateLogFile());
        LogWrite(std::wstring(text, text + std::strlen(text)).c_str());
        OsCloseLogFile();
        HANDLE file = CreateFileW(L"Tarvex.log", GENERIC_READ | FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (written.dwLowDateTime == 0 && written.dwHighDateTime == 0)
            GetFileTime(file, nullptr, nullptr, &written);
        SetFileTime(file, nullptr, nullptr, &written);
        CloseHandle(file);
        ASSERT_EQ(KeepEarlierLog(), 1) << text;
        EXPECT_EQ(GetFileAttributesW(L"Tarvex.log"), INVALID_FILE_ATTRIBUTES) << text;
    }
    const std::vector<std::wstring> kept = keptLogs();
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0].size(), std::wstring(L"Tarvex-20261208-150409.log").size());
    EXPECT_EQ(kept[1], kept[0].substr(0, kept[0].size() - 4) + L"-2.log");
    FILETIME local;
    SYSTEMTIME t;
    FileTimeToLocalFileTime(&written, &local);
    FileTimeToSystemTime(&local, &t);
    wchar_t day[16];
    wsprintfW(day, L"%04u%02u%02u", t.wYear, t.wMonth, t.wDay);
    EXPECT_EQ(kept[0].substr(7, 8), day);
    EXPECT_EQ(ReadWhole(kept[0]), "the first drive");
    EXPECT_EQ(ReadWhole(kept[1]), "the second drive");
}
