// tarvex-port's commands. See port_tool.h.
#include "port_tool.h"

#include "app/session.h"
#include "link/serial_line.h"
#include "platform/platform.h"
#include "texts.h"
#include "tool_os.h"

#include <algorithm>
#include <cstdint>
#include <cwchar>

namespace {

// The longest wait for one echo. A byte takes about a millisecond at 9600 baud; a USB adapter
// may hold it back for its latency timer (16 ms unless set lower) and Windows rounds the wait
// up to its timer tick. A silent line costs the check at most this per byte.
constexpr uint32_t ECHO_WAIT_MS = 250;
// After RTS is switched, the line and the adapter settle before anything is written or read:
// what arrived meanwhile (a break read at the fall of the line) is purged, not taken as an echo.
constexpr uint32_t RTS_SETTLE_MS = 20;
// The line idle high before the first byte: a port just opened switches DTR on, which powers
// some adapters, and whatever they send while they come up is purged after this.
constexpr uint32_t IDLE_BEFORE_CHECK_MS = 100;
// Tarvex.cfg is read back as Tarvex reads it, up to this many bytes; longer files are shown cut.
constexpr uint32_t CONFIG_READ_BYTES = 200;
constexpr size_t CONFIG_SHOWN_BYTES = 40;

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// A byte in hex ("0F"), or "--" for none.
std::string Hex(int byte) {
    if (byte < 0)
        return "--";
    const char digits[] = "0123456789ABCDEF";
    return {digits[(byte >> 4) & 0xF], digits[byte & 0xF]};
}

std::string HexBytes(const std::vector<int>& bytes) {
    std::string out;
    for (int b : bytes)
        out += (out.empty() ? "" : " ") + Hex(b);
    return out;
}

// The file's bytes as a quoted text, control characters and non-ASCII bytes escaped, so that a
// line end or a NUL in it shows.
std::string Quoted(const std::string& bytes) {
    std::string out = "\"";
    for (size_t i = 0; i < bytes.size() && i < CONFIG_SHOWN_BYTES; i++) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '"' || c == '\\')
            out += std::string("\\") + static_cast<char>(c);
        else if (c >= 0x20 && c < 0x7F)
            out += static_cast<char>(c);
        else
            out += "\\x" + Hex(c);
    }
    return out + (bytes.size() > CONFIG_SHOWN_BYTES ? "\"..." : "\"");
}

// The number of a "COM" port name, or 0 for any other name.
unsigned long ComNumber(const std::string& name) {
    std::string canonical;
    return CanonicalPortName(name, &canonical) ? std::stoul(canonical.substr(3)) : 0;
}

// --- list ------------------------------------------------------------------------------------

int ListPorts(const ToolOutput& out) {
    std::vector<SerialPortEntry> ports;
    unsigned long error = 0;
    const PortMapRead read = ToolReadSerialPortMap(&ports, &error);
    if (read == PortMapRead::Failed) {
        out.failure(Say(TEXT_PORT_LIST_UNREADABLE, {std::to_string(error)}));
        return 1;
    }
    if (ports.empty()) {
        out.failure(Say(TEXT_NO_PORTS));
        return 1;
    }
    std::stable_sort(ports.begin(), ports.end(), [](const auto& a, const auto& b) {
        return PortListOrder(a.port, b.port);
    });
    for (const SerialPortEntry& p : ports) {
        std::string line = p.port;
        if (!p.device.empty())
            line += std::string(line.size() < 8 ? 8 - line.size() : 1, ' ') + p.device;
        out.result(Say(TEXT_PORT_LINE, {line}));
    }
    return 0;
}

// --- check -----------------------------------------------------------------------------------

enum class Verdict { Pass, Fail };

// Writes one byte and reads what comes back within the echo wait: the byte, or -1 for nothing.
// False when the port itself failed.
bool Exchange(uint8_t byte, int* back) {
    uint8_t got = 0;
    uint32_t received = 0;
    if (!OsWritePortByte(byte) || !OsReadPortByte(&got, &received))
        return false;
    *back = received ? got : -1;
    return true;
}

