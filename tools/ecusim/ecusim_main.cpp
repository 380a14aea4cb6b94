// ecusim: the simulated K-line adapter and ECU in real time, on a pty. The tester (Tarvex under
// Wine, or the test client) opens the pty's slave as its serial port; ecusim reads what it writes
// from the master, learns its RTS changes from the RTS bridge's datagrams, feeds both to the ECU
// model with CLOCK_MONOTONIC time stamps, and writes the model's bytes to the master when they
// have crossed the simulated 9600-baud line, never two within one byte time.
//
// Start reading at main(): options, then RunLoop().
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ecu_model.h"
#include "rts_message.h"

using ecusim::Direction;
using ecusim::EcuModel;
using ecusim::Scenario;

namespace {

// How long before a byte is due the main loop stops sleeping and polls (see Run).
constexpr uint64_t kSpinUs = 200;

volatile sig_atomic_t gStop = 0;
void OnSignal(int) {
    gStop = 1;
}

struct Options {
    std::string link;      // where to put a symlink to the pty slave
    std::string rtsSocket; // the bridge's datagram socket
    std::string trace;     // line trace file
    double durationS = 0;  // 0: run until a signal
    uint64_t busyPollUs = 0; // after each byte on the line, poll this long instead of sleeping
    bool seedGiven = false;  // --seed; otherwise each run draws other sync delays
    bool help = false;       // --help: show the options and stop
    Scenario scenario;
};

bool ParseNumber(const char* text, int64_t lo, int64_t hi, int64_t* out) {
    errno = 0;
    char* end = nullptr;
    long long v = strtoll(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) {
        return false;
    }
    *out = v;
    return true;
}

// Block numbers and other counts that have no natural bound of their own.
constexpr int64_t kBig = INT64_C(1) << 40;

// ParseNumber into a field of another width: the range keeps the value within it.
template <typename T>
bool ParseInto(const char* text, int64_t lo, int64_t hi, T* out, int64_t scale = 1) {
    int64_t v = 0;
    if (!ParseNumber(text, lo, hi, &v))
        return false;
    *out = static_cast<T>(v * scale);
    return true;
}

// One row per option: getopt's table, --help and the parsing are all made from these rows, and the
// README's table is checked against --help (tests/options_test.py). A row without a name is a
// paragraph of --help between the options.
struct OptionRow {
    const char* name; // without the leading "--"
    const char* arg;  // the argument's name in --help; nullptr: the option takes none
    const char* help; // its help text; each '\n' starts a line under the first one's text
    bool (*apply)(const char* arg, Options* o); // false: a bad value
};

const OptionRow kOptions[] = {
    {nullptr, nullptr,
     "Usage: ecusim [OPTION]...\n"
     "Plays a K-line adapter and ECU on a pty, in real time at 9600 baud.\n",
     nullptr},
    {"link", "PATH",
     "make PATH a symlink to the pty slave (an existing symlink is\n"
     "replaced), e.g. $WINEPREFIX/dosdevices/com9",
     [](const char* a, Options* o) {
         o->link = a;
         return true;
     }},
    {"rts-socket", "PATH",
     "listen for the RTS bridge's datagrams on this Unix socket; give\n"
     "the tester TARVEX_RTS_SOCKET=PATH and LD_PRELOAD=librtsbridge.so",
     [](const char* a, Options* o) {
         o->rtsSocket = a;
         return true;
     }},
    {"trace", "FILE",
     "write one line per byte: microseconds since start, then\n"
     "tester/echo/ecu and the byte in hex; RTS changes as 'rts 1'\n"
     "(asserted, line low) or 'rts 0'; events as lines starting '#'",
     [](const char* a, Options* o) {
         o->trace = a;
         return true;
     }},
    {"duration", "SECONDS", "stop after this long (default: run until SIGINT or SIGTERM)",
     [](const char* a, Options* o) {
         char* end = nullptr;
         o->durationS = strtod(a, &end);
         return end != a && *end == '\0' && o->durationS > 0;
     }},
    {"busy-poll-us", "US",
     "after each byte on the line, poll for the tester's next byte\n"
     "for this long instead of sleeping (for benchmarks: a sleeping\n"
     "simulator wakes late, which a real adapter does not)",
     [](const char* a, Options* o) { return ParseInto(a, 0, 1000000, &o->busyPollUs); }},
    {"ecu-delay-us", "US", "ECU reaction time before each byte it sends (a slow ECU)",
     [](const char* a, Options* o) { return ParseInto(a, 0, 1000000, &o->scenario.ecuDelayUs); }},
    {"sweep-memory", nullptr,
     "memory reads answer 0, 1, ..., 255, 0, ... in turn instead of\n"
     "the engine's values (every byte value crosses the line)",
     [](const char*, Options* o) {
         o->scenario.sweepMemory = true;
         return true;
     }},
    {"sync-delay-ms", "MS",
     "the sync byte comes MS after the address's stop bit (default:\n"
     "60 to 300 ms, drawn anew at each wake-up)",
     [](const char* a, Options* o) {
         return ParseInto(a, 0, 1400, &o->scenario.syncDelayUs, 1000);
     }},
    {"seed", "N",
     "seed of those delays (default: from the clock; the trace\n"
     "records it, so a run can be repeated)",
     [](const char* a, Options* o) {
         o->seedGiven = true;
         return ParseInto(a, 0, kBig, &o->scenario.seed);
     }},
    {"tester-reply-limit-ms", "MS",
     "end the session when a tester byte the ECU waits for (the\n"
     "answer to keyword 2, a complement, the next byte of a block)\n"
     "is later than MS (default 100; 0: no limit)",
     [](const char* a, Options* o) {
         return ParseInto(a, 0, 1000000, &o->scenario.testerReplyLimitUs, 1000);
     }},
    {nullptr, nullptr,
     "\n"
     "The adapter echoes every byte the tester writes; while RTS is on it holds the K-line low,\n"
     "and a byte written then comes back as 0x00 (a break). Adapters that cannot serve:",
     nullptr},
    {"ignore-rts", nullptr,
     "the adapter ignores RTS: the K-line never goes low, so bytes\n"
     "written with RTS on come back unchanged and no address ever\n"
     "reaches the ECU (it never wakes)",
     [](const char*, Options* o) {
         o->scenario.rtsIgnored = true;
         return true;
     }},
    {"no-echo", nullptr,
     "the adapter echoes nothing the tester writes, as one without\n"
     "power from the car's socket (the ECU still hears the bytes)",
     [](const char*, Options* o) {
         o->scenario.noEcho = true;
         return true;
     }},
    {nullptr, nullptr,
     "\n"
     "Faults (numbers may be given in hex as 0x..; 'block N' counts the blocks of a session in\n"
     "both directions from 1, like the block counter without its wrap: block 15 answers the first\n"
     "poll):",
     nullptr},
    {"sync-byte", "B", "send B instead of the sync byte 0x55 (e.g. 0xAA)",
     [](const char* a, Options* o) { return ParseInto(a, 0, 255, &o->scenario.syncByte); }},
    {"keyword1", "B", "send B instead of keyword 1, 0x0B",
     [](const char* a, Options* o) { return ParseInto(a, 0, 255, &o->scenario.keyword1); }},
    {"keyword2", "B", "send B instead of keyword 2, 0x02",
     [](const char* a, Options* o) { return ParseInto(a, 0, 255, &o->scenario.keyword2); }},
    {"no-fd-echo", nullptr, "the adapter does not echo the tester's answer to keyword 2",
     [](const char*, Options* o) {
         o->scenario.fdEcho = ecusim::FdEcho::None;
         return true;
     }},
    {"wrong-fd-echo", "B", "the adapter echoes B instead of that answer",
     [](const char* a, Options* o) {
         o->scenario.fdEcho = ecusim::FdEcho::Wrong;
         return ParseInto(a, 0, 255, &o->scenario.wrongFdEcho);
     }},
    {"reject-at-block", "N", "send block N as a bare block of title 0x0A",
     [](const char* a, Options* o) { return ParseNumber(a, 1, kBig, &o->scenario.rejectAtBlock); }},
    {"wrong-counter-at-block", "N", "block N carries its counter plus one",
     [](const char* a, Options* o) {
         return ParseNumber(a, 1, kBig, &o->scenario.wrongCounterAtBlock);
     }},
    {"silent-after-bytes", "N",
     "the ECU falls silent after sending N bytes in a session\n"
     "(counting the sync and keyword bytes)",
     [](const char* a, Options* o) {
         return ParseNumber(a, 0, kBig, &o->scenario.silentAfterEcuBytes);
     }},
    {"silent-at-block", "N", "the ECU sends nothing from the first byte of block N on",
     [](const char* a, Options* o) { return ParseNumber(a, 1, kBig, &o->scenario.silentAtBlock); }},
    {"bad-length-at-block", "N", "block N carries a length byte outside 3..202",
     [](const char* a, Options* o) {
         return ParseNumber(a, 1, kBig, &o->scenario.badLengthAtBlock);
     }},
    {"bad-length", "L", "that length byte (default 0xFF)",
     [](const char* a, Options* o) {
         // A length the model accepts would be no fault.
         return ParseInto(a, 0, 255, &o->scenario.badLength) &&
                (o->scenario.badLength < 3 || o->scenario.badLength > ecusim::kMaxBlockLength);
     }},
    {"hang-up-at-block", "N",
     "pull the adapter out when block N would begin: the pty is\n"
     "closed and the link removed",
     [](const char* a, Options* o) { return ParseNumber(a, 1, kBig, &o->scenario.hangUpAtBlock); }},
    {"hang-up-after-ms", "MS", "... or MS after start (once)",
     [](const char* a, Options* o) {
         return ParseInto(a, 0, kBig, &o->scenario.hangUpAtUs, 1000);
     }},
    {"hang-up-pause-ms", "MS", "plug it back in (new pty, link renewed) after MS (default 3000)",
     [](const char* a, Options* o) {
         return ParseInto(a, 0, kBig, &o->scenario.hangUpPauseUs, 1000);
     }},
    {"fault-sessions", "N", "only the first N wake-ups carry the faults (default 0: all)",
     [](const char* a, Options* o) {
         return ParseInto(a, 0, 1000000, &o->scenario.faultSessions);
     }},
    {nullptr, nullptr, "", nullptr},
    {"help", nullptr, "show this text",
     [](const char*, Options* o) {
         o->help = true;
         return true;
     }},
    {nullptr, nullptr,
     "\n"
     "The ECU answers a wake-up only to address 0x10 with odd parity, clocked at 5 baud on RTS,\n"
     "and only while the tester's port is set to 9600 baud, 8 data bits, no parity, 1 stop bit.\n"
     "On exit it prints a summary: wake-ups, blocks, poll cycles and faults injected.",
     nullptr},
};
constexpr int kOptionRows = int(sizeof kOptions / sizeof kOptions[0]);

// Each option on its line: name and argument in a column 24 wide (a longer one pushes its text
// along), the text two spaces on; the text's further lines under its first.
void PrintHelp() {
    for (const OptionRow& row : kOptions) {
        if (!row.name) {
            printf("%s\n", row.help);
            continue;
        }
        std::string head =
            std::string("--") + row.name + (row.arg ? std::string(" ") + row.arg : "");
        printf("  %-24s  ", head.c_str());
        for (const char* p = row.help; *p; ++p) {
            putchar(*p);
            if (*p == '\n')
                printf("%28s", "");
        }
        putchar('\n');
    }
}

// 0: run; 1: exit successfully (help); 2: bad usage.
int ParseOptions(int argc, char** argv, Options* o) {
    // getopt_long's val is the row's index past kFirstVal, clear of the '?' it returns for an
    // unknown option.
    constexpr int kFirstVal = 1000;
    std::vector<option> longOptions;
    for (int i = 0; i < kOptionRows; ++i) {
        if (kOptions[i].name)
            longOptions.push_back({kOptions[i].name,
                                   kOptions[i].arg ? required_argument : no_argument, nullptr,
                                   kFirstVal + i});
    }
    longOptions.push_back({nullptr, 0, nullptr, 0});
    int c;
    while ((c = getopt_long(argc, argv, "", longOptions.data(), nullptr)) != -1) {
        if (c < kFirstVal || c >= kFirstVal + kOptionRows) {
            fputs("Try 'ecusim --help'.\n", stderr);
            return 2;
        }
        const OptionRow& row = kOptions[c - kFirstVal];
        if (!row.apply(row.arg ? optarg : nullptr, o)) {
            fprintf(stderr, "ecusim: bad value '%s' for --%s\n", optarg ? optarg : "", row.name);
            return 2;
        }
        if (o->help) {
            PrintHelp();
            return 1;
        }
    }
    if (optind < argc) {
        fprintf(stderr, "ecusim: unexpected argument '%s'\n", argv[optind]);
        return 2;
    }
    return 0;
}

uint64_t MonoNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

// The pty, which a hang-up closes and a plug-in makes anew. ecusim keeps a descriptor of the
// slave open itself, so the master never reads end-of-file while the tester has the port closed,
// and so that it can read the line settings the tester applied.
struct Pty {
    int master = -1;
    int slave = -1;
    std::string slavePath;
    dev_t rdev = 0;

