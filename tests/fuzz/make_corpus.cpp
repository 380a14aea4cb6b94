// Writes the seed corpora of the fuzz targets: what the simulated ECU sends while the program
// wakes it, takes its opening exchange and polls it, recorded at the program's own reads, for a
// healthy ECU and a few that misbehave; and a handful of Tarvex.cfg files.
//
// Usage: fuzz_make_corpus <dir>   writes <dir>/<target>/<name> for every target.
#include "fuzz_os.h"

#include "app/channel_table.h"
#include "app/session.h"
#include "ecu_model.h"
#include "link/block_exchange.h"
#include "link/connection.h"
#include "link/link_state.h"
#include "link/serial_line.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct Recording {
    explicit Recording(const ecusim::Scenario& s) : ecu(s) {}
    ecusim::EcuModel ecu;
    Bytes bytes;            // every byte the program read, in order
    std::vector<bool> echo; // whether it was the adapter's echo
};
std::unique_ptr<Recording> rec;
std::filesystem::path outDir;
int filesWritten = 0;

// A fresh program with the model behind the port, on the fuzz platform's clock.
void Attach(const ecusim::Scenario& scenario = ecusim::Scenario()) {
    FuzzReset(nullptr, 0, false);
    rec = std::make_unique<Recording>(scenario);
    fuzzOs.peerRead = [](uint8_t* b) {
        ecusim::EcuModel& ecu = rec->ecu;
        ecu.Advance(fuzzOs.nowUs);
        uint64_t ready = 0;
        if (!ecu.NextReady(&ready) || ready > fuzzOs.nowUs + 1500000)
            return 0;
        fuzzOs.nowUs = std::max(fuzzOs.nowUs, ready);
        ecusim::Direction direction;
        if (!ecu.PopByte(fuzzOs.nowUs, b, &direction))
            return 0;
        rec->bytes.push_back(*b);
        rec->echo.push_back(direction == ecusim::Direction::Echo);
        return 1;
    };
    fuzzOs.peerWrite = [](uint8_t b) { rec->ecu.TesterWrites(b, fuzzOs.nowUs); };
    fuzzOs.peerRts = [](int asserted) { rec->ecu.SetRts(asserted != 0, fuzzOs.nowUs); };
    fuzzOs.peerPurge = [] { rec->ecu.Purge(fuzzOs.nowUs); };
    fuzzOs.peerLineSettings = [](uint32_t baud) {
        rec->ecu.SetLineSettings(baud, 8, 0, 1, fuzzOs.nowUs);
    };
    std::wcscpy(portName, L"COM9:");
}

// The bytes read since `from`: all of them, or the ECU's only (for AUTO_ECHO inputs).
Bytes Line(size_t from, bool autoEcho) {
    Bytes out;
    for (size_t i = from; i < rec->bytes.size(); i++)
        if (!autoEcho || !rec->echo[i])
            out.push_back(rec->bytes[i]);
    return out;
}

void Write(const char* target, const std::string& name, const Bytes& header, const Bytes& line) {
    const std::filesystem::path dir = outDir / target;
    std::filesystem::create_directories(dir);
    std::ofstream file(dir / name, std::ios::binary);
    file.write(reinterpret_cast<const char*>(header.data()), static_cast<long>(header.size()));
    file.write(reinterpret_cast<const char*>(line.data()), static_cast<long>(line.size()));
    filesWritten++;
}

void WakeUps() {
    const struct {
        const char* name;
        void (*arrange)(ecusim::Scenario&);
    } cases[] = {
        {"healthy", [](ecusim::Scenario&) {}},
        {"sync-aa", [](ecusim::Scenario& s) { s.syncByte = 0xAA; }},
        {"keyword1-0c", [](ecusim::Scenario& s) { s.keyword1 = 0x0C; }},
        {"keyword2-01", [](ecusim::Scenario& s) { s.keyword2 = 0x01; }},
        {"echo-wrong", [](ecusim::Scenario& s) { s.fdEcho = ecusim::FdEcho::Wrong; }},
        {"echo-none", [](ecusim::Scenario& s) { s.fdEcho = ecusim::FdEcho::None; }},
        {"silent-after-sync", [](ecusim::Scenario& s) { s.silentAfterEcuBytes = 1; }},
    };
    for (const auto& c : cases) {
        ecusim::Scenario scenario;
        c.arrange(scenario);
        Attach(scenario);
        WakeUpEcu();
        Write("wake_up", std::string(c.name) + "-raw", {0}, Line(0, false));
        Write("wake_up", std::string(c.name) + "-auto-echo", {fuzzinput::AUTO_ECHO},
              Line(0, true));
    }
}

// One block received into its slot, as the program's own loops call the receiver.
void RecordBlock(const std::string& name, int channel, bool alsoAutoEcho) {
    const size_t from = rec->bytes.size();
    const int slot = blockNumber.load();
    GetBlock(channel);
    const Bytes header = {0, static_cast<uint8_t>(slot), static_cast<uint8_t>(channel)};
    Write("get_block", name + "-raw", header, Line(from, false));
    if (alsoAutoEcho) {
        const Bytes autoHeader = {fuzzinput::AUTO_ECHO, static_cast<uint8_t>(slot),
                                  static_cast<uint8_t>(channel)};
        Write("get_block", name + "-auto-echo", autoHeader, Line(from, true));
    }
}

