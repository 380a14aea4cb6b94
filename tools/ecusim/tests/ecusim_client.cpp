// A small tester for the integration test: it opens the pty that ecusim links, sets the line,
// wakes the ECU by switching RTS with ioctl (which only the RTS bridge, preloaded, can answer on a
// pty), runs the opening exchange and polls. It is written apart from the ECU model on purpose, so
// that the model is checked against an independent reading of the protocol.
//
//   ecusim_client session --port PATH [--address A] [--flip-parity] [--baud B] [--polls N]
//                         [--expect-silence] [--end-session]
//   ecusim_client check-trace FILE [--min-wakeups N]
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

int Fail(const char* what) {
    fprintf(stderr, "ecusim_client: FAIL: %s\n", what);
    return 1;
}

struct Port {
    int fd = -1;

    int ReadByte(int timeoutMs = 1500) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            return -1;
        uint8_t b = 0;
        return read(fd, &b, 1) == 1 ? b : -1;
    }
    void WriteByte(uint8_t b) {
        if (write(fd, &b, 1) != 1)
            perror("write");
    }
    bool SetRts(bool on) {
        int bit = TIOCM_RTS;
        return ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bit) == 0;
    }
};

speed_t SpeedOf(int baud) {
    switch (baud) {
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    default: return B38400;
    }
}

void SleepUntil(const timespec& t) {
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}

timespec AddMs(timespec t, long ms) {
    t.tv_nsec += (ms % 1000) * 1000000L;
    t.tv_sec += ms / 1000 + t.tv_nsec / 1000000000L;
    t.tv_nsec %= 1000000000L;
    return t;
}

// Sends a block, each byte but the end answered by the ECU's complement. False on a wrong echo
// or complement.
bool SendBlock(Port& port, const std::vector<uint8_t>& block) {
    for (size_t i = 0; i < block.size(); ++i) {
        port.WriteByte(block[i]);
        if (port.ReadByte() != block[i])
            return false;
        if (i + 1 < block.size() && port.ReadByte() != 0xFF - block[i])
            return false;
    }
    return true;
}

// Receives a block, complementing every byte but the end.
bool GetBlock(Port& port, std::vector<uint8_t>* block) {
    block->clear();
    int length = port.ReadByte();
    if (length < 3)
        return false;
    block->push_back(uint8_t(length));
    for (int i = 0; i <= length; ++i) {
        if (i > 0) {
            int b = port.ReadByte();
            if (b < 0)
                return false;
            block->push_back(uint8_t(b));
        }
        if (i < length) {
            uint8_t c = uint8_t(0xFF - block->back());
            port.WriteByte(c);
            if (port.ReadByte() != c)
                return false;
        }
    }
    return block->back() == 0x03;
}