    bool Open() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
            perror("ecusim: posix_openpt");
            return false;
        }
        char name[128];
        if (ptsname_r(master, name, sizeof name) != 0) {
            perror("ecusim: ptsname_r");
            return false;
        }
        slavePath = name;
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios tio;
        struct stat st;
        if (slave < 0 || tcgetattr(slave, &tio) != 0 || fstat(slave, &st) != 0) {
            perror("ecusim: pty slave");
            return false;
        }
        // Raw, so that no byte is translated; the speed is left at the pty's default, so a
        // tester that forgets to set 9600 baud is not answered.
        cfmakeraw(&tio);
        tcsetattr(slave, TCSANOW, &tio);
        rdev = st.st_rdev;
        return true;
    }
    void Close() {
        if (master >= 0)
            close(master);
        if (slave >= 0)
            close(slave);
        master = slave = -1;
    }
    bool IsOpen() const { return master >= 0; }
};

struct LineSettings {
    uint32_t baud = 0;
    int dataBits = 0, parity = 0, stopBits = 0;
    bool operator!=(const LineSettings& o) const {
        return baud != o.baud || dataBits != o.dataBits || parity != o.parity ||
               stopBits != o.stopBits;
    }
};

uint32_t BaudOf(speed_t s) {
    switch (s) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    default: return 0;
    }
}

