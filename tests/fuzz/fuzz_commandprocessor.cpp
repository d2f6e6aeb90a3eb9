// The model's command processor fed streams split anywhere: the bus cycles as for the whole stream, the
// answers a prefix of each other (a stalled processor leaves them to the latency timer); the decoder agrees.
#include "busdecoder.h"
#include "simcontrol.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#define CHECK(ok) \
    do { if (!(ok)) { std::fprintf(stderr, "fuzz_commandprocessor: failed: %s\n", #ok); std::abort(); } } while (0)

namespace {

// The stream in pieces while they fit, then the rest and 0x87: the answers, and the bus.
std::pair<std::vector<uint8_t>, std::vector<uint32_t>> run(std::vector<uint8_t> stream, std::vector<size_t> pieces)
{
    sim::reset();
    sim::setReadValue(0, 0x5a), sim::setReadValue(1, 0xa5); // the status registers follow the clock otherwise
    const D2xxCalls &ft = sim::d2xxCalls();
    FT_HANDLE handle = nullptr;
    CHECK(ft.openEx(const_cast<char *>("Sim Bridge A"), FT_OPEN_BY_DESCRIPTION, &handle) == FT_OK);
    CHECK(ft.setBitMode(handle, 0, 0x00) == FT_OK && ft.setBitMode(handle, 0, 0x08) == FT_OK); // reset, MCU host bus
    stream.push_back(0x87);
    std::vector<uint8_t> answers;
    for (size_t at = 0, i = 0; at < stream.size(); ++i) {
        const DWORD piece = DWORD(i < pieces.size() && at + pieces[i] < stream.size() ? pieces[i] : stream.size() - at);
        DWORD written = 0, waiting = 0, got = 0;
        CHECK(ft.write(handle, stream.data() + at, piece, &written) == FT_OK && written == piece);
        at += piece;
        while (ft.getQueueStatus(handle, &waiting) == FT_OK && waiting > 0) {
            answers.resize(answers.size() + waiting);
            CHECK(ft.read(handle, &answers[answers.size() - waiting], waiting, &got) == FT_OK && got == waiting);
        }
    }
    CHECK(ft.close(handle) == FT_OK);
    std::vector<uint32_t> cycles;
    for (const sim::BusCycle &c : sim::busCycles())
        cycles.push_back(uint32_t(c.write) << 25 | uint32_t(c.wide) << 24 | uint32_t(c.address) << 8 | c.data);
    return {answers, cycles};
}

} // namespace

// Input: one byte giving the number of pieces (up to 15), that many piece lengths, then the stream.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const size_t count = size ? data[0] % 16 : 0;
    if (size < 1 + count)
        return 0;
    const std::vector<uint8_t> stream(data + 1 + count, data + size);
    const auto split = run(stream, std::vector<size_t>(data + 1, data + 1 + count)), whole = run(stream, {});
    CHECK(split.second == whole.second);
    const size_t common = std::min(split.first.size(), whole.first.size());
    CHECK(std::equal(split.first.begin(), split.first.begin() + common, whole.first.begin()));
    CHECK(sim::openHandles() == 0);
    // From the bytes: every write the bus saw (a stalled one sees fewer), each read answered.
    hostbus::BusDecoder decoder;
    std::vector<hostbus::BusEvent> events;
    std::vector<uint8_t> sent = stream;
    sent.push_back(0x87);
    decoder.reset(true);
    decoder.written(sent.data(), int(sent.size()), events);
    decoder.received(whole.first.data(), int(whole.first.size()), events);
    std::vector<uint32_t> bus[2], decoded[2]; // reads, writes
    for (uint32_t cycle : whole.second)
        bus[cycle >> 25].push_back(cycle);
    for (const hostbus::BusEvent &e : events)
        if (e.kind != hostbus::BusEvent::Echo)
            decoded[e.kind == hostbus::BusEvent::Write].push_back(
                uint32_t(e.kind == hostbus::BusEvent::Write) << 25 | uint32_t(e.wide) << 24 | e.address << 8 | e.data);
    CHECK(bus[1].size() <= decoded[1].size() && std::equal(bus[1].begin(), bus[1].end(), decoded[1].begin()));
    CHECK(decoded[0].size() <= bus[0].size() && std::equal(decoded[0].begin(), decoded[0].end(), bus[0].begin()));
    return 0;
}