int Session(int argc, char** argv) {
    const char* path = nullptr;
    int address = 0x10, baud = 9600, polls = 0;
    bool flipParity = false, expectSilence = false, endSession = false;
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() { return i + 1 < argc ? argv[++i] : (char*)"0"; };
        if (a == "--port")
            path = next();
        else if (a == "--address")
            address = int(strtol(next(), nullptr, 0));
        else if (a == "--baud")
            baud = atoi(next());
        else if (a == "--polls")
            polls = atoi(next());
        else if (a == "--flip-parity")
            flipParity = true;
        else if (a == "--expect-silence")
            expectSilence = true;
        else if (a == "--end-session")
            endSession = true;
        else
            return Fail(("unknown option " + a).c_str());
    }
    if (!path)
        return Fail("--port missing");

    Port port;
    port.fd = open(path, O_RDWR | O_NOCTTY);
    if (port.fd < 0)
        return Fail("cannot open the port");
    termios tio;
    tcgetattr(port.fd, &tio);
    cfmakeraw(&tio);
    cfsetispeed(&tio, SpeedOf(baud));
    cfsetospeed(&tio, SpeedOf(baud));
    tio.c_cflag &= ~(PARENB | CSTOPB | CSIZE);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    if (tcsetattr(port.fd, TCSANOW, &tio) != 0)
        return Fail("tcsetattr");

    // Without the bridge a pty refuses this; with it, RTS reads back as set.
    int lines = 0;
    if (!port.SetRts(false) || ioctl(port.fd, TIOCMGET, &lines) != 0) {
        return Fail("modem-control ioctl refused: is the RTS bridge preloaded?");
    }
    if (!port.SetRts(true) || ioctl(port.fd, TIOCMGET, &lines) != 0 || !(lines & TIOCM_RTS)) {
        return Fail("RTS does not read back as set");
    }
    port.SetRts(false);
    usleep(400000); // idle high before the start bit

    // 5 baud: start, 7 address bits LSB first, odd parity, stop; on a fixed time grid.
    int ones = __builtin_popcount(unsigned(address) & 0x7F);
    bool parity = ((ones % 2) == 0) != flipParity;
    bool bits[10] = {false};
    for (int i = 0; i < 7; ++i)
        bits[1 + i] = (address >> i) & 1;
    bits[8] = parity;
    bits[9] = true;
    timespec t0;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    bool level = true;
    for (int i = 0; i < 10; ++i) {
        if (bits[i] != level) {
            port.SetRts(!bits[i]);
            level = bits[i];
        }
        SleepUntil(AddMs(t0, 200L * (i + 1)));
    }
    tcflush(port.fd, TCIOFLUSH);

    int sync = port.ReadByte();
    if (expectSilence) {
        if (sync >= 0)
            return Fail("the ECU answered a wake-up it should have refused");
        printf("no answer, as expected\n");
        return 0;
    }
    int kw1 = port.ReadByte(), kw2 = port.ReadByte();
    if (sync != 0x55 || kw1 != 0x0B || kw2 != 0x02) {
        fprintf(stderr, "got %d %d %d\n", sync, kw1, kw2);
        return Fail("wake-up answer is not 55 0B 02");
    }
    usleep(10000);
    port.WriteByte(0xFD);
    if (port.ReadByte() != 0xFD)
        return Fail("no echo of FD");

    std::vector<uint8_t> block;
    for (int k = 1; k <= 13; k += 2) {
        if (!GetBlock(port, &block) || block[1] != k)
            return Fail("opening block");
        printf("block %d title %02X: %.*s\n", k, block[2], int(block.size() - 4),
               reinterpret_cast<const char*>(block.data() + 3));
        if (k == 13)
            break;
        uint8_t title = k + 1 == 10 ? 0x07 : 0x09;
        if (!SendBlock(port, {0x03, uint8_t(k + 1), title, 0x03}))
            return Fail("opening reply");
    }

    // The eight channels in turn: six memory cells, then MAF and battery on the ADC.
    const uint8_t addresses[6] = {0x37, 0x38, 0x45, 0x3A, 0x42, 0x5D};
    uint8_t counter = 13;
    for (int p = 0; p < polls; ++p) {
        int channel = p % 8;
        ++counter;
        std::vector<uint8_t> request =
            channel < 6
                ? std::vector<uint8_t>{0x06, counter, 0x01, 0x01, 0x00, addresses[channel], 0x03}
                : std::vector<uint8_t>{0x04, counter, 0x08, uint8_t(channel - 6), 0x03};
        if (!SendBlock(port, request))
            return Fail("poll request");
        ++counter;
        if (!GetBlock(port, &block) || block[1] != counter)
            return Fail("poll answer");
        double value = 0;
        if (channel < 6) {
            if (block[2] != 0xFE || block.size() != 5)
                return Fail("memory answer layout");
            value = block[3];
        } else {
            if (block[2] != 0xFB || block.size() != 6)
                return Fail("ADC answer layout");
            value = block[3] * 256 + block[4];
        }
        if (channel == 3 && (value * 40 < 600 || value * 40 > 4000))
            return Fail("RPM");
        if (channel == 1 && (value * 1.15 - 26 < 50 || value * 1.15 - 26 > 200)) {
            return Fail("head temperature");
        }
        if (channel == 7 && (value * 682 / 1e6 < 13 || value * 682 / 1e6 > 14.5)) {
            return Fail("battery");
        }
    }
    printf("%d polls answered\n", polls);
    if (endSession) {
        if (!SendBlock(port, {0x03, counter, 0x06, 0x03}))
            return Fail("end of session");
        if (port.ReadByte(300) >= 0)
            return Fail("a byte after the end of session");
    }
    close(port.fd);
    return 0;
}

// The trace must show the bridge's RTS changes, the wake-up answers, and the simulator's bytes
// never closer together than one byte time at 9600 baud.
int CheckTrace(int argc, char** argv) {
    if (argc < 1)
        return Fail("trace file missing");
    int minWakeUps = 1;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--min-wakeups")
            minWakeUps = atoi(argv[i + 1]);
    }
    std::ifstream in(argv[0]);
    if (!in)
        return Fail("cannot read the trace");
    std::string line;
    uint64_t last = 0, closest = UINT64_MAX;
    bool any = false;
    int rtsLines = 0, syncs = 0, simBytes = 0;
    std::vector<std::string> recent; // the ECU bytes since the last echo
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream ls(line);
        uint64_t t;
        std::string dir, value;
        if (!(ls >> t >> dir >> value))
            return Fail(("bad trace line: " + line).c_str());
        if (dir == "rts") {
            ++rtsLines;
            continue;
        }
        if (dir != "echo" && dir != "ecu")
            continue;
        // 55 0B 02 back to back from the ECU, with no echo between: a wake-up answer (inside
        // blocks every ECU byte is followed by the echo of its complement).
        if (dir == "echo") {
            recent.clear();
        } else {
            recent.push_back(value);
            size_t n = recent.size();
            if (n >= 3 && recent[n - 3] == "55" && recent[n - 2] == "0B" && recent[n - 1] == "02") {
                ++syncs;
            }
        }
        ++simBytes;
        if (any)
            closest = std::min(closest, t - last);
        last = t;
        any = true;
    }
    printf("trace: %d simulator bytes, closest %llu us apart, %d RTS changes, %d sync bytes\n",
           simBytes, (unsigned long long)closest, rtsLines, syncs);
    if (simBytes < 2)
        return Fail("too few bytes in the trace");
    if (closest < 1040)
        return Fail("two bytes closer than one byte time at 9600 baud");
    if (rtsLines < 4)
        return Fail("no RTS changes in the trace");
    if (syncs < minWakeUps)
        return Fail("fewer wake-up answers than expected");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "session")
        return Session(argc - 2, argv + 2);
    if (argc >= 2 && std::string(argv[1]) == "check-trace")
        return CheckTrace(argc - 2, argv + 2);
    fputs("usage: ecusim_client session|check-trace ...\n", stderr);
    return 2;
}