class Simulator {
  public:
    Simulator(const Options& o) : opt_(o), model_(o.scenario) {}
    int Run();

  private:
    uint64_t NowUs() const { return (MonoNs() - startNs_) / 1000; }
    bool PlugIn();
    void Unplug();
    void PollSettings(uint64_t nowUs);
    void DeliverDue();
    void ReadTester();
    void ReadRtsSocket();
    void Trace(uint64_t tUs, const char* what, unsigned value);
    void Note(uint64_t tUs, const char* text);
    void PrintSummary();

    Options opt_;
    EcuModel model_;
    Pty pty_;
    int rtsSock_ = -1;
    FILE* trace_ = nullptr;
    uint64_t startNs_ = 0;
    uint64_t lastWriteUs_ = 0;
    uint64_t lastLineEventUs_ = 0; // the last byte written or read
    bool wroteAny_ = false;
    LineSettings settings_;
    uint64_t droppedBytes_ = 0;
    uint32_t wakeUpsNoted_ = 0; // wake-ups whose sync delay the trace has
};

bool Simulator::PlugIn() {
    if (!pty_.Open()) {
        return false;
    }
    settings_ = LineSettings();
    if (!opt_.link.empty()) {
        struct stat st;
        if (lstat(opt_.link.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                fprintf(stderr, "ecusim: %s exists and is not a symlink\n", opt_.link.c_str());
                return false;
            }
            unlink(opt_.link.c_str());
        }
        if (symlink(pty_.slavePath.c_str(), opt_.link.c_str()) != 0) {
            perror("ecusim: symlink");
            return false;
        }
    }
    printf("ecusim: pty %s%s%s\n", pty_.slavePath.c_str(), opt_.link.empty() ? "" : " linked as ",
           opt_.link.c_str());
    fflush(stdout);
    return true;
}