// Switches RTS and lets the line settle; whatever the switch itself put in the buffers goes.
bool SwitchRts(int asserted) {
    if (!OsSetRts(asserted))
        return false;
    OsSleep(RTS_SETTLE_MS);
    OsPurgePort();
    OsClearLineErrors();
    return true;
}

// The two things Tarvex relies on, on a port that is open: each byte comes back as its echo
// while RTS is off, and while RTS is on the K-line is held low, so a byte written then does not
// come back as itself (a line held low reads as 0x00, a break, or as nothing).
Verdict CheckOpenPort(const std::string& name, const ToolOutput& out) {
    // Tarvex's own settings, applied twice as Tarvex applies them for drivers that take the
    // rate only at the second setting.
    if (!OsApplyPortTimeouts(ECHO_WAIT_MS) || !ConfigureLine(2)) {
        out.failure(Say(TEXT_CANNOT_SET_UP, {name}));
        return Verdict::Fail;
    }
    if (!OsSetRts(0)) {
        out.failure(Say(TEXT_CANNOT_SWITCH_RTS, {name}));
        return Verdict::Fail;
    }
    OsSleep(IDLE_BEFORE_CHECK_MS);
    OsPurgePort();
    OsClearLineErrors();

    std::vector<int> sent(std::begin(ECHO_PROBE), std::end(ECHO_PROBE)), back;
    for (int byte : sent) {
        back.push_back(-1);
        if (!Exchange(static_cast<uint8_t>(byte), &back.back())) {
            out.failure(Say(TEXT_PORT_FAILED, {name}));
            return Verdict::Fail;
        }
    }
    if (std::all_of(back.begin(), back.end(), [](int b) { return b < 0; })) {
        out.failure(Say(TEXT_NO_ECHO, {name}));
        out.result(Say(TEXT_RTS_NOT_CHECKED));
        return Verdict::Fail;
    }
    if (back != sent) {
        out.failure(Say(TEXT_WRONG_ECHO, {HexBytes(sent), name, HexBytes(back)}));
        out.result(Say(TEXT_RTS_NOT_CHECKED));
        return Verdict::Fail;
    }
    out.result(Say(TEXT_ECHO_OK, {HexBytes(sent), name}));

    int heldLow = -1;
    if (!SwitchRts(1)) {
        out.failure(Say(TEXT_CANNOT_SWITCH_RTS, {name}));
        return Verdict::Fail;
    }
    const bool exchanged = Exchange(HELD_LOW_PROBE, &heldLow);
    if (!SwitchRts(0)) {
        out.failure(Say(TEXT_CANNOT_SWITCH_RTS, {name}));
        return Verdict::Fail;
    }
    if (!exchanged) {
        out.failure(Say(TEXT_PORT_FAILED, {name}));
        return Verdict::Fail;
    }
    if (heldLow == HELD_LOW_PROBE) {
        out.failure(Say(TEXT_RTS_IGNORED, {name}));
        return Verdict::Fail;
    }
    out.result(Say(TEXT_RTS_OK, {Hex(HELD_LOW_PROBE), heldLow < 0 ? "nothing" : Hex(heldLow)}));
    return Verdict::Pass;
}

int CheckPort(const std::string& name, const ToolOutput& out) {
    if (!OpenPort(Widen(name).c_str())) {
        unsigned long error = 0;
        switch (ToolLastOpenFailure(&error)) {
        case OpenFailure::NoSuchPort: out.failure(Say(TEXT_NO_SUCH_PORT, {name})); break;
        case OpenFailure::InUse: out.failure(Say(TEXT_PORT_IN_USE, {name})); break;
        case OpenFailure::Other:
            out.failure(Say(TEXT_CANNOT_OPEN, {name, std::to_string(error)}));
            break;
        }
        return 1;
    }
    const Verdict verdict = CheckOpenPort(name, out);
    // Whatever happened, the line is left released (a K-line held low would keep the ECU from
    // hearing the next wake-up) and the port free for Tarvex.
    OsSetRts(0);
    OsClosePort();
    if (verdict == Verdict::Fail)
        return 1;
    out.result(Say(TEXT_PORT_READY, {name, name}));
    return 0;
}

