// The texts of tarvex-port. A failure line says what is wrong and what to do next, in words a
// driver at the car understands; its start, up to the first colon, is the same every time.
#include "texts.h"

namespace {

// Bytes that are neither a letter nor a digit nor plain punctuation are shown as "?", so that
// a name taken from the command line cannot break a line in two.
std::string Printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text)
        out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    return out;
}

} // namespace

// id | failure | text
const TextEntry TEXTS[TEXT_COUNT] = {
    {TEXT_BAD_NAME, true,
     "Not a port name: \"%s\". Write COM and the port's number, for example COM3."},
    {TEXT_NO_PORTS, true,
     "No COM ports: Windows knows none. Plug the adapter in, wait until Windows has set it up, "
     "then run tarvex-port list again."},
    {TEXT_PORT_LIST_UNREADABLE, true,
     "Cannot read the port list: Windows error %s. Look for the adapter in Device Manager, under "
     "Ports (COM & LPT)."},
    {TEXT_NO_SUCH_PORT, true,
     "No such port: %s. Run tarvex-port list to see the ports Windows knows; plug the adapter in "
     "if it is not there."},
    {TEXT_PORT_IN_USE, true,
     "Port in use: another program has %s open. Close it (Tarvex, a terminal program, the "
     "adapter's own software), then check again."},
    {TEXT_CANNOT_OPEN, true,
     "Cannot open the port: %s, Windows error %s. Unplug the adapter, plug it in again, then "
     "check again."},
    {TEXT_CANNOT_SET_UP, true,
     "Cannot set up the port: %s refused 9600 baud, 8 data bits, no parity, 1 stop bit. Reinstall "
     "the adapter's driver, or use another adapter."},
    {TEXT_CANNOT_SWITCH_RTS, true,
     "Cannot switch RTS: %s refused it. Tarvex wakes the ECU with RTS: use an adapter whose "
     "driver can switch it."},
    {TEXT_PORT_FAILED, true,
     "Port failed: reading or writing %s failed. Unplug the adapter, plug it in again, then "
     "check again."},
    {TEXT_NO_ECHO, true,
     "No echo: nothing came back on %s. Plug the adapter into the car's diagnostic socket and "
     "switch the ignition on: it takes its power from there. If it is plugged in and still "
     "silent, it is not a K-line adapter."},
    {TEXT_WRONG_ECHO, true,
     "Wrong echo: sent %s on %s, got back %s (-- for nothing). The adapter does not run at 9600 "
     "baud, or it is broken: try another adapter."},
    {TEXT_RTS_IGNORED, true,
     "RTS ignored: with RTS on, %s still returned what was sent. This adapter cannot pull the "
     "K-line low, so it cannot wake the ECU: use one that switches the K-line with RTS."},
    {TEXT_CONFIG_UNWRITABLE, true,
     "Cannot write Tarvex.cfg: Windows error %s. Run tarvex-port use in the folder Tarvex starts "
     "in, as a user who may write there."},
    {TEXT_READ_BACK_DIFFERS, true,
     "Read-back differs: Tarvex.cfg holds %s, not \"%s\". Another program may be changing it: "
     "close it and run tarvex-port use again."},
    {TEXT_PORT_LINE, false, "%s"},
    {TEXT_ECHO_OK, false, "Echo OK: %s sent on %s came back as sent."},
    {TEXT_RTS_OK, false, "RTS OK: with RTS on, the K-line is held low: %s sent, %s back."},
    {TEXT_RTS_NOT_CHECKED, false, "RTS not checked: the echo has to work first."},
    {TEXT_PORT_READY, false,
     "%s is ready for Tarvex. To make Tarvex open it: tarvex-port use %s"},
    {TEXT_CONFIG_WRITTEN, false, "Wrote Tarvex.cfg: \"%s\" (there was none)."},
    {TEXT_CONFIG_REPLACED, false, "Replaced Tarvex.cfg: it held %s, now \"%s\"."},
    {TEXT_CONFIG_KEPT, false, "Tarvex.cfg already holds \"%s\"."},
    {TEXT_TARVEX_WILL_OPEN, false, "Tarvex will open %s (as %s)."},
    {TEXT_USAGE, false,
     "Usage: tarvex-port list | check COMn | use COMn\n"
     "  list        the COM ports Windows knows, each with its device\n"
     "  check COMn  whether the adapter on COMn echoes every byte and holds the K-line low\n"
     "              while RTS is on, as Tarvex needs; exit status 0 when it does\n"
     "  use COMn    make Tarvex open COMn: writes Tarvex.cfg in this folder"},
};

std::string Say(TextId id, const std::vector<std::string>& arguments) {
    std::string out;
    size_t next = 0;
    for (const char* f = TEXTS[id].format; *f; f++) {
        if (f[0] == '%' && f[1] == 's') {
            out += next < arguments.size() ? Printable(arguments[next++]) : "";
            f++;
        } else {
            out += *f;
        }
    }
    return out;
}
