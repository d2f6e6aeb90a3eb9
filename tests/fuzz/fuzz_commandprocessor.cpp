// Feeds the simulated bridge's command processor arbitrary byte streams through
// FT_Write, split at arbitrary places, and checks that the split never matters:
// the bus sees exactly the cycles that the same stream written in one piece
// gives, and the host receives the same answer bytes. (A stream that stalls the
// processor swallows the closing 0x87, so what is still held then comes out on
// the latency timer: one run may have seen more of it than the other, and the
// answers are compared as a prefix of each other.)
#include "d2xx.h"
#include "simcontrol.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

const char *const PortA = "Sim Bridge A";
// Bit mode values: reset, then MCU host-bus emulation.
constexpr UCHAR ModeReset = 0x00;
constexpr UCHAR ModeMcuHost = 0x08;
// The send-immediate command: appended so every answer is released before we read.
constexpr uint8_t SendImmediate = 0x87;

struct Outcome {
    std::vector<sim::BusCycle> cycles;
    std::vector<uint8_t> answers;
};

void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "fuzz_commandprocessor: %s\n", what);
        std::abort();
    }
}

void collect(FT_HANDLE handle, std::vector<uint8_t> &answers)
{
    DWORD waiting = 0;
    check(FT_GetQueueStatus(handle, &waiting) == FT_OK, "queue status failed");
    while (waiting > 0) {
        uint8_t buffer[4096];
        const DWORD ask = waiting < sizeof buffer ? waiting : DWORD(sizeof buffer);
        DWORD got = 0;
        check(FT_Read(handle, buffer, ask, &got) == FT_OK, "read failed");
        check(got <= ask, "read more than asked");
        answers.insert(answers.end(), buffer, buffer + got);
        if (got < ask)
            break;
        check(FT_GetQueueStatus(handle, &waiting) == FT_OK, "queue status failed");
    }
}

// Writes `stream` in the pieces that `cuts` gives (each a piece length), then 0x87.
Outcome run(const std::vector<uint8_t> &stream, const std::vector<size_t> &cuts)
{
    sim::reset();
    sim::setReadValue(0, 0x5a); // the status registers follow the clock otherwise
    sim::setReadValue(1, 0xa5);
    FT_HANDLE handle = nullptr;
    check(FT_OpenEx(const_cast<char *>(PortA), FT_OPEN_BY_DESCRIPTION, &handle) == FT_OK, "open failed");
    FT_SetBitMode(handle, 0, ModeReset);
    FT_SetBitMode(handle, 0, ModeMcuHost);

    Outcome outcome;
    std::vector<uint8_t> bytes = stream;
    size_t at = 0;
    auto write = [&](size_t length) {
        DWORD written = 0;
        check(FT_Write(handle, bytes.data() + at, DWORD(length), &written) == FT_OK, "write failed");
        check(written == length, "short write without a fault");
        at += length;
        collect(handle, outcome.answers);
    };
    for (size_t cut : cuts) {
        if (at + cut > bytes.size())
            break;
        write(cut);
    }
    if (at < bytes.size())
        write(bytes.size() - at);
    bytes.push_back(SendImmediate);
    write(1);
    check(FT_Close(handle) == FT_OK, "close failed");
    outcome.cycles = sim::busCycles();
    return outcome;
}

bool sameCycles(const std::vector<sim::BusCycle> &a, const std::vector<sim::BusCycle> &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].write != b[i].write || a[i].wide != b[i].wide || a[i].address != b[i].address
            || a[i].data != b[i].data)
            return false;
    }
    return true;
}

} // namespace

// Input: one byte giving the number of cuts, that many cut lengths, then the stream.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t cutCount = data[0] % 16;
    if (size < 1 + cutCount)
        return 0;
    std::vector<size_t> cuts(data + 1, data + 1 + cutCount);
    const std::vector<uint8_t> stream(data + 1 + cutCount, data + size);

    const Outcome split = run(stream, cuts);
    const Outcome whole = run(stream, {});
    check(sameCycles(split.cycles, whole.cycles), "splitting the stream changed the bus cycles");
    const auto &shorter = split.answers.size() < whole.answers.size() ? split.answers : whole.answers;
    const auto &longer = split.answers.size() < whole.answers.size() ? whole.answers : split.answers;
    check(std::equal(shorter.begin(), shorter.end(), longer.begin()),
          "splitting the stream changed the answers");
    check(sim::openHandles() == 0, "a handle leaked");
    return 0;
}
