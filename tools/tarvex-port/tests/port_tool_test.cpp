// tarvex-port's commands against the test platform: the ECU model's adapters behind the port,
// a registry and a Tarvex.cfg of the test's making. What each command prints and its exit
// status are checked line for line, with what it leaves behind: RTS off, the port closed, the
// file's bytes.
#include "fake_os.h"
#include "link/serial_line.h"
#include "port_tool.h"
#include "texts.h"
#include "tool_os.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

// The tool's own seam, as the test sets it up.
struct FakeTool {
    PortMapRead mapRead = PortMapRead::Read;
    std::vector<SerialPortEntry> map;
    unsigned long mapError = 0;
    OpenFailure openFailure = OpenFailure::NoSuchPort;
    unsigned long openError = 2;
    bool writeFails = false;
    std::string writtenInstead; // another program's bytes land in place of the tool's
} tool;

// Tarvex.cfg: the fake platform's (fakeOs.config, fakeOs.configBytes), which Tarvex's reader
// reads; present stands for a file that exists, readable or not.
bool configPresent = false;

struct Said {
    int status;
    std::vector<std::string> lines; // "out: ..." or "err: ..."
};

Said RunWith(const std::vector<std::string>& args) {
    Said run{0, {}};
    ToolOutput out;
    out.result = [&run](const std::string& line) { run.lines.push_back("out: " + line); };
    out.failure = [&run](const std::string& line) { run.lines.push_back("err: " + line); };
    run.status = RunTool(args, out);
    return run;
}

void Reset() {
    ResetFakeOs();
    tool = FakeTool();
    configPresent = false;
}

} // namespace

PortMapRead ToolReadSerialPortMap(std::vector<SerialPortEntry>* ports, unsigned long* error) {
    *ports = tool.map;
    *error = tool.mapError;
    return tool.mapRead;
}

OpenFailure ToolLastOpenFailure(unsigned long* error) {
    *error = tool.openError;
    return tool.openFailure;
}

int ToolConfigFileExists() { return configPresent; }

int ToolWriteConfigFile(const std::string& bytes, unsigned long* error) {
    if (tool.writeFails) {
        *error = 5;
        return 0;
    }
    configPresent = true;
    fakeOs.config = ConfigRead;
    fakeOs.configBytes = tool.writtenInstead.empty() ? bytes : tool.writtenInstead;
    return 1;
}

// The lead's troubleshooting table is keyed on each failure line's start: one line, a key
// before the first colon that no other failure shares, and the table in the order of its ids.
TEST(PortToolTexts, EachFailureIsOneLineWithAKeyOfItsOwn) {
    std::set<std::string> keys;
    for (int i = 0; i < TEXT_COUNT; i++) {
        const TextEntry& t = TEXTS[i];
        EXPECT_EQ(t.id, i) << t.format;
        if (!t.failure)
            continue;
        const std::string text = t.format;
        EXPECT_EQ(text.find('\n'), std::string::npos) << text;
        const size_t colon = text.find(':');
        ASSERT_NE(colon, std::string::npos) << text;
        EXPECT_EQ(text.find("%s"), text.find("%s", colon)) << "an argument in the key: " << text;
        EXPECT_TRUE(keys.insert(text.substr(0, colon)).second) << "key used twice: " << text;
    }
    // A name with a line end in it cannot break a failure line in two.
    EXPECT_EQ(Say(TEXT_BAD_NAME, {"COM3\r\nX"}),
              "Not a port name: \"COM3??X\". Write COM and the port's number, for example COM3.");
}

