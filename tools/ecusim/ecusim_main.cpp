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
    Scenario scenario;
};

const char kHelp[] =
    "Usage: ecusim [OPTION]...\n"
    "Plays a K-line adapter and ECU on a pty, in real time at 9600 baud.\n"
    "\n"
    "  --link PATH               make PATH a symlink to the pty slave (an existing symlink is\n"
    "                            replaced), e.g. $WINEPREFIX/dosdevices/com9\n"
    "  --rts-socket PATH         listen for the RTS bridge's datagrams on this Unix socket; give\n"
    "                            the tester TARVEX_RTS_SOCKET=PATH and LD_PRELOAD=librtsbridge.so\n"
    "  --trace FILE              write one line per byte: microseconds since start, then\n"
    "                            tester/echo/ecu and the byte in hex; RTS changes as 'rts 1'\n"
    "                            (asserted, line low) or 'rts 0'; events as lines starting '#'\n"
    "  --duration SECONDS        stop after this long (default: run until SIGINT or SIGTERM)\n"
    "  --busy-poll-us US         after each byte on the line, poll for the tester's next byte\n"
    "                            for this long instead of sleeping (for benchmarks: a sleeping\n"
    "                            simulator wakes late, which a real adapter does not)\n"
    "  --ecu-delay-us US         ECU reaction time before each byte it sends (a slow ECU)\n"
    "  --sweep-memory            memory reads answer 0, 1, ..., 255, 0, ... in turn instead of\n"
    "                            the engine's values (every byte value crosses the line)\n"
    "  --sync-delay-ms MS        the sync byte comes MS after the address's stop bit (default:\n"
    "                            60 to 300 ms, drawn anew at each wake-up)\n"
    "  --seed N                  seed of those delays (default: from the clock; the trace\n"
    "                            records it, so a run can be repeated)\n"
    "  --tester-reply-limit-ms MS  end the session when a tester byte the ECU waits for (the\n"
    "                            answer to keyword 2, a complement, the next byte of a block)\n"
    "                            is later than MS (default 100; 0: no limit)\n"
    "\n"
    "The adapter echoes every byte the tester writes; while RTS is on it holds the K-line low,\n"
    "and a byte written then comes back as 0x00 (a break). Adapters that cannot serve:\n"
    "  --ignore-rts              the adapter ignores RTS: the K-line never goes low, so bytes\n"
    "                            written with RTS on come back unchanged and no address ever\n"
    "                            reaches the ECU (it never wakes)\n"
    "  --no-echo                 the adapter echoes nothing the tester writes, as one without\n"
    "                            power from the car's socket (the ECU still hears the bytes)\n"
    "\n"
    "Faults (numbers may be given in hex as 0x..; 'block N' counts the blocks of a session in\n"
    "both directions from 1, like the block counter without its wrap: block 15 answers the first\n"
    "poll):\n"
    "  --sync-byte B             send B instead of the sync byte 0x55 (e.g. 0xAA)\n"
    "  --keyword1 B              send B instead of keyword 1, 0x0B\n"
    "  --keyword2 B              send B instead of keyword 2, 0x02\n"
    "  --no-fd-echo              the adapter does not echo the tester's answer to keyword 2\n"
    "  --wrong-fd-echo B         the adapter echoes B instead of that answer\n"
    "  --reject-at-block N       send block N as a bare block of title 0x0A\n"
    "  --wrong-counter-at-block N  block N carries its counter plus one\n"
    "  --silent-after-bytes N    the ECU falls silent after sending N bytes in a session\n"
    "                            (counting the sync and keyword bytes)\n"
    "  --silent-at-block N       the ECU sends nothing from the first byte of block N on\n"
    "  --bad-length-at-block N   block N carries a length byte outside 3..202\n"
    "  --bad-length L            that length byte (default 0xFF)\n"
    "  --hang-up-at-block N      pull the adapter out when block N would begin: the pty is\n"
    "                            closed and the link removed\n"
    "  --hang-up-after-ms MS     ... or MS after start (once)\n"
    "  --hang-up-pause-ms MS     plug it back in (new pty, link renewed) after MS (default 3000)\n"
    "  --fault-sessions N        only the first N wake-ups carry the faults (default 0: all)\n"
    "\n"
    "  --help                    show this text\n"
    "\n"
    "The ECU answers a wake-up only to address 0x10 with odd parity, clocked at 5 baud on RTS,\n"
    "and only while the tester's port is set to 9600 baud, 8 data bits, no parity, 1 stop bit.\n"
    "On exit it prints a summary: wake-ups, blocks, poll cycles and faults injected.\n";

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

