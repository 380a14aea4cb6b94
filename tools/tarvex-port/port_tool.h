// tarvex-port's commands: list the COM ports, check the adapter on one, make Tarvex open one.
// They reach the port through Tarvex's own code (link/serial_line.h over platform/platform.h), so
// the port is opened and set up exactly as Tarvex does it, and everything else through
// tool_os.h. Start reading at RunTool().
#pragma once

#include <functional>
#include <string>
#include <vector>

// Where the commands' lines go: results to standard output, failures and the usage to standard
// error. Each call is one line, or several for the usage, without its line end.
struct ToolOutput {
    std::function<void(const std::string&)> result;
    std::function<void(const std::string&)> failure;
};

// The exit status: 0 when the command did what it says, 1 when it failed (the last failure line
// says why), 2 for a wrong command line. args: the words after the program's name.
int RunTool(const std::vector<std::string>& args, const ToolOutput& out);

// A port name as the user may write it ("COM3", "com3", "COM12:") in the one form Tarvex.cfg
// gets ("COM3", "COM12"); false for anything that is not COM and a port number, or would be
// longer than the names Tarvex accepts.
bool CanonicalPortName(const std::string& text, std::string* name);

// The order of the port list: COM ports by number (COM2 before COM10), then any other names.
bool PortListOrder(const std::string& a, const std::string& b);

// The four bytes whose echoes are checked: alternate bits, and each half of the byte high in
// turn, so that a wrong speed or a stuck data line shows in at least one of them.
constexpr unsigned char ECHO_PROBE[] = {0x55, 0xAA, 0x0F, 0xF0};
// The byte written while RTS holds the line low.
constexpr unsigned char HELD_LOW_PROBE = 0x55;
