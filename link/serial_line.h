// The serial line to the K-line adapter: the two one-byte transfer buffers, their read and write
// primitives, and the 5-baud wake-up of the ECU.
#pragma once

#include <atomic>
#include <cstdint>

constexpr uint32_t LINE_BAUD_RATE = 9600;
constexpr uint32_t READ_WAIT_MS = 1500; // longest wait for one byte
constexpr int DEVICE_PATH_CHARS = 16;   // "\\.\" and a port name of up to 9 characters

struct LineSettings;

extern uint8_t rxByte; // the last byte read; kept until a read delivers another
extern uint8_t txByte; // the last byte written

// Reads one byte into rxByte. A read that delivers no byte within its wait, or fails, is a failed
// read (0): a silent line must not pass the previous byte off as a new one.
int ReadByte();
// Writes b through txByte. Its result is the success of the port write.
int WriteByte(uint8_t b);

// The path a port name opens as. Windows opens COM10 and above only by their device path,
// "\\.\COM10", which serves every COM port; so "COM" and a number, with or without a colon,
// becomes that path. Other names are opened as written.
void DevicePathOf(const wchar_t* name, wchar_t path[DEVICE_PATH_CHARS]);
// Opens the named port, and keeps its path: an adapter pulled out and plugged back in comes back
// under the same name, and ReopenPort opens it again (0 before any OpenPort).
int OpenPort(const wchar_t* name);
int ReopenPort();

// Tarvex's line settings over those the driver reported: 9600 baud 8N1, DTR on, RTS by hand, no
// flow control, binary, no abort on line errors.
void SetKLineSettings(LineSettings* settings);
// Reads the port's settings, sets Tarvex's and applies them: `times` applications, each whole.
int ConfigureLine(int times);

// Applies the line settings, sends the address 0x10 at 5 baud on RTS, checks the sync byte and
// the two keywords and answers the complement of the second. 1 when the ECU is awake; 0 after
// logging why not.
int WakeUpEcu();
