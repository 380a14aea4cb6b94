// Start-up, tick, Pause and end of a run, checked through the log they write and the messages
// the user sees.
#include "app/channel_table.h"
#include "app/session.h"
#include "fake_os.h"
#include "link/block_exchange.h"
#include "link/link_state.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const char STARTED_DEFAULT[] = "Starting ...\r\nDefault port: COM9:\r\n\r\nCOM Opened\r\n";

class Session : public ::testing::Test {
  protected:
    void SetUp() override { ResetFakeOs(); }
};

} // namespace

TEST_F(Session, StartUpTakesThePortNameFromTheConfigFile) {
    const struct {
        const char* what;
        bool present;
        std::string config;
        bool opens;
        std::wstring port;   // the name opened; empty when no open may be tried
        std::string log;     // the whole log after start-up
        bool unreadable = false;
    } cases[] = {
        {"no file", false, "", true, L"COM9:", STARTED_DEFAULT},
        {"five bytes", true, "COM7:", true, L"COM7:",
         "Starting ...\r\nRead Config file: COM7:\r\n\r\nCOM Opened\r\n"},
        {"nine bytes fit", true, "\\\\.\\COM12", true, L"\\\\.\\COM12",
         "Starting ...\r\nRead Config file: \\\\.\\COM12\r\n\r\nCOM Opened\r\n"},
        {"line end kept, never opened", true, "COM7:\r\n", false, L"",
         "Starting ...\r\nRead Config file: COM7:\r\n\r\n\r\n\r\nCannot open COM port"},
        {"empty file", true, "", false, L"",
         "Starting ...\r\nRead Config file: \r\n\r\n\r\nCannot open COM port"},
        {"ten bytes refused", true, "COM7:\r\n\r\n\r", false, L"",
         "Starting ...\r\nConfig file refused: the name is longer than 9 characters\r\n\r\n"
         "\r\nCannot open COM port"},
        {"name ends at a NUL", true, std::string("COM7:\0x", 7), true, L"COM7:",
         "Starting ...\r\nRead Config file: COM7:\r\n\r\nCOM Opened\r\n"},
        {"NUL first", true, std::string("\0COM7:", 6), false, L"",
         "Starting ...\r\nRead Config file: \r\n\r\n\r\nCannot open COM port"},
        {"ten bytes with a NUL refused", true, std::string("COM7:\0xxxx", 10), false, L"",
         "Starting ...\r\nConfig file refused: the name is longer than 9 characters\r\n\r\n"
         "\r\nCannot open COM port"},
        {"a byte above 127 is the character of that code", true, "COM\xE9", true, L"COM\u00e9",
         "Starting ...\r\nRead Config file: COM\xE9\r\n\r\nCOM Opened\r\n"},
        {"a file past the 200 bytes read", true, std::string(300, 'C'), false, L"",
         "Starting ...\r\nConfig file refused: the name is longer than 9 characters\r\n\r\n"
         "\r\nCannot open COM port"},
        {"unreadable file", true, "COM7:", false, L"",
         "Starting ...\r\nConfig file refused: it cannot be read\r\n\r\n\r\nCannot open COM port",
         true},
    };
    for (const auto& c : cases) {
        ResetFakeOs();
        fakeOs.openablePorts = {L"COM9:", L"COM7:", L"\\\\.\\COM12", L"COM\u00e9"};
        fakeOs.configPresent = c.present;
        fakeOs.configBytes = c.config;
        fakeOs.configUnreadable = c.unreadable;
        EXPECT_EQ(StartSession(), c.opens ? 1 : 0) << c.what;
        EXPECT_EQ(fakeOs.logFile, c.log) << c.what;
        // The end follows the start's last line directly, whether the port opened or not.
        EndSession();
        EXPECT_EQ(fakeOs.logFile, c.log + "Session ended") << c.what;
        EXPECT_FALSE(fakeOs.logOpen || fakeOs.portOpen) << c.what;
        if (c.port.empty()) {
            EXPECT_EQ(fakeOs.portOpenCalls, 0) << c.what << ": the name must not be opened";
        }
        if (c.opens) {
            EXPECT_EQ(fakeOs.openedPort, c.port) << c.what;
            EXPECT_TRUE(fakeOs.messages.empty()) << c.what;
        } else {
            ASSERT_EQ(fakeOs.messages.size(), 1u) << c.what;
            EXPECT_EQ(fakeOs.messages[0].text, L"Cannot open COM port");
            EXPECT_EQ(fakeOs.messages[0].caption, L"Error");
            EXPECT_EQ(fakeOs.messages[0].ownedByMainWindow, 1);
        }
    }
}

TEST_F(Session, LogThatCannotBeCreatedStopsTheStart) {
    fakeOs.logCreateFails = true;
    EXPECT_EQ(StartSession(), 0);
    ASSERT_EQ(fakeOs.messages.size(), 1u);
    EXPECT_EQ(fakeOs.messages[0].text, L"Cannot open Log File");
    EXPECT_EQ(fakeOs.messages[0].caption, L"Error");
    EXPECT_EQ(fakeOs.messages[0].ownedByMainWindow, 0);
    EXPECT_EQ(fakeOs.portOpenCalls, 0);
    EndSession(); // the window's end still runs and must do nothing harmful
    EXPECT_EQ(fakeOs.logFile, "");
}

TEST_F(Session, TickWithoutEcuKeepsWaiting) {
    // Nothing behind the port: every read waits out its time.
    rawValues[3] = 5;
    BlockStore.title[1] = 7;
    ASSERT_EQ(StartSession(), 1);
    EXPECT_EQ(rawValues[3], 0) << "a run starts with empty receive tables";
    EXPECT_EQ(BlockStore.title[1], 0);
    EXPECT_EQ(OnTick(), 1);
    EXPECT_FALSE(fakeOs.windowResponsive) << "the user's input is handled again after the attempt";
    EXPECT_EQ(OnTick(), 1);
    ASSERT_EQ(fakeOs.statusTexts.size(), 2u);
    EXPECT_EQ(fakeOs.statusTexts[1], L"Waiting to connect to ECU");
    EXPECT_EQ(LoadFlag(LinkState.connected), 0);
    EXPECT_EQ(fakeOs.logFile, std::string(STARTED_DEFAULT) +
                                  "\r\nDevice not responding\r\nDevice not responding");
    EXPECT_TRUE(fakeOs.messages.empty());
}

TEST_F(Session, PauseTogglesOnlyWhileConnected) {
    ASSERT_EQ(StartSession(), 1);
    OnPauseButton(); // not connected: an attempt, which fails; nothing else changes
    EXPECT_TRUE(fakeOs.pauseTexts.empty());
    EXPECT_EQ(LoadFlag(LinkState.paused), 0);

    StoreFlag(LinkState.connected, 1);
    OnPauseButton();
    OnPauseButton();
    OnPauseButton();
    EXPECT_EQ(fakeOs.pauseTexts, (std::vector<std::wstring>{L"Resume", L"Pause", L"Resume"}));
    EXPECT_EQ(LoadFlag(LinkState.paused), 1);
}

TEST_F(Session, EachChannelButtonIsFoundByItsOwnId) {
    for (int i = 0; i < CHANNEL_COUNT; i++)
        EXPECT_EQ(FindChannelByControlId(ChannelTable.controlId[i]), i);
    for (int id : {10100, 10109, 112, 0})
        EXPECT_EQ(FindChannelByControlId(id), -1) << id;
}