TEST(PortToolNames, ComAndANumberInTheFormTarvexCfgGets) {
    const struct {
        const char* text;
        const char* name; // nullptr: refused
    } cases[] = {
        {"COM3", "COM3"},           {"com3", "COM3"},         {"Com12:", "COM12"},
        {"COM999999", "COM999999"}, {"COM1234567", nullptr},  {"COM0", nullptr},
        {"COM03", nullptr},         {"COM", nullptr},         {"COM:", nullptr},
        {"COMx", nullptr},          {"COM3x", nullptr},       {"LPT1", nullptr},
        {"COM3\n", nullptr},        {"COM3::", nullptr},      {" COM3", nullptr},
        {"", nullptr},              {"\\\\.\\COM3", nullptr}, {"COM-1", nullptr},
    };
    for (const auto& c : cases) {
        std::string name = "unchanged";
        EXPECT_EQ(CanonicalPortName(c.text, &name), c.name != nullptr) << c.text;
        EXPECT_EQ(name, c.name ? c.name : "unchanged") << c.text;
    }
}

TEST(PortToolCommandLine, AWrongOneGetsTheUsageAndStatus2) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{}, {"lst"}, {"list", "COM3"}, {"check"},
                                               {"use", "COM3", "COM4"}, {"COM3"}}) {
        Reset();
        const Said run = RunWith(args);
        EXPECT_EQ(run.status, 2);
        ASSERT_EQ(run.lines.size(), 1u);
        EXPECT_EQ(run.lines[0].rfind("err: Usage: tarvex-port list | check COMn | use COMn\n", 0),
                  0u)
            << run.lines[0];
    }
    for (const char* command : {"check", "use"}) {
        Reset();
        const Said run = RunWith({command, "COM3\n"});
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.lines, std::vector<std::string>{"err: " + Say(TEXT_BAD_NAME, {"COM3\n"})});
        EXPECT_EQ(fakeOs.portOpenCalls, 0);
        EXPECT_FALSE(configPresent);
    }
}

TEST(PortToolList, PortsByNumberWithTheirDevicesOrWhyThereAreNone) {
    const struct {
        const char* what;
        PortMapRead read;
        std::vector<SerialPortEntry> map;
        int status;
        std::vector<std::string> lines;
    } cases[] = {
        {"by number, not by text",
         PortMapRead::Read,
         {{"COM10", "\\Device\\VCP0"}, {"COM2", "\\Device\\Serial1"}, {"COM1", "\\Device\\Serial0"},
          {"COM123456", "\\Device\\Silabser0"}},
         0,
         {"out: COM1    \\Device\\Serial0", "out: COM2    \\Device\\Serial1",
          "out: COM10   \\Device\\VCP0", "out: COM123456 \\Device\\Silabser0"}},
        {"a port without a device name, and a name that is no COM port last",
         PortMapRead::Read,
         {{"CNCA0", "\\Device\\com0com10"}, {"COM4", ""}},
         0,
         {"out: COM4", "out: CNCA0   \\Device\\com0com10"}},
        {"the key there but empty", PortMapRead::Read, {}, 1, {"err: " + Say(TEXT_NO_PORTS)}},
        {"no key", PortMapRead::NoMap, {}, 1, {"err: " + Say(TEXT_NO_PORTS)}},
        {"the registry refuses", PortMapRead::Failed, {}, 1,
         {"err: Cannot read the port list: Windows error 5. Look for the adapter in Device "
          "Manager, under Ports (COM & LPT)."}},
    };
    for (const auto& c : cases) {
        Reset();
        tool.mapRead = c.read;
        tool.map = c.map;
        tool.mapError = 5;
        const Said run = RunWith({"list"});
        EXPECT_EQ(run.status, c.status) << c.what;
        EXPECT_EQ(run.lines, c.lines) << c.what;
    }
}

