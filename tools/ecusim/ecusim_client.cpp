// A small native tester: it opens the pty that ecusim links, sets the line, wakes the ECU by
// switching RTS with ioctl (which only the RTS bridge, preloaded, can answer on a pty), runs the
// opening exchange, polls the eight channels in turn and ends the session. It is written apart
// from the ECU model, from its own reading of the protocol. The benchmarks run it in Tarvex's
// place; run_pty_check.sh runs it to see ecusim read the tester's line settings.
//
//   ecusim_client session --port PATH [--baud B] [--polls N] [--end-session] [--expect-silence]
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

int Fail(const char* what) {
    fprintf(stderr, "ecusim_client: FAIL: %s\n", what);
    return 1;
}

int fd = -1;

int ReadByte(int timeoutMs = 1500) {
    pollfd p = {fd, POLLIN, 0};
    uint8_t b = 0;
    return poll(&p, 1, timeoutMs) > 0 && read(fd, &b, 1) == 1 ? b : -1;
}
void WriteByte(uint8_t b) {
    if (write(fd, &b, 1) != 1)
        perror("write");
}
bool SetRts(bool on) {
    int bit = TIOCM_RTS;
    return ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bit) == 0;
}

// Sends a block, each byte but the end answered by the ECU's complement; false on a wrong echo
// or complement.
bool SendBlock(const std::vector<uint8_t>& block) {
    for (size_t i = 0; i < block.size(); ++i) {
        WriteByte(block[i]);
        if (ReadByte() != block[i] || (i + 1 < block.size() && ReadByte() != 0xFF - block[i]))
            return false;
    }
    return true;
}

// Receives a block, complementing every byte but the end.
bool GetBlock(std::vector<uint8_t>* block) {
    int length = ReadByte();
    if (length < 3)
        return false;
    block->assign(1, uint8_t(length));
    for (int i = 0; i < length; ++i) {
        uint8_t c = uint8_t(0xFF - block->back());
        WriteByte(c);
        int b = ReadByte() == c ? ReadByte() : -1;
        if (b < 0)
            return false;
        block->push_back(uint8_t(b));
    }
    return block->back() == 0x03;
}

} // namespace

int main(int argc, char** argv) {
    const char* path = nullptr;
    int baud = 9600, polls = 0;
    bool expectSilence = false, endSession = false;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "0";
        if (a == "--port")
            path = argv[++i];
        else if (a == "--baud")
            baud = atoi(value), ++i;
        else if (a == "--polls")
            polls = atoi(value), ++i;
        else if (a == "--expect-silence")
            expectSilence = true;
        else if (a == "--end-session")
            endSession = true;
        else
            return Fail(("unknown option " + a).c_str());
    }
    if (argc < 2 || std::string(argv[1]) != "session")
        return Fail("usage: ecusim_client session --port PATH [--baud B] [--polls N] "
                    "[--end-session] [--expect-silence]");
    fd = path ? open(path, O_RDWR | O_NOCTTY) : -1;
    if (fd < 0)
        return Fail("cannot open the port");
    termios tio;
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    cfsetspeed(&tio, baud == 9600 ? B9600 : baud == 19200 ? B19200 : B38400);
    tio.c_cflag &= ~(PARENB | CSTOPB | CSIZE);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    int lines = 0;
    if (tcsetattr(fd, TCSANOW, &tio) != 0)
        return Fail("tcsetattr");
    if (!SetRts(true) || ioctl(fd, TIOCMGET, &lines) != 0 || !(lines & TIOCM_RTS) || !SetRts(false))
        return Fail("RTS does not read back as set: is the RTS bridge preloaded?");
    usleep(400000); // idle high before the start bit

    // 5 baud: start, 7 address bits (0x10) LSB first, odd parity, stop; on a fixed time grid.
    const bool bits[10] = {false, false, false, false, false, true, false, false, false, true};
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    for (int i = 0; i < 10; ++i) {
        SetRts(!bits[i]);
        t.tv_nsec += 200000000L;
        t.tv_sec += t.tv_nsec / 1000000000L;
        t.tv_nsec %= 1000000000L;
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
        }
    }
    tcflush(fd, TCIOFLUSH);

    int sync = ReadByte();
    if (expectSilence)
        return sync < 0 ? 0 : Fail("the ECU answered a wake-up it should have refused");
    if (sync != 0x55 || ReadByte() != 0x0B || ReadByte() != 0x02)
        return Fail("wake-up answer is not 55 0B 02");
    usleep(10000);
    WriteByte(0xFD);
    if (ReadByte() != 0xFD)
        return Fail("no echo of FD");
    std::vector<uint8_t> block;
    for (int k = 1; k <= 13; k += 2) {
        if (!GetBlock(&block) || block[1] != k || block[2] != 0xF6)
            return Fail("opening block");
        uint8_t title = k + 1 == 10 ? 0x07 : 0x09;
        if (k < 13 && !SendBlock({0x03, uint8_t(k + 1), title, 0x03}))
            return Fail("opening reply");
    }

    // Six memory cells, then MAF and battery on the ADC.
    const uint8_t addresses[6] = {0x37, 0x38, 0x45, 0x3A, 0x42, 0x5D};
    uint8_t counter = 13;
    for (int p = 0; p < polls; ++p) {
        int channel = p % 8;
        ++counter;
        bool memory = channel < 6;
        if (!SendBlock(memory ? std::vector<uint8_t>{0x06, counter, 0x01, 0x01, 0x00,
                                                     addresses[channel], 0x03}
                              : std::vector<uint8_t>{0x04, counter, 0x08, uint8_t(channel - 6),
                                                     0x03}))
            return Fail("poll request");
        ++counter;
        if (!GetBlock(&block) || block[1] != counter || block[2] != (memory ? 0xFE : 0xFB) ||
            block.size() != (memory ? 5u : 6u))
            return Fail("poll answer");
    }
    if (endSession && (!SendBlock({0x03, counter, 0x06, 0x03}) || ReadByte(300) >= 0))
        return Fail("end of session");
    printf("%d polls answered\n", polls);
    return 0;
}
