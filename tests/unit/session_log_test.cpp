// The session log: the byte form of wide texts, writes that stay whole across threads and across
// the 199-character conversion buffer, and the copy to a file of the user's choice.
#include "fake_os.h"
#include "log/session_log.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

class SessionLog : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetFakeOs();
        ASSERT_TRUE(OsCreateLogFile());
    }
};

} // namespace

TEST_F(SessionLog, WideTextsBecomeOneBytePerCharacter) {
    const struct {
        const wchar_t* text;
        std::string bytes;
    } cases[] = {
        {L"Starting ...\r\n", "Starting ...\r\n"},
        {L"", ""},
        {L"caf\u00e9 \u00ff", "caf\xe9 \xff"},        // Latin-1 stays itself
        {L"\u20ac5", "?5"},                             // beyond one byte
        {L"a\U0001F600b", "a?b"},                       // a surrogate pair is one character
        {L"x\xD800y", "x?y"},                           // a lone surrogate
    };
    for (const auto& c : cases) {
        fakeOs.logFile.clear();
        LogWrite(c.text);
        EXPECT_EQ(fakeOs.logFile, c.bytes);
        char buffer[16];
        int n = NarrowLogText(c.text, buffer, sizeof buffer);
        EXPECT_EQ(std::string(buffer, static_cast<size_t>(n)), c.bytes);
    }
}

TEST_F(SessionLog, LongTextsAreWrittenWholeNeverCut) {
    for (size_t length : {198u, 199u, 200u, 398u, 1000u}) {
        std::wstring wide;
        std::string narrow;
        for (size_t i = 0; i < length; i++) {
            wide += static_cast<wchar_t>(L'a' + i % 26);
            narrow += static_cast<char>('a' + i % 26);
        }
        fakeOs.logFile.clear();
        LogWrite(wide.c_str());
        EXPECT_EQ(fakeOs.logFile, narrow) << length;
        fakeOs.logFile.clear();
        LogWriteNarrow(narrow.c_str());
        EXPECT_EQ(fakeOs.logFile, narrow) << length;
    }
}

TEST_F(SessionLog, WritesFromSeveralThreadsStayWhole) {
    // Each thread writes texts made of its own letter, some longer than one conversion buffer;
    // the file must be a sequence of whole texts.
    constexpr int THREADS = 4, WRITES = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; t++)
        threads.emplace_back([t] {
            for (int w = 0; w < WRITES; w++) {
                std::wstring text(static_cast<size_t>(20 + (w * 37) % 400),
                                  static_cast<wchar_t>(L'A' + t));
                text += L"\r\n";
                LogWrite(text.c_str());
            }
        });
    for (auto& thread : threads)
        thread.join();

    int counts[THREADS] = {};
    size_t pos = 0;
    const std::string& log = fakeOs.logFile;
    while (pos < log.size()) {
        size_t end = log.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos);
        std::string line = log.substr(pos, end - pos);
        ASSERT_FALSE(line.empty());
        int t = line[0] - 'A';
        ASSERT_GE(t, 0);
        ASSERT_LT(t, THREADS);
        int w = counts[t]++;
        EXPECT_EQ(line, std::string(static_cast<size_t>(20 + (w * 37) % 400), line[0]));
        pos = end + 2;
    }
    for (int count : counts)
        EXPECT_EQ(count, WRITES);
}

TEST_F(SessionLog, SaveCopiesTheLogSoFarAndLoggingGoesOn) {
    LogWrite(L"before\r\n");
    fakeOs.saveAnswer = L"Z:\\tmp\\copy.log";
    SaveLogAs();
    LogWrite(L"after\r\n");
    EXPECT_EQ(fakeOs.files[L"Z:\\tmp\\copy.log"], "before\r\n");
    EXPECT_EQ(fakeOs.logFile, "before\r\nafter\r\n");
    EXPECT_TRUE(fakeOs.messages.empty());

    // A second save to the same name replaces the first copy without asking.
    SaveLogAs();
    EXPECT_EQ(fakeOs.files[L"Z:\\tmp\\copy.log"], "before\r\nafter\r\n");
}

TEST_F(SessionLog, CancelledSaveChangesNothing) {
    LogWrite(L"line\r\n");
    SaveLogAs(); // saveAnswer empty: the user cancels
    LogWrite(L"more\r\n");
    EXPECT_EQ(fakeOs.saveDialogs, 1);
    EXPECT_TRUE(fakeOs.files.empty());
    EXPECT_EQ(fakeOs.logFile, "line\r\nmore\r\n");
    EXPECT_TRUE(fakeOs.messages.empty());
}

TEST_F(SessionLog, FailedCopyOrReopenIsReportedNotHidden) {
    fakeOs.saveAnswer = L"Z:\\readonly\\copy.log";
    fakeOs.copyFails = true;
    SaveLogAs();
    ASSERT_EQ(fakeOs.messages.size(), 1u);
    EXPECT_EQ(fakeOs.messages[0].text, L"Cannot copy Log File");
    EXPECT_EQ(fakeOs.messages[0].caption, L"Error");

    fakeOs.messages.clear();
    fakeOs.copyFails = false;
    fakeOs.logReopenFails = true;
    SaveLogAs();
    ASSERT_EQ(fakeOs.messages.size(), 1u);
    EXPECT_EQ(fakeOs.messages[0].text, L"Cannot reopen Log File");
}