// The check against the ECU model's adapters on COM9. Whatever the outcome, the port was set up
// as Tarvex sets it up, RTS is left off, the port is closed, and the ECU was never woken.
TEST(PortToolCheck, PassesOnlyAnAdapterThatEchoesAndHoldsTheLineLowOnRts) {
    const std::string ready = "out: " + Say(TEXT_PORT_READY, {"COM9", "COM9"});
    const std::string echoOk = "out: Echo OK: 55 AA 0F F0 sent on COM9 came back as sent.";
    const std::string notChecked = "out: " + Say(TEXT_RTS_NOT_CHECKED);
    const struct {
        const char* what;
        bool rtsIgnored, noEcho;
        int corruptEchoOf; // the fake adapter returns this byte's first echo inverted
        int status;
        std::vector<std::string> lines;
    } cases[] = {
        {"a healthy adapter", false, false, -1, 0,
         {echoOk, "out: RTS OK: with RTS on, the K-line is held low: 55 sent, 00 back.", ready}},
        {"an adapter that ignores RTS", true, false, -1, 1,
         {echoOk, "err: " + Say(TEXT_RTS_IGNORED, {"COM9"})}},
        {"no echo", false, true, -1, 1, {"err: " + Say(TEXT_NO_ECHO, {"COM9"}), notChecked}},
        {"a wrong echo", false, false, 0xAA, 1,
         {"err: Wrong echo: sent 55 AA 0F F0 on COM9, got back 55 55 0F F0 (-- for nothing). The "
          "adapter does not run at 9600 baud, or it is broken: try another adapter.",
          notChecked}},
    };
    for (const auto& c : cases) {
        Reset();
        ecusim::Scenario scenario;
        scenario.rtsIgnored = c.rtsIgnored;
        scenario.noEcho = c.noEcho;
        AttachEcu(scenario);
        fakeOs.corruptEchoOfFirst = c.corruptEchoOf;
        const Said run = RunWith({"check", "com9"});
        EXPECT_EQ(run.status, c.status) << c.what;
        EXPECT_EQ(run.lines, c.lines) << c.what;
        EXPECT_EQ(fakeOs.openedPort, L"\\\\.\\COM9") << c.what;
        ASSERT_FALSE(fakeOs.appliedSettings.empty()) << c.what;
        LineSettings tarvex = fakeOs.driverSettings;
        SetKLineSettings(&tarvex);
        EXPECT_EQ(fakeOs.appliedSettings.back(), tarvex) << c.what;
        EXPECT_EQ(fakeOs.readsWithoutTimeouts, 0) << c.what;
        ASSERT_FALSE(fakeOs.rts.empty()) << c.what;
        EXPECT_EQ(fakeOs.rts.back().second, 0) << c.what;
        EXPECT_FALSE(fakeOs.portOpen) << c.what;
        EXPECT_EQ(fakeOs.ecu->stats().wakeUps, 0u) << c.what;
    }
}

TEST(PortToolCheck, APortThatDoesNotOpenOrFailsSaysWhyAndLeavesRtsOff) {
    const struct {
        const char* what;
        OpenFailure open; // with COM9 not among the ports that open
        int failAt;       // else the serial operation that fails, counted from the open as 1
        std::string line;
    } cases[] = {
        {"no such port", OpenFailure::NoSuchPort, 0, Say(TEXT_NO_SUCH_PORT, {"COM9"})},
        {"in use", OpenFailure::InUse, 0, Say(TEXT_PORT_IN_USE, {"COM9"})},
        {"another error", OpenFailure::Other, 0, Say(TEXT_CANNOT_OPEN, {"COM9", "31"})},
        {"time-outs refused", OpenFailure::Other, 2, Say(TEXT_CANNOT_SET_UP, {"COM9"})},
        {"settings refused", OpenFailure::Other, 4, Say(TEXT_CANNOT_SET_UP, {"COM9"})},
        {"RTS refused", OpenFailure::Other, 6, Say(TEXT_CANNOT_SWITCH_RTS, {"COM9"})},
        {"a write fails", OpenFailure::Other, 9, Say(TEXT_PORT_FAILED, {"COM9"})},
        {"RTS on refused", OpenFailure::Other, 17, Say(TEXT_CANNOT_SWITCH_RTS, {"COM9"})},
        {"the write with RTS on fails", OpenFailure::Other, 20, Say(TEXT_PORT_FAILED, {"COM9"})},
    };
    for (const auto& c : cases) {
        Reset();
        AttachEcu();
        tool.openFailure = c.open;
        tool.openError = 31;
        if (c.failAt)
            fakeOs.failAt = c.failAt;
        else
            fakeOs.openablePorts.clear();
        const Said run = RunWith({"check", "COM9"});
        EXPECT_EQ(run.status, 1) << c.what;
        ASSERT_FALSE(run.lines.empty()) << c.what;
        EXPECT_EQ(run.lines.back(), "err: " + c.line) << c.what;
        EXPECT_FALSE(fakeOs.portOpen) << c.what;
        EXPECT_TRUE(fakeOs.rts.empty() || fakeOs.rts.back().second == 0) << c.what;
    }
}