void Simulator::Unplug() {
    if (!opt_.link.empty()) {
        char target[256];
        ssize_t n = readlink(opt_.link.c_str(), target, sizeof target - 1);
        if (n >= 0) {
            target[n] = '\0';
            if (pty_.slavePath == target)
                unlink(opt_.link.c_str());
        }
    }
    pty_.Close();
}

void Simulator::Trace(uint64_t tUs, const char* what, unsigned value) {
    if (trace_)
        fprintf(trace_, "%" PRIu64 " %s %02X\n", tUs, what, value);
}

void Simulator::Note(uint64_t tUs, const char* text) {
    if (trace_)
        fprintf(trace_, "# %" PRIu64 " %s\n", tUs, text);
}

void Simulator::PollSettings(uint64_t nowUs) {
    termios tio;
    if (!pty_.IsOpen() || tcgetattr(pty_.slave, &tio) != 0) {
        return;
    }
    LineSettings s;
    s.baud = BaudOf(cfgetospeed(&tio));
    switch (tio.c_cflag & CSIZE) {
    case CS5: s.dataBits = 5; break;
    case CS6: s.dataBits = 6; break;
    case CS7: s.dataBits = 7; break;
    default: s.dataBits = 8; break;
    }
    s.parity = (tio.c_cflag & PARENB) ? ((tio.c_cflag & PARODD) ? 1 : 2) : 0;
    s.stopBits = (tio.c_cflag & CSTOPB) ? 2 : 1;
    if (s != settings_) {
        settings_ = s;
        model_.SetLineSettings(s.baud, s.dataBits, s.parity, s.stopBits, nowUs);
        if (trace_) {
            fprintf(trace_, "# %" PRIu64 " line %u %d%c%d\n", nowUs, s.baud, s.dataBits,
                    "NOE"[s.parity], s.stopBits);
        }
    }
}

