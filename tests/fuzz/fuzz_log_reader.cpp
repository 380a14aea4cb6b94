// Any bytes as a Tarvex.log, fed in two pieces split where the first byte says: the reader must not
// crash or hang, and what it gives must hold together (a value exactly where the row's channel set
// says, time that never runs back within a second, every left-out row reported).
#include "fuzz_check.h"
#include "log_reader.h"
#include "outputs.h"

#include <cstdio>

using namespace tarvexlog;

namespace {

class Checker : public ReportBuilder {
public:
    Checker() : ReportBuilder("fuzz") {}
    void OnRow(const Row& row) override {
        for (int c = 0; c < CHANNEL_COUNT; c++)
            FUZZ_CHECK(((row.mask >> c) & 1) == (row.text[c][0] != 0));
        FUZZ_CHECK(row.seconds >= 0);
        FUZZ_CHECK(row.seconds >= previousSeconds || row.clock != previousClock);
        previousSeconds = row.seconds;
        previousClock = row.clock;
        ReportBuilder::OnRow(row);
    }
    void OnProblem(uint64_t, const std::string& what) override {
        FUZZ_CHECK(!what.empty());
        problems++;
    }
    double previousSeconds = -1;
    int64_t previousClock = -1;
    uint64_t problems = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Checker checker;
    LogReader reader(checker);
    const size_t split = size ? data[0] % (size + 1) : 0;
    const char* text = reinterpret_cast<const char*>(data);
    reader.Feed(text, split);
    reader.Feed(text + split, size - split);
    reader.Finish();
    FUZZ_CHECK(reader.UnplacedCount() <= checker.problems);
    FUZZ_CHECK(checker.slots.size() <= ReportBuilder::MAX_SLOTS);
    static std::FILE* sink = std::fopen("/dev/null", "w");
    if (reader.IsTarvexLog())
        checker.Write(sink, "fuzz", reader.UnplacedCount());
    return 0;
}