enum OptionId {
    kOptLink = 1000,
    kOptRtsSocket,
    kOptTrace,
    kOptDuration,
    kOptBusyPoll,
    kOptEcuDelay,
    kOptSweepMemory,
    kOptSync,
    kOptKw1,
    kOptKw2,
    kOptNoFdEcho,
    kOptWrongFdEcho,
    kOptReject,
    kOptWrongCounter,
    kOptSilentBytes,
    kOptSilentBlock,
    kOptBadLengthAt,
    kOptBadLength,
    kOptHangBlock,
    kOptHangMs,
    kOptHangPause,
    kOptFaultSessions,
    kOptSyncDelay,
    kOptSeed,
    kOptReplyLimit,
    kOptIgnoreRts,
    kOptNoEcho,
    kOptHelp
};

// 0: run; 1: exit successfully (help); 2: bad usage.
int ParseOptions(int argc, char** argv, Options* o) {
    static const option kLong[] = {
        {"link", required_argument, nullptr, kOptLink},
        {"rts-socket", required_argument, nullptr, kOptRtsSocket},
        {"trace", required_argument, nullptr, kOptTrace},
        {"duration", required_argument, nullptr, kOptDuration},
        {"busy-poll-us", required_argument, nullptr, kOptBusyPoll},
        {"ecu-delay-us", required_argument, nullptr, kOptEcuDelay},
        {"sweep-memory", no_argument, nullptr, kOptSweepMemory},
        {"sync-byte", required_argument, nullptr, kOptSync},
        {"keyword1", required_argument, nullptr, kOptKw1},
        {"keyword2", required_argument, nullptr, kOptKw2},
        {"no-fd-echo", no_argument, nullptr, kOptNoFdEcho},
        {"wrong-fd-echo", required_argument, nullptr, kOptWrongFdEcho},
        {"reject-at-block", required_argument, nullptr, kOptReject},
        {"wrong-counter-at-block", required_argument, nullptr, kOptWrongCounter},
        {"silent-after-bytes", required_argument, nullptr, kOptSilentBytes},
        {"silent-at-block", required_argument, nullptr, kOptSilentBlock},
        {"bad-length-at-block", required_argument, nullptr, kOptBadLengthAt},
        {"bad-length", required_argument, nullptr, kOptBadLength},
        {"hang-up-at-block", required_argument, nullptr, kOptHangBlock},
        {"hang-up-after-ms", required_argument, nullptr, kOptHangMs},
        {"hang-up-pause-ms", required_argument, nullptr, kOptHangPause},
        {"fault-sessions", required_argument, nullptr, kOptFaultSessions},
        {"sync-delay-ms", required_argument, nullptr, kOptSyncDelay},
        {"seed", required_argument, nullptr, kOptSeed},
        {"tester-reply-limit-ms", required_argument, nullptr, kOptReplyLimit},
        {"ignore-rts", no_argument, nullptr, kOptIgnoreRts},
        {"no-echo", no_argument, nullptr, kOptNoEcho},
        {"help", no_argument, nullptr, kOptHelp},
        {nullptr, 0, nullptr, 0},
    };
    const int64_t kBig = INT64_C(1) << 40;
    Scenario& sc = o->scenario;
    int c;
    while ((c = getopt_long(argc, argv, "", kLong, nullptr)) != -1) {
        int64_t v = 0;
        bool ok = true;
        switch (c) {
        case kOptLink: o->link = optarg; break;
        case kOptRtsSocket: o->rtsSocket = optarg; break;
        case kOptTrace: o->trace = optarg; break;
        case kOptDuration: {
            char* end = nullptr;
            o->durationS = strtod(optarg, &end);
            ok = end != optarg && *end == '\0' && o->durationS > 0;
            break;
        }
        case kOptBusyPoll:
            ok = ParseNumber(optarg, 0, 1000000, &v);
            o->busyPollUs = static_cast<uint64_t>(v);
            break;
        case kOptEcuDelay:
            ok = ParseNumber(optarg, 0, 1000000, &v);
            sc.ecuDelayUs = static_cast<uint32_t>(v);
            break;
        case kOptSweepMemory: sc.sweepMemory = true; break;
        case kOptSync:
            ok = ParseNumber(optarg, 0, 255, &v);
            sc.syncByte = uint8_t(v);
            break;
        case kOptKw1:
            ok = ParseNumber(optarg, 0, 255, &v);
            sc.keyword1 = uint8_t(v);
            break;
        case kOptKw2:
            ok = ParseNumber(optarg, 0, 255, &v);
            sc.keyword2 = uint8_t(v);
            break;
        case kOptNoFdEcho: sc.fdEcho = ecusim::FdEcho::None; break;
        case kOptWrongFdEcho:
            ok = ParseNumber(optarg, 0, 255, &v);
            sc.fdEcho = ecusim::FdEcho::Wrong;
            sc.wrongFdEcho = uint8_t(v);
            break;
        case kOptReject: ok = ParseNumber(optarg, 1, kBig, &sc.rejectAtBlock); break;
        case kOptWrongCounter: ok = ParseNumber(optarg, 1, kBig, &sc.wrongCounterAtBlock); break;
        case kOptSilentBytes: ok = ParseNumber(optarg, 0, kBig, &sc.silentAfterEcuBytes); break;
        case kOptSilentBlock: ok = ParseNumber(optarg, 1, kBig, &sc.silentAtBlock); break;
        case kOptBadLengthAt: ok = ParseNumber(optarg, 1, kBig, &sc.badLengthAtBlock); break;
        case kOptBadLength:
            ok = ParseNumber(optarg, 0, 255, &v) && (v < 3 || v > ecusim::kMaxBlockLength);
            sc.badLength = uint8_t(v);
            break;
        case kOptHangBlock: ok = ParseNumber(optarg, 1, kBig, &sc.hangUpAtBlock); break;
        case kOptHangMs:
            ok = ParseNumber(optarg, 0, kBig, &v);
            sc.hangUpAtUs = v * 1000;
            break;
        case kOptHangPause:
            ok = ParseNumber(optarg, 0, kBig, &v);
            sc.hangUpPauseUs = static_cast<uint64_t>(v) * 1000;
            break;
        case kOptFaultSessions:
            ok = ParseNumber(optarg, 0, 1000000, &v);
            sc.faultSessions = static_cast<uint32_t>(v);
            break;
        case kOptSyncDelay:
            ok = ParseNumber(optarg, 0, 1400, &v);
            sc.syncDelayUs = v * 1000;
            break;
        case kOptSeed:
            ok = ParseNumber(optarg, 0, kBig, &v);
            sc.seed = static_cast<uint64_t>(v);
            o->seedGiven = true;
            break;
        case kOptReplyLimit:
            ok = ParseNumber(optarg, 0, 1000000, &v);
            sc.testerReplyLimitUs = static_cast<uint64_t>(v) * 1000;
            break;
        case kOptIgnoreRts: sc.rtsIgnored = true; break;
        case kOptNoEcho: sc.noEcho = true; break;
        case kOptHelp: fputs(kHelp, stdout); return 1;
        default: fputs("Try 'ecusim --help'.\n", stderr); return 2;
        }
        if (!ok) {
            fprintf(stderr, "ecusim: bad value '%s' for --%s\n", optarg ? optarg : "",
                    kLong[c - kOptLink].name);
            return 2;
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