// Writes every byte whose time has come, one byte time apart at the least: if the loop was late
// for one byte, the next waits its full byte time after it rather than catching up.
void Simulator::DeliverDue() {
    for (;;) {
        uint64_t ready = 0;
        uint64_t now = NowUs();
        if (!model_.NextReady(&ready) || ready > now)
            return;
        if (wroteAny_ && now < lastWriteUs_ + ecusim::kByteUs)
            return;
        uint8_t b = 0;
        Direction dir = Direction::Ecu;
        if (!model_.PopByte(now, &b, &dir))
            return;
        if (write(pty_.master, &b, 1) != 1) {
            ++droppedBytes_; // the tester is not reading and the pty is full
        }
        lastWriteUs_ = now;
        lastLineEventUs_ = now;
        wroteAny_ = true;
        if (model_.stats().wakeUps != wakeUpsNoted_) {
            wakeUpsNoted_ = model_.stats().wakeUps;
            char text[48];
            snprintf(text, sizeof text, "sync delay %" PRIu64 " ms",
                     model_.lastSyncDelayUs() / 1000);
            Note(now, text);
        }
        Trace(now, ecusim::DirectionName(dir), b);
    }
}

void Simulator::ReadTester() {
    uint8_t buf[256];
    ssize_t n = read(pty_.master, buf, sizeof buf);
    if (n <= 0)
        return;
    uint64_t now = NowUs();
    lastLineEventUs_ = now;
    PollSettings(now);
    for (ssize_t i = 0; i < n; ++i) {
        Trace(now, "tester", buf[i]);
        model_.TesterWrites(buf[i], now);
    }
}

void Simulator::ReadRtsSocket() {
    RtsMessage msg;
    for (;;) {
        ssize_t n = recv(rtsSock_, &msg, sizeof msg, MSG_DONTWAIT);
        if (n < 0)
            return;
        if (n != sizeof msg || msg.magic != RTS_MESSAGE_MAGIC)
            continue;
        uint64_t t = msg.monoNs > startNs_ ? (msg.monoNs - startNs_) / 1000 : 0;
        if (!pty_.IsOpen() || msg.rdev != uint64_t(pty_.rdev)) {
            Note(t, "rts change on another pty ignored");
            continue;
        }
        PollSettings(NowUs());
        if (trace_)
            fprintf(trace_, "%" PRIu64 " rts %u\n", t, msg.asserted);
        model_.SetRts(msg.asserted != 0, t);
    }
}

void Simulator::PrintSummary() {
    ecusim::Stats s = model_.stats();
    printf("ecusim summary\n"
           "wake-ups: %u\nwake-ups refused: %u\nframes broken: %u\n"
           "blocks from ecu: %u\nblocks from tester: %u\npoll cycles: %u\n"
           "sessions ended: %u\nsessions timed out: %u\nsessions aborted: %u\n"
           "protocol errors: %u\ntester counter errors: %u\nfaults injected: %u\n"
           "hang-ups: %u\nbytes dropped: %" PRIu64 "\n"
           "late tester bytes: %u\nslowest tester reply us: %" PRIu64 "\n",
           s.wakeUps, s.wakeUpsRefused, s.framesBroken, s.blocksFromEcu, s.blocksFromTester,
           s.pollCycles, s.sessionsEnded, s.sessionsTimedOut, s.sessionsAborted, s.protocolErrors,
           s.testerCounterErrors, s.faultsInjected, s.hangUps, droppedBytes_, s.lateTesterBytes,
           s.slowestTesterReplyUs);
    fflush(stdout);
}