void Blocks() {
    Attach();
    WakeUpEcu();
    for (int counter = 1; counter <= 13; counter++) {
        blockNumber.store(counter);
        const uint8_t k = static_cast<uint8_t>(counter);
        if (counter % 2 == 1)
            RecordBlock("ident-" + std::to_string(counter), 0, counter == 1);
        else if (counter == 10)
            SendBlockType(k, TITLE_OPENING);
        else
            SendAckBlock(k);
    }
    for (int channel = 0; channel < CHANNEL_COUNT; channel++) {
        const int16_t* p = ChannelTable.params[channel];
        blockNumber.store(NextBlockNumber(blockNumber.load()));
        if (ChannelTable.requestKind[channel] == RamRead)
            SendValueRequestBlock(static_cast<uint8_t>(p[0]), static_cast<uint8_t>(p[1]),
                                  static_cast<uint8_t>(p[2]));
        else
            SendADCChannelRead(static_cast<uint8_t>(p[0]));
        blockNumber.store(NextBlockNumber(blockNumber.load()));
        RecordBlock("answer-channel-" + std::to_string(channel), channel,
                    channel == 0 || channel == 7);
    }
    for (uint8_t badLength : {0x02, 0xFF}) {
        ecusim::Scenario scenario;
        scenario.badLengthAtBlock = 1;
        scenario.badLength = badLength;
        Attach(scenario);
        WakeUpEcu();
        blockNumber.store(1);
        char name[32];
        std::snprintf(name, sizeof name, "bad-length-%02x", badLength);
        RecordBlock(name, 0, false);
    }
}

// A connection attempt and then `cycles` poll cycles on this thread.
void RecordConnection(const std::string& name, const ecusim::Scenario& scenario, int cycles,
                      uint8_t options, bool alsoAutoEcho) {
    Attach(scenario);
    if (ConnectEcu() && fuzzOs.readerProc) {
        const int32_t last = (blockNumber.load() + 2 * cycles - 1) % 256;
        currentChannel = (options >> 2) % CHANNEL_COUNT;
        StoreFlag(LinkState.connected, 1);
        fuzzOs.onWrite = [last](uint8_t) {
            if (blockNumber.load() == last)
                StoreFlag(LinkState.connected, 0);
        };
        fuzzOs.readerProc(nullptr);
    }
    Write("connection", name + "-raw", {options}, Line(0, false));
    if (alsoAutoEcho)
        Write("connection", name + "-auto-echo",
              {static_cast<uint8_t>(options | fuzzinput::AUTO_ECHO)}, Line(0, true));
}

void Connections() {
    const ecusim::Scenario healthy;
    RecordConnection("healthy-1-cycle", healthy, 1, fuzzinput::DEBUG_LOG, true);
    RecordConnection("healthy-9-cycles", healthy, 9, 0, true);
    RecordConnection("healthy-adc-first", healthy, 2, fuzzinput::DEBUG_LOG | (6 << 2), true);
    const struct {
        const char* name;
        void (*arrange)(ecusim::Scenario&);
    } cases[] = {
        {"refused-at-5", [](ecusim::Scenario& s) { s.rejectAtBlock = 5; }},
        {"silent-at-11", [](ecusim::Scenario& s) { s.silentAtBlock = 11; }},
        {"refused-at-17", [](ecusim::Scenario& s) { s.rejectAtBlock = 17; }},
        {"wrong-counter-at-17", [](ecusim::Scenario& s) { s.wrongCounterAtBlock = 17; }},
        {"silent-at-18", [](ecusim::Scenario& s) { s.silentAtBlock = 18; }},
        {"bad-length-at-15", [](ecusim::Scenario& s) { s.badLengthAtBlock = 15; }},
    };
    for (const auto& c : cases) {
        ecusim::Scenario scenario;
        c.arrange(scenario);
        RecordConnection(c.name, scenario, 3, fuzzinput::DEBUG_LOG, false);
    }
}

void Configs() {
    const struct {
        const char* name;
        std::string bytes;
    } files[] = {
        {"com9", "COM9:"},
        {"com1", "COM1"},
        {"nine-chars", "\\\\.\\COM10"},
        {"ten-chars", "\\\\.\\COM100"},
        {"crlf", "COM9:\r\n"},
        {"empty", ""},
        {"nul-inside", std::string("COM\0" "9:", 6)},
        {"high-bytes", "COM\xe9\xff"},
        {"long", std::string(200, 'A')},
        {"longer-than-read", std::string(300, 'B')},
    };
    for (const auto& f : files)
        Write("config", f.name, {}, Bytes(f.bytes.begin(), f.bytes.end()));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus dir>\n", argv[0]);
        return 2;
    }
    outDir = argv[1];
    WakeUps();
    Blocks();
    Connections();
    Configs();
    std::printf("%d files written under %s\n", filesWritten, argv[1]);
    return 0;
}
