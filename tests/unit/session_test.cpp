// Start-up, tick, Pause and end of a run, checked through the log they write and the messages
// the user sees.
#include "channels/channel_table.h"
#include "app/session.h"
#include "display/chart.h"
#include "fake_os.h"
#include "link/block_exchange.h"
#include "link/link_state.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(Session, StartUpTakesThePortNameFromTheConfigFile) {
    // What the log says of the name, after "Starting ...", and the device path opened: only a
    // name said to be taken is opened, COM ports by their device path (the only form in which
    // Windows opens COM10 and above), and the log goes on with the open's outcome.
    const std::string TOO_LONG = "Config file refused: the name is longer than 9 characters";
    const struct {
        const char* what;
        ConfigReadResult config;
        std::string bytes;
        std::string said;
        std::wstring opened; // empty: nothing is opened
    } cases[] = {
        {"no file", ConfigMissing, "", "Default port: COM9:", L"\\\\.\\COM9"},
        {"five bytes", ConfigRead, "COM7:", "Read Config file: COM7:", L"\\\\.\\COM7"},
        {"COM12", ConfigRead, "COM12", "Read Config file: COM12", L"\\\\.\\COM12"},
        {"COM12 and a colon", ConfigRead, "COM12:", "Read Config file: COM12:", L"\\\\.\\COM12"},
        {"lower case", ConfigRead, "com255", "Read Config file: com255", L"\\\\.\\com255"},
        {"nine bytes fit", ConfigRead, "\\\\.\\COM12", "Read Config file: \\\\.\\COM12",
         L"\\\\.\\COM12"},
        {"not a number: as written", ConfigRead, "COM1x", "Read Config file: COM1x", L"COM1x"},
        {"two colons: as written", ConfigRead, "COM12::", "Read Config file: COM12::", L"COM12::"},
        {"no number: as written", ConfigRead, "COM:", "Read Config file: COM:", L"COM:"},
        {"not COM: as written", ConfigRead, "BOM12", "Read Config file: BOM12", L"BOM12"},
        {"a space is the name's own", ConfigRead, "COM 7", "Read Config file: COM 7", L"COM 7"},
        {"line end kept, never opened", ConfigRead, "COM7:\r\n", "Read Config file: COM7:\r\n",
         L""},
        {"empty file", ConfigRead, "", "Read Config file: ", L""},
        {"ten bytes refused", ConfigRead, "COM7:\r\n\r\n\r", TOO_LONG, L""},
        {"name ends at a NUL", ConfigRead, std::string("COM7:\0x", 7), "Read Config file: COM7:",
         L"\\\\.\\COM7"},
        {"NUL first", ConfigRead, std::string("\0COM7:", 6), "Read Config file: ", L""},
        {"ten bytes with a NUL refused", ConfigRead, std::string("COM7:\0xxxx", 10), TOO_LONG, L""},
        {"a byte above 127 is the character of that code", ConfigRead, "COM\xE9",
         "Read Config file: COM\xE9", L"COM\u00e9"},
        {"a file past the 200 bytes read", ConfigRead, std::string(300, 'C'), TOO_LONG, L""},
        {"unreadable file", ConfigUnreadable, "COM7:", "Config file refused: it cannot be read",
         L""},
    };
    for (const auto& c : cases) {
        ResetFakeOs();
        fakeOs.openablePorts = {c.opened};
        fakeOs.config = c.config;
        fakeOs.configBytes = c.bytes;
        const bool opens = !c.opened.empty();
        const std::string log = "Starting ...\r\n" + c.said + "\r\n\r\n" +
                                (opens ? "COM Opened\r\n" : "\r\nCannot open COM port");
        EXPECT_EQ(StartSession(), opens ? 1 : 0) << c.what;
        EXPECT_EQ(fakeOs.logFile, log) << c.what;
        // The end follows the start's last line directly, whether the port opened or not.
        EndSession();
        EXPECT_EQ(fakeOs.logFile, log + "Session ended") << c.what;
        EXPECT_FALSE(fakeOs.logOpen || fakeOs.portOpen) << c.what;
        EXPECT_EQ(fakeOs.portOpenCalls, opens ? 1 : 0) << c.what << ": no other name opened";
        EXPECT_EQ(fakeOs.openedPort, c.opened) << c.what;
        EXPECT_EQ(Messages(), opens ? L"" : L"Error: Cannot open COM port (window)\n") << c.what;
    }
}

TEST(Session, LogThatCannotBeCreatedStopsTheStart) {
    ResetFakeOs();
    fakeOs.logCreateFails = true;
    EXPECT_EQ(StartSession(), 0);
    EXPECT_EQ(Messages(), L"Error: Cannot open Log File\n");
    EXPECT_EQ(fakeOs.portOpenCalls, 0);
    EndSession(); // the window's end still runs and must do nothing harmful
    EXPECT_EQ(fakeOs.logFile, "");
}

