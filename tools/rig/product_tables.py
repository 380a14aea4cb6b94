"""What the rig needs to know of Tarvex's own tables, read from its sources rather than typed
again: the fixed texts of Tarvex.log (log/log_texts.h) and the channels' rows
(channels/channel_table.cpp). A text or a row changed there changes here too.
"""
import os
import re

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))

# inline constexpr wchar_t LOG_NAME[] = L"text"; (the literal may be on the next line)
_TEXT = re.compile(r'inline constexpr (?:wchar_t|char) (LOG_\w+)\[\] =\s*L?"((?:[^"\\]|\\.)*)";')
# {L"Name", controlId, kind, {a, b, c}, Group, ColourRgb(r, g, b), Conversion},
_ROW = re.compile(r'\{L"([^"]+)", (\d+), (\w+), \{([^}]*)\}, (\w+), '
                  r'ColourRgb\((\d+), (\d+), (\d+)\), (\w+)\}')
# enum UnitGroupId { FahrGroup, ..., UNIT_GROUP_COUNT };  and each unit's row:
# {L"Fahr", -50.0f, 450.0f, "%5.2f F", false},
_GROUPS = re.compile(r"enum UnitGroupId \{([^}]*)\}")
_UNIT = re.compile(r'\{L"\w+", -?[\d.]+f, -?[\d.]+f, "([^"]+)", (?:true|false)\}')
_ESCAPES = {"r": "\r", "n": "\n", "t": "\t", "\\": "\\", '"': '"'}
# printf conversions as the log's formats use them, and what each can write
_FIELD = re.compile(r"%(\d*)\.?(\d*)([dxX])")


def _read(relative):
    with open(os.path.join(ROOT, relative), encoding="utf-8") as f:
        return f.read()


def log_texts():
    """{name: bytes} of every fixed text of the log, its escapes undone."""
    texts = {}
    for name, literal in _TEXT.findall(_read("log/log_texts.h")):
        text = re.sub(r"\\(.)", lambda m: _ESCAPES[m.group(1)], literal)
        texts[name] = text.encode("latin-1")
    if not texts:
        raise RuntimeError("no texts found in log/log_texts.h")
    return texts


def format_pattern(fmt):
    """A regular expression (bytes) for the lines a printf format of the log writes: each %d a
    number (a group), each %x/%X hex digits, the rest as it stands."""
    out, at = b"", 0
    for m in _FIELD.finditer(fmt.decode("latin-1")):
        out += re.escape(fmt[at:m.start()])
        width, kind = m.group(1), m.group(3)
        if kind == "d":
            out += rb"(-?\d+)"
        else:
            digits = b"0-9A-F" if kind == "X" else b"0-9a-f"
            out += b"[ " + digits + b"]{" + width.encode() + b"}" if width else b"[" + digits + b"]+"
        at = m.end()
    return out + re.escape(fmt[at:])


def channel_rows():
    """[(name, (red, green, blue), text format)] of the channels, in the table's order; the format
    is the printf format of the channel's reading as the log writes it ("%5.2f F")."""
    table = _read("channels/channel_table.cpp")
    groups = [g.strip() for g in _GROUPS.search(_read("channels/channel_table.h")).group(1).split(",")]
    formats = dict(zip(groups, _UNIT.findall(table)))
    rows = [(name, (int(r), int(g), int(b)), formats[group])
            for name, _, _, _, group, r, g, b, _ in _ROW.findall(table)]
    if not rows:
        raise RuntimeError("no rows found in channels/channel_table.cpp")
    return rows
