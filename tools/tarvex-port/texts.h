// Every text tarvex-port prints, in one table (texts.cpp). The user guide quotes them, and its
// troubleshooting table is keyed on the failure lines: each is one line whose start, up to its
// first colon, names the failure and never changes; what varies (a port's name, an error code,
// bytes) comes after it.
#pragma once

#include <string>
#include <vector>

enum TextId {
    // Failures: one line each, on standard error.
    TEXT_BAD_NAME,
    TEXT_NO_PORTS,
    TEXT_PORT_LIST_UNREADABLE,
    TEXT_NO_SUCH_PORT,
    TEXT_PORT_IN_USE,
    TEXT_CANNOT_OPEN,
    TEXT_CANNOT_SET_UP,
    TEXT_CANNOT_SWITCH_RTS,
    TEXT_PORT_FAILED,
    TEXT_NO_ECHO,
    TEXT_WRONG_ECHO,
    TEXT_RTS_IGNORED,
    TEXT_CONFIG_UNWRITABLE,
    TEXT_READ_BACK_DIFFERS,
    // Results, on standard output.
    TEXT_PORT_LINE,
    TEXT_ECHO_OK,
    TEXT_RTS_OK,
    TEXT_RTS_NOT_CHECKED,
    TEXT_PORT_READY,
    TEXT_CONFIG_WRITTEN,
    TEXT_CONFIG_REPLACED,
    TEXT_CONFIG_KEPT,
    TEXT_TARVEX_WILL_OPEN,
    // The usage, several lines, on standard error.
    TEXT_USAGE,
    TEXT_COUNT
};

struct TextEntry {
    TextId id;          // the entry's own place in the table (the tests hold it to that)
    bool failure;       // a failure line: standard error, one line, its start fixed
    const char* format; // "%s" takes the next argument, as text; nothing else is special
};

extern const TextEntry TEXTS[TEXT_COUNT];

// The text with its "%s" replaced by the arguments in turn.
std::string Say(TextId id, const std::vector<std::string>& arguments = {});
