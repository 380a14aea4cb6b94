#include "outputs.h"

#include "channels/channel_table.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstring>

namespace tarvexlog {

namespace {

// Seconds with at most three decimals and no trailing zeros: "0", "0.5", "12.333".
int FormatSeconds(double seconds, char* out, size_t size) {
    int n = std::snprintf(out, size, "%.3f", seconds);
    while (n > 0 && out[n - 1] == '0')
        n--;
    if (n > 0 && out[n - 1] == '.')
        n--;
    out[n] = 0;
    return n;
}

std::string Hex(uint32_t colour) { // 0x00BBGGRR to "#RRGGBB"
    char text[8];
    std::snprintf(text, sizeof text, "#%02X%02X%02X", colour & 0xFF, (colour >> 8) & 0xFF,
                  (colour >> 16) & 0xFF);
    return text;
}

// The length of the UTF-8 character at text[i], or 0 where the bytes are none: a stray or cut
// sequence, an overlong form, a surrogate, a code beyond U+10FFFF.
size_t Utf8Length(const std::string& text, size_t i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80)
        return 1;
    const size_t n = c >= 0xF0 ? (c <= 0xF4 ? 4 : 0) : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    if (n == 0 || i + n > text.size())
        return 0;
    const unsigned char second = static_cast<unsigned char>(text[i + 1]);
    if (second < (c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80) ||
        second > (c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF))
        return 0;
    for (size_t k = 2; k < n; k++)
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
            return 0;
    return n;
}

// Text as HTML in the page's UTF-8: markup escaped, and a byte of no character or a control
// byte (a file name can hold both) shown as U+FFFD.
std::string Html(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const size_t n = Utf8Length(text, i);
        const char c = text[i];
        if (n == 0 || (n == 1 && (static_cast<unsigned char>(c) < 0x20 || c == 0x7F))) {
            out += "\xEF\xBF\xBD";
            i++;
            continue;
        }
        switch (n == 1 ? c : 0) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        default: out.append(text, i, n);
        }
        i += n;
    }
    return out;
}

std::string Number(double v, int decimals = 2) {
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

// "m:ss" or "h:mm:ss" after the first row.
std::string Elapsed(double seconds) {
    const int64_t s = static_cast<int64_t>(seconds); // a long is 32 bits on Windows
    char text[48];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%" PRId64 ":%02d:%02d", s / 3600, int(s / 60 % 60), int(s % 60));
    else
        std::snprintf(text, sizeof text, "%" PRId64 ":%02d", s / 60, int(s % 60));
    return text;
}

// The channels drawn on one chart: the program's axes, one per unit.
struct Chart {
    UnitGroupId unit;
    const char* title; // followed by the unit in brackets
};
constexpr Chart CHARTS[] = {{FahrGroup, "Temperatures"},
                            {VoltsGroup, "Voltages"},
                            {RpmGroup, "Engine speed"},
                            {MsGroup, "Injector time"},
                            {AngleGroup, "Ignition advance"}};

constexpr int CHART_WIDTH = 900, CHART_HEIGHT = 200, LEFT = 60, RIGHT = 24, TOP = 10, BOTTOM = 22;

} // namespace

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

void ProblemPrinter::OnProblem(uint64_t line, const std::string& what) {
    std::fprintf(stderr, "%s:%" PRIu64 ": %s\n", logName, line, what.c_str());
}

CsvWriter::CsvWriter(std::FILE* out, const char* logName) : ProblemPrinter(logName), out(out) {
    std::fputs("time,seconds,link", out);
    for (const ChannelInfo& channel : channelInfo)
        std::fprintf(out, ",%s", channel.column.c_str());
    std::fputs("\r\n", out);
}

