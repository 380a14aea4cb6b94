#!/usr/bin/env python3
"""End-to-end tests of the live display: Tarvex.exe under Wine against the simulated ECU.

ecusim (engine model running) sits behind COM9. The tests read the chart from screenshots, the
data rows from Tarvex.log and what the ECU served from ecusim's trace.

Each test is one function; CTest runs them one at a time by name (see CMakeLists.txt).
Screenshots, the log and ecusim's trace stay in <build>/e2e/artefacts/<test>/ for inspection.
"""
import re
import struct
import time

from harness import (BLACK, BLUE, CHANNEL_COLOURS, DASH, GREY, PINK, WineSession, check, run_named)

CHANNEL_NAMES = ["intake air", "head temperature", "AFM voltage", "RPM", "injector time",
                 "ignition advance", "MAF sensor", "battery"]

# The chart in client coordinates: everything below the 80-pixel strip of controls.
CLIENT_W, CLIENT_H = 994, 556
CHART_TOP, CHART_BOTTOM, CHART_RIGHT = 80, 556, 994
GRID_STEP = (CHART_BOTTOM - CHART_TOP) // 10  # 47
LABEL_COLUMNS = [2, 47, 92, 137, 182]
LABELS_END = 230  # the label columns end left of this; only traces and grid lie to its right
NEWEST_X = CHART_RIGHT - 10  # the newest sample of every trace
MARK_30S_X = NEWEST_X - 61  # 61 ticks of 500 ms: the first sample more than 30 s old

PAUSE_BUTTON = 112
BATTERY_BUTTON = 10108

STATUS = re.compile(r"^(Running|Paused): SysTime +(-?\d+)ms Effective Baud Rate (\d+) "
                    r"BlockNumber +(\d+) History +(\d+)$")

# --- the log ----------------------------------------------------------------------------------

# The reader thread's debug lines. They are written whole, but may fall between the pieces of a
# data row, which the chart tick writes one value at a time.
DEBUG_LINE = re.compile(
    rb"\r\nRequest Block (\d+) Parameter = (\d+) vals [0-9a-f]+ [0-9a-f]+ [0-9a-f]+\r\n"
    rb"|\r\nGetBlock returned block (\d+) blockNumber (\d+) Type ([ 0-9A-F]{2})\r\n")
DATA_ROW = re.compile(rb"(?:^|(?<=\n))(\d{1,2}:\d\d:\d\d [AP]M) ([^\r\n]*)\r\n")


class LogView:
    """Tarvex.log taken apart: the data rows with the debug lines lifted out of them.

    rest:    the log without its debug lines;
    events:  the debug lines as (position in rest, "request" | "answer", counter, channel),
             an answer's channel being that of the request before it;
    rows:    the data rows as (time text, [(position in rest, value text)], raw row bytes).
    """

    def __init__(self, log):
        pieces, self.events = [], []
        kept, last, channel = 0, 0, None
        for m in DEBUG_LINE.finditer(log):
            pieces.append(log[last:m.start()])
            kept += m.start() - last
            last = m.end()
            if m.group(1) is not None:
                channel = int(m.group(2))
                self.events.append((kept, "request", int(m.group(1)), channel))
            else:
                self.events.append((kept, "answer", int(m.group(3)), channel))
        pieces.append(log[last:])
        self.rest = b"".join(pieces)
        self.rows = []
        for m in DATA_ROW.finditer(self.rest):
            fields, at = [], m.start(2)
            for text in m.group(2).split(b","):
                fields.append((at, text.decode("ascii", "replace")))
                at += len(text) + 1
            self.rows.append((m.group(1).decode(), fields, m.group(0)))

    def answers(self):
        return [(pos, counter, channel) for pos, kind, counter, channel in self.events
                if kind == "answer"]


def data_rows(s):
    return LogView(s.log()).rows


def ends_in_comma(row):
    return row[2].endswith(b",\r\n")


def wait_connected(s):
    s.wait_for(lambda: b"Initialised OK!" in s.log(), 90, "Tarvex never connected to ecusim")
    s.wait_for(lambda: len(data_rows(s)) >= 1, 30, "no data row after connecting")