int Simulator::Run() {
    startNs_ = MonoNs();
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL); // wake within microseconds of the byte time
    if (!opt_.trace.empty()) {
        trace_ = fopen(opt_.trace.c_str(), "w");
        if (!trace_) {
            perror("ecusim: trace file");
            return 1;
        }
        char text[48];
        snprintf(text, sizeof text, "seed %" PRIu64, opt_.scenario.seed);
        Note(0, text);
    }
    if (!opt_.rtsSocket.empty()) {
        rtsSock_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (rtsSock_ < 0 || opt_.rtsSocket.size() >= sizeof addr.sun_path) {
            fprintf(stderr, "ecusim: cannot use RTS socket %s\n", opt_.rtsSocket.c_str());
            return 1;
        }
        strcpy(addr.sun_path, opt_.rtsSocket.c_str());
        unlink(addr.sun_path);
        if (bind(rtsSock_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            perror("ecusim: bind RTS socket");
            return 1;
        }
    }
    if (!PlugIn()) {
        return 1;
    }

    // Signals are held back except while waiting in ppoll, so none is lost between a check of
    // gStop and the wait.
    sigset_t blocked, waitMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);

    uint64_t endUs = opt_.durationS > 0 ? uint64_t(opt_.durationS * 1e6) : UINT64_MAX;
    while (!gStop) {
        uint64_t now = NowUs();
        if (now >= endUs)
            break;
        model_.Advance(now);
        uint64_t until = 0;
        bool hung = model_.HungUp(&until);
        if (hung && pty_.IsOpen()) {
            Note(now, "hang-up: adapter pulled out");
            Unplug();
        } else if (!hung && !pty_.IsOpen()) {
            if (!PlugIn())
                return 1;
            Note(NowUs(), "adapter plugged back in");
        }
        if (pty_.IsOpen()) {
            PollSettings(now);
            DeliverDue();
        }

        // Sleep until the next byte is due, a time-out in the model may fire, or input arrives.
        uint64_t wakeUs = now + 100000;
        uint64_t ready = 0;
        bool byteDue = false;
        if (pty_.IsOpen() && model_.NextReady(&ready)) {
            if (wroteAny_)
                ready = std::max(ready, lastWriteUs_ + ecusim::kByteUs);
            byteDue = ready <= wakeUs;
            wakeUs = std::min(wakeUs, ready);
        }
        if (hung)
            wakeUs = std::min(wakeUs, until);
        wakeUs = std::min(wakeUs, endUs);
        now = NowUs();
        uint64_t sleepUs = wakeUs > now ? wakeUs - now : 0;
        // The last stretch before a byte is due is polled rather than slept: a timed wait on a
        // busy machine wakes tens of microseconds late, sometimes hundreds, and that lateness
        // would pass for line time the tester lost.
        if (byteDue)
            sleepUs = sleepUs > kSpinUs ? sleepUs - kSpinUs : 0;
        if (opt_.busyPollUs && lastLineEventUs_ + opt_.busyPollUs > now)
            sleepUs = 0;
        if (sleepUs > 5000 && trace_)
            fflush(trace_);
        pollfd fds[2];
        int nfds = 0;
        if (pty_.IsOpen())
            fds[nfds++] = {pty_.master, POLLIN, 0};
        if (rtsSock_ >= 0)
            fds[nfds++] = {rtsSock_, POLLIN, 0};
        timespec ts{time_t(sleepUs / 1000000), long(sleepUs % 1000000) * 1000};
        int r = ppoll(fds, nfds_t(nfds), &ts, &waitMask);
        if (r <= 0)
            continue;
        for (int i = 0; i < nfds; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            if (fds[i].fd == rtsSock_)
                ReadRtsSocket();
            else
                ReadTester();
        }
    }
    Note(NowUs(), "end");
    if (trace_)
        fclose(trace_);
    Unplug();
    if (rtsSock_ >= 0) {
        close(rtsSock_);
        unlink(opt_.rtsSocket.c_str());
    }
    PrintSummary();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Options opt;
    int parsed = ParseOptions(argc, argv, &opt);
    if (parsed != 0) {
        return parsed == 1 ? 0 : 2;
    }
    if (!opt.seedGiven) {
        opt.scenario.seed = MonoNs() ^ (uint64_t(getpid()) << 32);
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    Simulator sim(opt);
    return sim.Run();
}