void CsvWriter::OnRow(const Row& row) {
    char line[256];
    size_t n = std::strlen(row.time);
    std::memcpy(line, row.time, n);
    line[n++] = ',';
    n += static_cast<size_t>(FormatSeconds(row.seconds, line + n, sizeof line - n));
    n += static_cast<size_t>(std::snprintf(line + n, sizeof line - n, ",%d", row.link));
    for (int c = 0; c < CHANNEL_COUNT; c++) {
        line[n++] = ',';
        const size_t length = std::strlen(row.text[c]);
        std::memcpy(line + n, row.text[c], length);
        n += length;
    }
    line[n++] = '\r';
    line[n++] = '\n';
    std::fwrite(line, 1, n, out);
}

EventWriter::EventWriter(std::FILE* out, const char* logName) : ProblemPrinter(logName), out(out) {
    std::fputs("time,link,event\r\n", out);
}

void EventWriter::OnEvent(const Event& event) {
    std::fprintf(out, "%s,%d,%s\r\n", event.time.c_str(), event.link,
                 CsvField(event.what).c_str());
}

// A mark that begins in the slot where the one before it ends joins that one: there are never
// more marks than slots, however many gaps and connections the log has.
void ReportBuilder::Mark(std::vector<Span>& marks, Span mark) const {
    const auto slot = [this](double seconds) { return static_cast<size_t>(seconds / slotSeconds); };
    if (!marks.empty() && slot(mark.first) <= slot(marks.back().second))
        marks.back().second = std::max(marks.back().second, mark.second);
    else
        marks.push_back(mark);
}

void ReportBuilder::OnRow(const Row& row) {
    if (rows++ == 0)
        firstTime = row.time;
    size_t index = static_cast<size_t>(row.seconds / slotSeconds);
    while (index >= MAX_SLOTS) { // twice as wide slots: pairs of them become one
        for (size_t i = 0; i < slots.size(); i++) {
            Slot merged = slots[i];
            if (i % 2 == 0 && i + 1 < slots.size()) {
                const Slot& next = slots[i + 1];
                for (int c = 0; c < CHANNEL_COUNT; c++) {
                    if (!((next.mask >> c) & 1))
                        continue;
                    const bool had = (merged.mask >> c) & 1;
                    merged.min[c] = had ? std::min(merged.min[c], next.min[c]) : next.min[c];
                    merged.max[c] = had ? std::max(merged.max[c], next.max[c]) : next.max[c];
                }
                merged.mask |= next.mask;
            }
            if (i % 2 == 0)
                slots[i / 2] = merged;
        }
        slots.resize((slots.size() + 1) / 2);
        slotSeconds *= 2;
        index = static_cast<size_t>(row.seconds / slotSeconds);
        for (std::vector<Span>* marks : {&gaps, &linkStarts}) {
            std::vector<Span> before;
            before.swap(*marks);
            for (const Span& mark : before)
                Mark(*marks, mark);
        }
    }
    const bool newLink = row.link != lastLink && lastSeconds >= 0;
    if (newLink) {
        links++;
        Mark(linkStarts, {row.seconds, row.seconds});
    }
    if (newLink || (lastSeconds >= 0 && row.seconds - lastSeconds > LogReader::GAP_SECONDS)) {
        gapCount++;
        Mark(gaps, {lastSeconds, row.seconds});
    }
    lastSeconds = row.seconds;
    lastLink = row.link;

    if (slots.size() <= index)
        slots.resize(index + 1);
    Slot& slot = slots[index];
    for (int c = 0; c < CHANNEL_COUNT; c++) {
        if (!((row.mask >> c) & 1))
            continue;
        const double v = row.value[c];
        const float f = static_cast<float>(v);
        const bool had = (slot.mask >> c) & 1;
        slot.min[c] = had ? std::min(slot.min[c], f) : f;
        slot.max[c] = had ? std::max(slot.max[c], f) : f;
        slot.mask = static_cast<uint8_t>(slot.mask | (1u << c));
        Stats& s = stats[c];
        if (s.samples == 0) {
            s.min = s.max = v;
            s.first = row.time;
        }
        s.samples++;
        s.min = std::min(s.min, v);
        s.max = std::max(s.max, v);
        s.sum += v;
        s.last = row.time;
    }
}