TEST(PortToolUse, WritesTheNameWithoutALineEndSaysWhatWasThereAndReadsItBack) {
    const std::string opensCom3 = "out: Tarvex will open COM3 (as \\\\.\\COM3).";
    const struct {
        const char* what;
        const char* arg;
        bool present;
        ConfigReadResult config; // of the file there before
        std::string before;
        bool writeFails;
        std::string writtenInstead;
        int status;
        std::vector<std::string> lines;
        std::string after;
    } cases[] = {
        {"no file yet", "com12", false, ConfigMissing, "", false, "", 0,
         {"out: Wrote Tarvex.cfg: \"COM12\" (there was none).",
          "out: Tarvex will open COM12 (as \\\\.\\COM12)."},
         "COM12"},
        {"a file written by an editor", "COM3", true, ConfigRead, "COM9:\r\n", false, "", 0,
         {"out: Replaced Tarvex.cfg: it held \"COM9:\\r\\n\", now \"COM3\".", opensCom3}, "COM3"},
        {"a long file, shown cut", "COM3", true, ConfigRead, std::string(45, 'x') + '\0', false,
         "", 0,
         {"out: Replaced Tarvex.cfg: it held \"" + std::string(40, 'x') + "\"..., now \"COM3\".",
          opensCom3},
         "COM3"},
        {"an unreadable file", "COM3", true, ConfigUnreadable, "", false, "", 0,
         {"out: Replaced Tarvex.cfg: it held what could not be read, now \"COM3\".", opensCom3},
         "COM3"},
        {"the same name already", "COM3:", true, ConfigRead, "COM3", false, "", 0,
         {"out: Tarvex.cfg already holds \"COM3\".", opensCom3}, "COM3"},
        {"the folder is not writable", "COM3", true, ConfigRead, "COM9:", true, "", 1,
         {"err: Cannot write Tarvex.cfg: Windows error 5. Run tarvex-port use in the folder "
          "Tarvex starts in, as a user who may write there."},
         "COM9:"},
        {"another program writes it meanwhile", "COM3", false, ConfigMissing, "", false,
         "COM3\n", 1,
         {"out: Wrote Tarvex.cfg: \"COM3\" (there was none).",
          "err: Read-back differs: Tarvex.cfg holds \"COM3\\n\", not \"COM3\". Another program "
          "may be changing it: close it and run tarvex-port use again."},
         "COM3\n"},
    };
    for (const auto& c : cases) {
        Reset();
        configPresent = c.present;
        fakeOs.config = c.config;
        fakeOs.configBytes = c.before;
        tool.writeFails = c.writeFails;
        tool.writtenInstead = c.writtenInstead;
        const Said run = RunWith({"use", c.arg});
        EXPECT_EQ(run.status, c.status) << c.what;
        EXPECT_EQ(run.lines, c.lines) << c.what;
        EXPECT_EQ(fakeOs.configBytes, c.after) << c.what;
        EXPECT_EQ(fakeOs.portOpenCalls, 0) << c.what;
    }
}