# --- what the ECU served ----------------------------------------------------------------------

MEMORY_CHANNELS = {0x37: 0, 0x38: 1, 0x45: 2, 0x3A: 3, 0x42: 4, 0x5D: 5}
TITLE_READ_MEMORY, TITLE_READ_ADC = 0x01, 0x08
TITLE_BYTE_VALUE, TITLE_ADC_VALUE = 0xFE, 0xFB


def read_block(seq, pos):
    """One block from seq[pos:]: (sender, bytes from length to end, next position), or None when
    the trace ends inside it or the handshake breaks (a new wake-up, a lost byte)."""
    if pos >= len(seq) or seq[pos][0] not in ("tester", "ecu"):
        return None
    sender = seq[pos][0]
    receiver = "ecu" if sender == "tester" else "tester"
    data = [seq[pos][1]]
    pos += 1
    while len(data) < data[0] + 1:
        # Every byte but the end is answered with its complement.
        if pos + 1 >= len(seq) or seq[pos] != (receiver, 0xFF ^ data[-1]):
            return None
        if seq[pos + 1][0] != sender:
            return None
        data.append(seq[pos + 1][1])
        pos += 2
    return sender, data, pos


def served_answers(trace):
    """The ECU's answers to the polls, in order, as (block counter, channel, raw value): the
    trace's bytes split into sessions at each wake-up (0x55, two keywords, the tester's complement
    of the second) and each session into blocks."""
    seq = [(kind, v) for _, kind, v in trace.events if kind in ("tester", "ecu", "rts")]
    answers = []
    pos = 0
    while pos < len(seq):
        woke = (pos + 3 < len(seq) and seq[pos] == ("ecu", 0x55) and seq[pos + 1][0] == "ecu"
                and seq[pos + 2][0] == "ecu" and seq[pos + 3] == ("tester", 0xFF ^ seq[pos + 2][1]))
        if not woke:
            pos += 1
            continue
        pos += 4
        request = None
        while True:
            block = read_block(seq, pos)
            if block is None:
                break
            sender, data, pos = block
            if sender == "tester":
                request = data
                continue
            if request is not None and len(data) >= 4:
                title = data[2]
                channel = None
                if request[2] == TITLE_READ_MEMORY and len(request) == 7:
                    channel = MEMORY_CHANNELS.get(request[4] << 8 | request[5])
                elif request[2] == TITLE_READ_ADC and len(request) == 5:
                    channel = 6 + request[3] if request[3] in (0, 1) else None
                if channel is not None and title == TITLE_BYTE_VALUE and len(data) >= 5:
                    answers.append((data[1], channel, data[3]))
                elif channel is not None and title == TITLE_ADC_VALUE and len(data) >= 6:
                    raw = data[3] << 8 | data[4]
                    answers.append((data[1], channel, raw - 0x10000 if raw >= 0x8000 else raw))
            request = None
    return answers


# --- the conversions, as the program does them ------------------------------------------------