void ReportBuilder::Write(std::FILE* out, const std::string& title, uint64_t unplaced) const {
    const double span = std::max(lastSeconds, 1.0);
    const double plotWidth = CHART_WIDTH - LEFT - RIGHT, plotHeight = CHART_HEIGHT - TOP - BOTTOM;
    const auto X = [&](double s) { return LEFT + s / span * plotWidth; };

    std::fprintf(out,
                 "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>%s</title>\n"
                 "<style>body{font-family:sans-serif;background:#202020;color:#ddd;margin:20px}"
                 "h2{font-size:15px;margin:18px 0 4px}svg{background:#000;display:block}"
                 "table{border-collapse:collapse;margin-top:16px}"
                 "td,th{border:1px solid #555;padding:3px 8px;text-align:right}"
                 "td:first-child,th:first-child{text-align:left}</style></head><body>\n"
                 "<h1 style=\"font-size:18px\">%s</h1>\n<p>%" PRIu64
                 " rows from %s, %" PRIu64 " connection%s, %" PRIu64 " gap%s without rows",
                 Html(title).c_str(), Html(title).c_str(), rows,
                 firstTime.empty() ? "-" : firstTime.c_str(), links + (rows ? 1 : 0),
                 links + (rows ? 1 : 0) == 1 ? "" : "s", gapCount, gapCount == 1 ? "" : "s");
    if (unplaced)
        std::fprintf(out, "; %" PRIu64 " rows could not be placed and are left out", unplaced);
    std::fputs(".</p>\n", out);

    for (const Chart& chart : CHARTS) {
        double lo = 0, hi = 0;
        bool any = false;
        for (int c = 0; c < CHANNEL_COUNT; c++) {
            if (CHANNEL_ROWS[c].unit != chart.unit || stats[c].samples == 0)
                continue;
            lo = any ? std::min(lo, stats[c].min) : stats[c].min;
            hi = any ? std::max(hi, stats[c].max) : stats[c].max;
            any = true;
        }
        // Grid lines at a round step (1, 2 or 5 times a power of ten), four or so of them.
        const double raw = std::max((hi - lo) / 4, 0.01);
        const double power = std::pow(10.0, std::floor(std::log10(raw)));
        const double step = raw <= power ? power : raw <= 2 * power ? 2 * power
                          : raw <= 5 * power ? 5 * power : 10 * power;
        lo = std::floor(lo / step) * step;
        hi = std::max(std::ceil(hi / step) * step, lo + step);
        const auto Y = [&](double v) { return TOP + (hi - v) / (hi - lo) * plotHeight; };

        std::fprintf(out, "<h2>%s (%s)</h2>\n<svg xmlns=\"http://www.w3.org/2000/svg\" "
                          "width=\"%d\" height=\"%d\" font-size=\"11\" fill=\"#bbb\">\n",
                     chart.title, unitInfo[chart.unit].logUnit.c_str(), CHART_WIDTH, CHART_HEIGHT);
        for (const auto& gap : gaps)
            std::fprintf(out, "<rect x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%.0f\" "
                              "fill=\"#333\"/>\n",
                         X(gap.first), TOP, std::max(X(gap.second) - X(gap.first), 1.0), plotHeight);
        for (const Span& start : linkStarts)
            std::fprintf(out, "<line x1=\"%.1f\" x2=\"%.1f\" y1=\"%d\" y2=\"%.0f\" stroke=\"#fff\" "
                              "stroke-dasharray=\"4 3\"/>\n",
                         X(start.first), X(start.first), TOP, TOP + plotHeight);
        // Counted, not summed: a float step can be too small to move a large value.
        const long lines = std::lround((hi - lo) / step);
        for (long k = 0; k <= lines; k++) { // value grid and labels
            const double v = lo + static_cast<double>(k) * step;
            std::fprintf(out, "<line x1=\"%d\" x2=\"%.0f\" y1=\"%.1f\" y2=\"%.1f\" stroke=\"#444\"/>"
                              "<text x=\"%d\" y=\"%.1f\" text-anchor=\"end\">%s</text>\n",
                         LEFT, LEFT + plotWidth, Y(v), Y(v), LEFT - 4, Y(v) + 4,
                         Number(v, step < 0.1 ? 2 : step < 1 ? 1 : 0).c_str());
        }
        for (int k = 0; k <= 6; k++) // time labels
            std::fprintf(out, "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">%s</text>\n",
                         X(span * k / 6), CHART_HEIGHT - 6, Elapsed(span * k / 6).c_str());
        if (!any)
            std::fprintf(out, "<text x=\"%d\" y=\"%d\">no samples</text>\n", LEFT + 10, TOP + 20);
        for (int c = 0; c < CHANNEL_COUNT; c++) {
            if (CHANNEL_ROWS[c].unit != chart.unit || stats[c].samples == 0)
                continue;
            // Each slot's minimum and maximum, joined in time order; a slot without a sample of
            // the channel breaks the trace.
            std::fprintf(out, "<path fill=\"none\" stroke=\"%s\" stroke-width=\"1.2\" d=\"",
                         Hex(CHANNEL_ROWS[c].colour).c_str());
            bool drawing = false;
            for (size_t i = 0; i < slots.size(); i++) {
                if (!((slots[i].mask >> c) & 1)) {
                    drawing = false;
                    continue;
                }
                const double x = X((static_cast<double>(i) + 0.5) * slotSeconds);
                std::fprintf(out, "%c%.1f %.1f", drawing ? 'L' : 'M', x, Y(slots[i].min[c]));
                if (slots[i].max[c] != slots[i].min[c])
                    std::fprintf(out, "L%.1f %.1f", x, Y(slots[i].max[c]));
                drawing = true;
            }
            std::fputs("\"/>\n", out);
        }
        int legendX = LEFT + 8;
        for (int c = 0; c < CHANNEL_COUNT; c++) {
            if (CHANNEL_ROWS[c].unit != chart.unit)
                continue;
            std::fprintf(out, "<text x=\"%d\" y=\"%d\" fill=\"%s\">%s</text>\n", legendX, TOP + 14,
                         Hex(CHANNEL_ROWS[c].colour).c_str(), channelInfo[c].name.c_str());
            legendX += 150;
        }
        std::fputs("</svg>\n", out);
    }

    std::fputs("<table><tr><th>Channel</th><th>Samples</th><th>Minimum</th><th>Maximum</th>"
               "<th>Mean</th><th>First</th><th>Last</th></tr>\n",
               out);
    for (int c = 0; c < CHANNEL_COUNT; c++) {
        const Stats& s = stats[c];
        const int decimals = UNITS[CHANNEL_ROWS[c].unit].whole ? 0 : 2;
        std::fprintf(out, "<tr><td style=\"color:%s\">%s</td><td>%" PRIu64 "</td>",
                     Hex(CHANNEL_ROWS[c].colour).c_str(), channelInfo[c].column.c_str(), s.samples);
        if (s.samples)
            std::fprintf(out, "<td>%s</td><td>%s</td><td>%s</td><td>%s</td><td>%s</td></tr>\n",
                         Number(s.min, decimals).c_str(), Number(s.max, decimals).c_str(),
                         Number(s.sum / static_cast<double>(s.samples), 2).c_str(),
                         s.first.c_str(), s.last.c_str());
        else
            std::fputs("<td>-</td><td>-</td><td>-</td><td>-</td><td>-</td></tr>\n", out);
    }
    std::fputs("</table>\n</body></html>\n", out);
}

} // namespace tarvexlog
