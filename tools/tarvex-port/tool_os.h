// What tarvex-port needs of Windows beyond Tarvex's own seam (platform/platform.h), which it
// uses for the port itself and for reading Tarvex.cfg: the list of serial ports, why a port did
// not open, and writing Tarvex.cfg, which Tarvex never does. tool_os_win.cpp implements it; the
// unit tests have their own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One value of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, where each serial port driver enters its
// ports: the value's name is the device, its data the port's name.
struct SerialPortEntry {
    std::string port;   // "COM3"
    std::string device; // "\Device\Serial2"; may be empty
};

enum class PortMapRead {
    Read,   // *ports holds every entry, in the order the registry gave them
    NoMap,  // the key is not there: no driver has entered a port since Windows started
    Failed, // *error says why
};
PortMapRead ToolReadSerialPortMap(std::vector<SerialPortEntry>* ports, unsigned long* error);

// Why the port open that has just failed (OsOpenPort, with no other system call after it)
// failed.
enum class OpenFailure {
    NoSuchPort, // the system knows no device of that name
    InUse,      // a COM port is opened by one program at a time, and another has it
    Other,      // *error says what
};
OpenFailure ToolLastOpenFailure(unsigned long* error);

// Whether a Tarvex.cfg is in the working folder, readable or not.
int ToolConfigFileExists();
// Creates or replaces Tarvex.cfg in the working folder with exactly these bytes; 0 and *error
// on failure.
int ToolWriteConfigFile(const std::string& bytes, unsigned long* error);