def single(x):
    """x rounded to single precision, as a float variable holds it."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


def value_text(channel, raw):
    """The text the program shows for a raw reading: single precision arithmetic step by step
    (one rounding per operation), the ignition advance in double, rounded once at the end."""
    r = single(raw)
    if channel in (0, 1):
        return "%5.2f F" % single(single(r * single(1.15)) - 26.0)
    if channel in (2, 6):
        return "%5.2f Volts" % single(single(r * 500.0) / 25500.0)
    if channel == 3:
        return "%d RPM" % int(single(r * 40.0))
    if channel == 4:
        return "%5.2f ms" % single(r * single(0.05))
    if channel == 5:
        return "%5.2f deg" % single((104.0 - r) * 207.5 / 255.0)
    return "%5.2f Volts" % single(single(r * 682.0) / 1000000.0)


# --- the screen -------------------------------------------------------------------------------

def colour_positions(img, x0, y0, x1, y1):
    """{colour: [(x, y), ...]} of every pixel in the box [x0,x1) x [y0,y1), screen coordinates."""
    found = {}
    w = img.width
    for y in range(y0, y1):
        row = img.pixels[(y * w + x0) * 3:(y * w + x1) * 3]
        for i, p in enumerate(zip(row[0::3], row[1::3], row[2::3])):
            found.setdefault(p, []).append((x0 + i, y))
    return found


def chart_bytes(img, origin):
    """The raw pixels of the chart area, for comparing two screenshots."""
    ox, oy = origin[0], origin[1]
    w = img.width
    return b"".join(img.pixels[((oy + y) * w + ox) * 3:((oy + y) * w + ox + CLIENT_W) * 3]
                    for y in range(CHART_TOP, CHART_BOTTOM))


def runs(flags):
    """Number of runs of True in a sequence of booleans."""
    return sum(1 for i, f in enumerate(flags) if f and (i == 0 or not flags[i - 1]))


def parse_status(s):
    text = s.status_text()
    m = STATUS.match(text)
    check(m is not None, f"status line {text!r}")
    return m.group(1), int(m.group(2)), int(m.group(5)), text


# --- the checks -------------------------------------------------------------------------------

def check_rows_against_served(log, trace):
    """Checks the log's data rows against the answers in ecusim's trace."""
    view = LogView(log)
    served = served_answers(trace)
    logged = view.answers()

    # The log's answers are the trace's, one for one: same block counters, same channels.
    check(len(logged) >= 80, f"only {len(logged)} answers logged")
    check(len(logged) <= len(served) <= len(logged) + 2,
          f"{len(served)} answers in ecusim's trace, {len(logged)} in the log")
    for k, ((_, counter, channel), (s_counter, s_channel, _)) in enumerate(zip(logged, served)):
        check((counter, channel) == (s_counter, s_channel),
              f"answer {k}: log has block {counter} channel {channel}, trace has block "
              f"{s_counter} channel {s_channel}")

    # Each value of a row is the text of what the ECU served for its channel just then: the
    # last answer logged before that value, the one before it (the tick read the value before
    # the answer was logged), or the next one (stored, not yet logged). Before the first
    # answer the reading is the initial 0.
    per_channel = [[(pos, raw) for (pos, _, c), (_, _, raw) in zip(logged, served) if c == i]
                   for i in range(8)]
    texts_seen = [set() for _ in range(8)]
    bad = []
    check(len(view.rows) >= 50, f"{len(view.rows)} data rows")
    for time_text, fields, row in view.rows:
        if len(fields) != 8:
            bad.append(f"{row!r}: {len(fields)} values")
            continue
        for i, (pos, text) in enumerate(fields):
            k = sum(1 for p, _ in per_channel[i] if p <= pos)
            window = [raw for _, raw in per_channel[i][max(0, k - 2):k + 1]]
            if k < 2:
                window.append(0)
            allowed = {value_text(i, raw) for raw in window}
            texts_seen[i].add(text)
            if text not in allowed:
                bad.append(f"{time_text} {CHANNEL_NAMES[i]} {text!r}, ECU served "
                           f"{sorted(allowed)}")
    check(not bad, f"{len(bad)} values differ from what ecusim served, e.g. {bad[:5]}")
    moved = [CHANNEL_NAMES[i] for i in range(8) if len(texts_seen[i]) >= 2]
    check(len(moved) >= 6, f"only {moved} changed over the run")


def check_chart(first, second, origin):
    """The chart after a minute of running, in a screenshot and another a few seconds later."""
    ox, oy = origin[0], origin[1]
    img = first
    cy0, cx1, cy1 = oy + CHART_TOP, ox + CHART_RIGHT, oy + CHART_BOTTOM
    colours = colour_positions(img, ox + LABELS_END, cy0, cx1, cy1)
    grid_y = oy + CHART_BOTTOM - GRID_STEP

    # Eight traces, each in its colour, in the chart right of the label columns. The solid
    # grid line and the time marks' texts share the ignition advance's grey, so that trace is
    # counted away from them.
    mark_text_top = oy + CHART_BOTTOM - 16
    for i, colour in enumerate(CHANNEL_COLOURS):
        points = colours.get(colour, [])
        if colour == GREY:
            points = [(x, y) for x, y in points if y != grid_y and y < mark_text_top]
        check(len(points) >= 60, f"{CHANNEL_NAMES[i]}: {len(points)} pixels of {colour} "
              f"in the chart")
        xs = [x for x, _ in points]
        check(max(xs) >= ox + NEWEST_X - 2, f"{CHANNEL_NAMES[i]}: no trace at the newest "
              f"sample (rightmost x {max(xs) - ox})")
        check(min(xs) <= ox + NEWEST_X - 100, f"{CHANNEL_NAMES[i]}: the trace is not 100 "
              f"samples long (leftmost x {min(xs) - ox})")
    # The traces follow the engine: idle near 800 RPM with a rev-up to about 3500 every 20 s.
    # RPM is plotted from -1000 to 9000 over the chart's 476 pixels.
    rpm_y = [y - oy for _, y in colours.get(BLUE, [])]
    check(max(rpm_y) >= 440 and min(rpm_y) <= 360,
          f"the RPM trace spans y {min(rpm_y)}..{max(rpm_y)}: no idle and rev-up")
    # The battery (13.8 V on -2..20 V) sits near y 214, well above the other Volts traces.
    # (Over the last 100 samples: the first sample of a connection is drawn before any
    # answer has come, from a raw 0.)
    pink_y = sorted(y - oy for x, y in colours.get(PINK, []) if x >= ox + NEWEST_X - 100)
    check(200 <= pink_y[len(pink_y) // 2] <= 230,
          f"the battery trace lies near y {pink_y[len(pink_y) // 2]}")
    check(chart_bytes(first, origin) != chart_bytes(second, origin),
          "the chart did not change in three seconds")
    blue_later = {p for p in colour_positions(second, ox + LABELS_END, cy0, cx1, cy1)
                  .get(BLUE, [])}
    check(blue_later != set(colours.get(BLUE, [])), "the RPM trace did not move")

    # The grid: the lowest line solid grey across the chart, eight dashed lines above it.
    # (Traces may cross any line on the right; the label texts stay above their lines.)
    grid_x = range(ox + LABELS_END, ox + NEWEST_X - 140)
    solid = [img.at(x, grid_y) == GREY for x in grid_x]
    check(all(solid), f"the lowest grid line at y {grid_y - oy} is not solid grey "
          f"({solid.count(False)} gaps)")
    for k in range(2, 10):
        y = oy + CHART_BOTTOM - k * GRID_STEP
        dashes = [img.at(x, y) == DASH for x in grid_x]
        check(runs(dashes) >= 20 and dashes.count(False) >= 100,
              f"grid line {k} at y {y - oy}: {runs(dashes)} dashes, "
              f"{dashes.count(False)} gap pixels")
        check(img.at(ox + LABELS_END + 5, y - 3) == BLACK, f"grid line {k} is too thick")
    for y in (grid_y - 1, grid_y + 1):
        check(img.count(GREY, ox + LABELS_END, y, ox + 700, y + 1) == 0,
              f"grey beside the lowest grid line at y {y - oy}")
    between = [img.count(DASH, ox + LABELS_END, oy + y, ox + 700, oy + y + 1)
               for y in range(CHART_TOP, CHART_BOTTOM)
               if (CHART_BOTTOM - y) % GRID_STEP != 0]
    check(max(between) == 0, "dashed pixels off the grid lines, left of the time marks")

    # The label columns: one per unit, grey text, the unit's name at the top.
    label_boxes = []
    for x in LABEL_COLUMNS + [LABEL_COLUMNS[-1] + 45]:
        unit = img.count(GREY, ox + x, oy + CHART_TOP + 15, ox + x + 40, oy + CHART_TOP + 30)
        column = img.count(GREY, ox + x, oy + CHART_TOP, ox + x + 40, oy + CHART_BOTTOM)
        label_boxes.append((x, unit, column))
    for x, unit, column in label_boxes[:5]:
        check(unit >= 10, f"no unit label at x {x} ({unit} grey pixels)")
        # Nine axis labels below it; the solid grid line adds 40 of its own pixels.
        check(column >= 40 + unit + 9 * 10, f"too few axis labels at x {x} ({column})")
    check(label_boxes[5][1] == 0, "a sixth unit label at x 227")
    texts = set()
    for x in LABEL_COLUMNS:
        texts.add(bytes(b for yy in range(CHART_TOP + 15, CHART_TOP + 30)
                        for xx in range(x, x + 40)
                        for b in [img.at(ox + xx, oy + yy) == GREY]))
    check(len(texts) == 5, "two label columns carry the same unit label")

    # The "-30s" mark: a dashed vertical line where the history passes 30 s, its text grey
    # beside the chart's bottom.
    def dash_column(x):
        return [img.at(x, oy + y) == DASH for y in range(CHART_TOP, CHART_BOTTOM)]
    window = range(ox + MARK_30S_X - 8, ox + MARK_30S_X + 9)
    best = max(window, key=lambda x: dash_column(x).count(True))
    column = dash_column(best)
    check(abs(best - ox - MARK_30S_X) <= 4 and runs(column) >= 20,
          f"no -30s mark near x {MARK_30S_X}: best column x {best - ox} with "
          f"{runs(column)} dashes")
    check(column.count(False) >= 100, f"the -30s mark at x {best - ox} is not dashed")
    mark_text = img.count(GREY, best, oy + CHART_BOTTOM - 15, best + 30, oy + CHART_BOTTOM)
    check(mark_text >= 10, f"no -30s text beside the mark ({mark_text} grey pixels)")


# --- the tests --------------------------------------------------------------------------------

def chart_after_a_minute():
    with WineSession("chart_after_a_minute", ecusim={"com9": []}) as s:
        s.start()
        wait_connected(s)
        connected = time.monotonic()
        check((s.origin[2], s.origin[3]) == (CLIENT_W, CLIENT_H),
              f"client area {s.origin[2]} x {s.origin[3]}")

        # More than 61 ticks of history: the oldest samples are over 30 s old.
        s.wait_for(lambda: parse_status(s)[2] >= 125, 150, "the history never reached 125")
        state, _, history, text = parse_status(s)
        elapsed = time.monotonic() - connected
        check(state == "Running", f"status line {text!r}")
        rows = len(data_rows(s))
        # One tick, one data row, one more sample of history; the status line shows the length
        # before the tick's increment, so it trails the rows by at most a tick or two.
        check(abs(rows - history) <= 3, f"history {history} but {rows} data rows")
        check(history <= elapsed / 0.5 + 3, f"history {history} after {elapsed:.1f} s connected: "
              f"ticks come faster than every 500 ms")

        first = s.screenshot("after-a-minute")
        time.sleep(3)
        second = s.screenshot("three-seconds-later")
        check_chart(first, second, s.origin)
        s.screenshot("before-close")
        s.tvctl("close")
        check(s.wait_exit(30), "Tarvex did not end")


def rows_match_what_ecusim_served():
    with WineSession("rows_match_what_ecusim_served", ecusim={"com9": []}) as s:
        s.start()
        wait_connected(s)
        # A rev-up (at 12 to 16 s of every 20) within the rows, so that every channel moves.
        s.wait_for(lambda: len(data_rows(s)) >= 50, 120, "fewer than 50 data rows")
        s.tvctl("close")
        check(s.wait_exit(30), "Tarvex did not end")
        s.stop_ecusim()
        check_rows_against_served(s.log(), s.ecusim_trace())


def pause_freezes_and_resume_continues():
    with WineSession("pause_freezes_and_resume_continues", ecusim={"com9": []}) as s:
        s.start()
        wait_connected(s)
        ox, oy = s.origin[0], s.origin[1]
        left, top, right, bottom = s.control_rect(PAUSE_BUTTON)
        pause_centre = ((left + right) // 2, (top + bottom) // 2)

        s.click(*pause_centre)
        s.wait_for(lambda: parse_status(s)[0] == "Paused", 10, "the status line never paused")
        check(s.tvctl("text", PAUSE_BUTTON)[1].strip() == "Resume", "Pause did not become Resume")
        _, time0, history0, _ = parse_status(s)
        rows0 = len(data_rows(s))
        trace0 = len(s.ecusim_trace().bytes)
        frozen = s.screenshot("paused")
        time.sleep(4)
        state, time1, history1, text = parse_status(s)
        check(state == "Paused" and time1 - time0 >= 2000,
              f"the status line stood still while paused: {time0} ms, then {text!r}")
        check(history1 == history0, f"the history grew while paused: {history0} -> {history1}")
        check(len(data_rows(s)) == rows0, "data rows were written while paused")
        trace1 = len(s.ecusim_trace().bytes)
        check(trace1 >= trace0 + 200, f"polling stopped with the chart: trace {trace0} -> {trace1}")
        check(chart_bytes(s.screenshot("still-paused"), s.origin) == chart_bytes(frozen, s.origin),
              "the chart changed while paused")

        # Resume: the rows go on, and so does the history, from where it stood.
        s.click(*pause_centre)
        s.wait_for(lambda: len(data_rows(s)) >= rows0 + 6, 30, "no rows after Resume")
        check(s.tvctl("text", PAUSE_BUTTON)[1].strip() == "Pause", "Resume did not become Pause")
        state, _, history2, text = parse_status(s)
        rows2 = len(data_rows(s))
        check(state == "Running", f"status after Resume: {text!r}")
        check(abs((history2 - history0) - (rows2 - rows0)) <= 3,
              f"history {history0} -> {history2} over {rows2 - rows0} rows after Resume")
        check(chart_bytes(s.screenshot("resumed"), s.origin) != chart_bytes(frozen, s.origin),
              "the chart did not move after Resume")

        # The battery switched off drops its field (the last: the row ends with its comma) and
        # its trace; switched on again it is back.
        bl, bt, br, bb = s.control_rect(BATTERY_BUTTON)
        s.click((bl + br) // 2, (bt + bb) // 2)
        count_before = len(data_rows(s))
        s.wait_for(lambda: sum(1 for r in data_rows(s)[count_before:] if ends_in_comma(r)) >= 4,
                   30, "no rows without the battery")
        rows = data_rows(s)[count_before:]
        first_short = next(i for i, r in enumerate(rows) if ends_in_comma(r))
        for _, fields, row in rows[:first_short]:
            check(len(fields) == 8 and fields[7][1].endswith(" Volts"),
                  f"row before the battery went off: {row!r}")
        for _, fields, row in rows[first_short:]:
            # Seven values and the comma after the last of them.
            check(len(fields) == 8 and fields[7][1] == "" and ends_in_comma((0, 0, row)),
                  f"row with the battery off: {row!r}")
            check(fields[6][1].endswith(" Volts") and fields[5][1].endswith(" deg"),
                  f"the MAF value is not the last: {row!r}")
        off = s.screenshot("battery-off")
        pink = off.count(PINK, ox, oy + CHART_TOP, ox + CLIENT_W, oy + CHART_BOTTOM)
        check(pink == 0, f"{pink} pixels of the battery's trace with the battery off")

        s.click((bl + br) // 2, (bt + bb) // 2)
        count_before = len(data_rows(s))
        s.wait_for(lambda: sum(1 for r in data_rows(s)[count_before:] if not ends_in_comma(r))
                   >= 2, 30, "the battery did not come back")
        on = s.screenshot("battery-on")
        check(on.count(PINK, ox, oy + CHART_TOP, ox + CLIENT_W, oy + CHART_BOTTOM) >= 60,
              "the battery's trace did not come back")
        last = data_rows(s)[-1]
        check(len(last[1]) == 8 and last[1][7][1].endswith(" Volts") and not ends_in_comma(last),
              f"row with the battery on again: {last[2]!r}")
        s.tvctl("close")
        check(s.wait_exit(30), "Tarvex did not end")


if __name__ == "__main__":
    raise SystemExit(run_named({f.__name__: f for f in [
        chart_after_a_minute, rows_match_what_ecusim_served,
        pause_freezes_and_resume_continues]}))
