// The session log: the byte form of wide texts, writes that stay whole across the 199-character
// conversion buffer under the log lock, and the copy to a file of the user's choice. Whole writes
// from several threads are checked under the real lock, on real files (log_file_win_test).
#include "fake_os.h"
#include "log/data_row.h"
#include "log/session_log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

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
    // Surrogates are spelled out, so that a 32-bit wchar_t sees the pairs a 16-bit one does.
    const struct {
        const wchar_t* text;
        std::string bytes;
    } cases[] = {
        {L"Starting ...\r\n", "Starting ...\r\n"},
        {L"", ""},
        {L"caf\u00e9 \u00ff\u0100", "caf\xe9 \xff?"}, // Latin-1 stays itself
        {L"a\xD83D\xDE00" L"b", "a?b"},                // a surrogate pair is one character
        {L"\xD800\xDC00\xDBFF\xDFFF", "??"},           // the ends of both ranges
        {L"x\xD800y\xDC00", "x?y?"},                   // lone surrogates
        {L"\xD7FF\xDC00\xD800\xDBFF\xD800\xE000", "??????"}, // just outside the ranges
    };
    for (const auto& c : cases) {
        fakeOs.logFile.clear();
        LogWrite(c.text);
        EXPECT_EQ(fakeOs.logFile, c.bytes);
    }
    char buffer[4];
    EXPECT_EQ(NarrowLogText(L"abcdef", buffer, 4), 3);
    EXPECT_STREQ(buffer, "abc") << "cut to the buffer, terminated";
    EXPECT_EQ(fakeOs.logUsesOutsideLock, 0);
}

TEST_F(SessionLog, LongTextsAreWrittenWholeNeverCut) {
    for (size_t length : {198u, 199u, 200u, 398u, 1000u}) {
        std::string narrow;
        for (size_t i = 0; i < length; i++)
            narrow += static_cast<char>('a' + i % 26);
        const std::wstring wide(narrow.begin(), narrow.end());
        fakeOs.logFile.clear();
        LogWrite(wide.c_str());
        LogWriteNarrow(narrow.c_str());
        EXPECT_EQ(fakeOs.logFile, narrow + narrow) << length;
    }
    EXPECT_EQ(fakeOs.logUsesOutsideLock, 0) << "both kinds of write hold the lock";
}

TEST_F(SessionLog, SaveCopiesTheLogSoFarAndLoggingGoesOn) {
    const std::wstring copy = L"Z:\\tmp\\copy.log";
    const struct {
        const char* what;
        std::wstring answer; // empty: the user cancels
        bool copyFails, reopenFails;
        std::string copied;  // the copy afterwards
        std::wstring boxes; // as Messages() gives them
        std::string logAfter;
    } cases[] = {
        {"save", copy, false, false, "one\r\n", L"", "one\r\ntwo\r\n"},
        {"cancelled", L"", false, false, "", L"", "one\r\ntwo\r\n"},
        {"copy fails", copy, true, false, "", L"Error: Cannot copy Log File (window)\n",
         "one\r\ntwo\r\n"},
        {"reopen fails", copy, false, true, "one\r\n", L"Error: Cannot reopen Log File (window)\n",
         "one\r\n"},
    };
    for (const auto& c : cases) {
        SetUp();
        LogWrite(L"one\r\n");
        fakeOs.saveAnswer = c.answer;
        fakeOs.copyFails = c.copyFails;
        fakeOs.logReopenFails = c.reopenFails;
        SaveLogAs();
        LogWrite(L"two\r\n");
        EXPECT_EQ(fakeOs.saveDialogs, 1) << c.what;
        EXPECT_EQ(fakeOs.files.count(copy) ? fakeOs.files[copy] : "", c.copied) << c.what;
        EXPECT_EQ(fakeOs.logFile, c.logAfter) << c.what;
        EXPECT_EQ(Messages(), c.boxes) << c.what;
        EXPECT_EQ(fakeOs.logUsesOutsideLock, 0)
            << c.what << ": close, copy and reopen hold the lock";
    }
}

TEST_F(SessionLog, DataRowOfTheSampleInOneWrite) {
    // Each channel's text is vN here, or 23 x's where a row would outgrow its buffer.
    const std::string ALL = "v0,v1,v2,v3,v4,v5,v6,v7", X(23, 'x');
    const struct {
        uint32_t channels;
        bool longTexts;
        std::string row;
    } cases[] = {
        {0xFF, false, "8:17:45 PM " + ALL + "\r\n"},
        {0x7F, false, "8:17:45 PM v0,v1,v2,v3,v4,v5,v6,\r\n"}, // a "," after every channel but 7
        {0xFE, false, "8:17:45 PM v1,v2,v3,v4,v5,v6,v7\r\n"},
        {0x81, false, "8:17:45 PM v0,v7\r\n"},
        {0x00, false, "8:17:45 PM \r\n"},
        {0xFF, true, "8:17:45 PM " + X + "," + X + "," + X + "," + X + "," + X + "," + X + "," +
                         X + "," + X.substr(0, 18) + "\r\n"}, // cut at 197 bytes, never overrun
    };
    for (const auto& c : cases) {
        Sample sample = {};
        sample.channels = c.channels;
        for (int i = 0; i < 8; i++)
            std::snprintf(sample.readings[i].text, READING_TEXT_BYTES, "%s",
                          (c.longTexts ? X : "v" + std::to_string(i)).c_str());
        fakeOs.logFile.clear();
        fakeOs.afterLogWrite = [] { fakeOs.logFile += "|"; };
        WriteDataRow(sample);
        EXPECT_EQ(fakeOs.logFile, c.row + "|") << c.channels << ": one write";
    }
}