TEST(Session, AStartKeepsTheEarlierLogUnderItsTimeAndNeverEmptiesIt) {
    const std::string earlier = "Starting ...\r\nthe drive before\r\nSession ended";
    const std::string fresh = "Starting ...\r\nDefault port: COM9:\r\n\r\nCOM Opened\r\n";
    const std::string appended = earlier + "\r\nStarting ...\r\nThe earlier Tarvex.log could not be "
                                           "renamed: this run goes on at its end\r\n" + fresh.substr(14);
    const struct {
        const char* what;
        std::vector<std::wstring> taken; // names already in the folder
        bool renameFails;
        std::wstring keptAs;             // empty: kept nowhere but in Tarvex.log itself
        std::string log;                 // Tarvex.log after the start
    } cases[] = {
        {"its time as its name", {}, false, L"Tarvex-20261208-150409.log", fresh},
        {"that name taken", {L"Tarvex-20261208-150409.log"}, false,
         L"Tarvex-20261208-150409-2.log", fresh},
        {"two names taken",
         {L"Tarvex-20261208-150409.log", L"Tarvex-20261208-150409-2.log"}, false,
         L"Tarvex-20261208-150409-3.log", fresh},
        {"every name of that second taken: the run goes on at its end",
         [] {
             std::vector<std::wstring> names = {L"Tarvex-20261208-150409.log"};
             for (int n = 2; n <= 99; n++)
                 names.push_back(L"Tarvex-20261208-150409-" + std::to_wstring(n) + L".log");
             return names;
         }(),
         false, L"", appended},
        {"a rename that fails: the run goes on at its end", {}, true, L"", appended},
    };
    for (const auto& c : cases) {
        ResetFakeOs();
        fakeOs.earlierLog = true;
        fakeOs.logFile = earlier;
        fakeOs.renameFails = c.renameFails;
        for (const std::wstring& name : c.taken)
            fakeOs.files[name] = "another run's";
        EXPECT_EQ(StartSession(), 1) << c.what;
        EXPECT_EQ(fakeOs.logFile, c.log) << c.what;
        if (!c.keptAs.empty()) {
            EXPECT_EQ(fakeOs.files[c.keptAs], earlier) << c.what;
        }
        for (const std::wstring& name : c.taken)
            EXPECT_EQ(fakeOs.files[name], "another run's") << c.what;
        EXPECT_EQ(fakeOs.files.size(), c.taken.size() + !c.keptAs.empty()) << c.what;
    }
}

TEST(Session, TickWithoutEcuKeepsWaiting) {
    ResetFakeOs();
    // Nothing behind the port: every read waits out its time.
    rawValues[3] = 5;
    BlockStore.title[1] = 7;
    ASSERT_EQ(StartSession(), 1);
    EXPECT_EQ(rawValues[3], 0) << "a run starts with empty receive tables";
    EXPECT_EQ(BlockStore.title[1], 0);
    historyLength = 40; // the last link's
    EXPECT_EQ(OnTick(), 1);
    EXPECT_EQ(historyLength, 0) << "each attempt's link begins its traces afresh";
    EXPECT_FALSE(fakeOs.windowResponsive) << "the user's input is handled again after the attempt";
    EXPECT_EQ(OnTick(), 1);
    ASSERT_EQ(fakeOs.statusTexts.size(), 2u);
    EXPECT_EQ(fakeOs.statusTexts[1], L"Waiting to connect to ECU");
    EXPECT_EQ(fakeOs.paintedStatus, L"Waiting to connect to ECU") << "seen before the next attempt";
    EXPECT_EQ(LoadFlag(LinkState.connected), 0);
    EXPECT_EQ(fakeOs.logFile, "Starting ...\r\nDefault port: COM9:\r\n\r\nCOM Opened\r\n"
                              "\r\nDevice not responding\r\nDevice not responding");
    EXPECT_TRUE(fakeOs.messages.empty());
}

TEST(Session, EachChannelButtonIsFoundByItsOwnIdAndSwitchesItsChannel) {
    for (int i = 0; i < CHANNEL_COUNT; i++)
        EXPECT_EQ(FindChannelByControlId(ChannelTable.controlId[i]), i);
    for (int id : {10100, 10109, 112, 0})
        EXPECT_EQ(FindChannelByControlId(id), -1) << id;
    ResetFakeOs();
    ToggleChannel(FindChannelByControlId(10103));
    EXPECT_EQ(ChannelTable.enabled[2], 0);
    ToggleChannel(FindChannelByControlId(10108));
    ToggleChannel(FindChannelByControlId(10103));
    EXPECT_EQ(ChannelTable.enabled[2], 1);
    EXPECT_EQ(ChannelTable.enabled[7], 0);
    EXPECT_EQ(fakeOs.redrawnButtons, (std::vector<int>{2, 7, 2})) << "each indicator at once";
    ChannelTable.enabled[7] = 1;
}
