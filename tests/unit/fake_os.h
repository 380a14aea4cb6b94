// The fake platform the unit tests link instead of the Win32 one: the log file is a string, the
// clock is a number the test moves, message boxes and status texts are recorded.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct FakeMessage {
    std::wstring text;
    std::wstring caption;
    int ownedByMainWindow;
};

struct FakeOs {
    // Log file.
    bool logCreateFails = false;
    bool logOpen = false;
    bool logReopenFails = false;
    std::string logFile;                          // the bytes of "Tarvex.log"
    std::map<std::wstring, std::string> files;    // copies made by OsCopyLogFile
    bool copyFails = false;
    std::mutex logMutex;

    // "Tarvex.cfg": absent unless configPresent.
    bool configPresent = false;
    bool configUnreadable = false;
    std::string configBytes;

    // Serial port: names that open, and what was opened.
    std::vector<std::wstring> openablePorts = {L"COM9:"};
    bool portOpen = false;
    std::wstring openedPort;
    int portOpenCalls = 0;

    // The user.
    std::vector<FakeMessage> messages;
    std::vector<std::wstring> statusTexts;
    std::vector<std::wstring> pauseTexts;
    std::wstring saveAnswer;                      // empty: the user cancels the dialog
    int saveDialogs = 0;

    // Time.
    uint64_t nowUs = 1000000;
    std::wstring timeText = L"8:17:45 PM";
};

extern FakeOs fakeOs;

// Puts the fake and the program's shared state back to the state of a fresh start.
void ResetFakeOs();