// --- use -------------------------------------------------------------------------------------

// Tarvex.cfg's bytes as Tarvex reads them; false when it cannot be read (or is not there).
bool ReadConfig(std::string* bytes) {
    uint8_t buffer[CONFIG_READ_BYTES];
    uint32_t length = 0;
    if (OsReadConfigFile(buffer, sizeof buffer, &length) != ConfigRead)
        return false;
    bytes->assign(buffer, buffer + length);
    return true;
}

int UsePort(const std::string& name, const ToolOutput& out) {
    // Tarvex takes the file's bytes, exactly as they stand, as the name: no line end.
    std::string before;
    const bool existed = ToolConfigFileExists();
    const bool readable = existed && ReadConfig(&before);
    if (readable && before == name) {
        out.result(Say(TEXT_CONFIG_KEPT, {name}));
    } else {
        unsigned long error = 0;
        if (!ToolWriteConfigFile(name, &error)) {
            out.failure(Say(TEXT_CONFIG_UNWRITABLE, {std::to_string(error)}));
            return 1;
        }
        if (!existed)
            out.result(Say(TEXT_CONFIG_WRITTEN, {name}));
        else
            out.result(Say(TEXT_CONFIG_REPLACED,
                           {readable ? Quoted(before) : "what could not be read", name}));
    }
    std::string after;
    const bool readBack = ReadConfig(&after);
    if (!readBack || after != name) {
        const std::string held = readBack                ? Quoted(after)
                                 : ToolConfigFileExists() ? "what could not be read"
                                                          : "nothing";
        out.failure(Say(TEXT_READ_BACK_DIFFERS, {held, name}));
        return 1;
    }
    wchar_t path[DEVICE_PATH_CHARS];
    DevicePathOf(Widen(name).c_str(), path);
    out.result(Say(TEXT_TARVEX_WILL_OPEN, {name, std::string(path, path + std::wcslen(path))}));
    return 0;
}

} // namespace

bool CanonicalPortName(const std::string& text, std::string* name) {
    std::string t = text;
    if (!t.empty() && t.back() == ':')
        t.pop_back();
    if (t.size() < 4 || (t[0] | 0x20) != 'c' || (t[1] | 0x20) != 'o' || (t[2] | 0x20) != 'm' ||
        t[3] == '0')
        return false;
    for (size_t i = 3; i < t.size(); i++)
        if (t[i] < '0' || t[i] > '9')
            return false;
    // As Tarvex.cfg's content, the name must be one Tarvex takes whole.
    if (t.size() > static_cast<size_t>(PORT_NAME_CHARS))
        return false;
    *name = "COM" + t.substr(3);
    return true;
}

bool PortListOrder(const std::string& a, const std::string& b) {
    const unsigned long na = ComNumber(a), nb = ComNumber(b);
    if (na && nb)
        return na < nb;
    if (na || nb)
        return na != 0; // COM ports first
    return a < b;
}

int RunTool(const std::vector<std::string>& args, const ToolOutput& out) {
    const std::string command = args.empty() ? "" : args[0];
    if (command == "list" && args.size() == 1)
        return ListPorts(out);
    if ((command == "check" || command == "use") && args.size() == 2) {
        std::string name;
        if (!CanonicalPortName(args[1], &name)) {
            out.failure(Say(TEXT_BAD_NAME, {args[1]}));
            return 2;
        }
        return command == "check" ? CheckPort(name, out) : UsePort(name, out);
    }
    out.failure(Say(TEXT_USAGE));
    return 2;
}
