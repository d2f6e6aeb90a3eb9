// The human-readable event trace (TAVREL_SIM_TRACE): one line per event,
// "<microseconds since the model started> <event> <fields>", appended and
// flushed batch by batch so that a killed program still leaves its trace.
//
// The model collects the lines of one locked section as a batch, numbers the
// batch before it unlocks and hands it over after unlocking (Model::traceOut,
// Locked). File output thus never happens under the model's lock, and the
// numbers put batches of concurrent calls back into the order their events
// had: a batch waits here until every earlier one has been written.
#ifndef TAVREL_SIM_TRACE_H
#define TAVREL_SIM_TRACE_H

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

struct TraceLine {
    uint64_t timeUs;
    std::string event;
};

class Trace
{
public:
    Trace() = default;
    ~Trace();
    Trace(const Trace &) = delete;
    Trace &operator=(const Trace &) = delete;

    // Append to `path` from now on; an empty path ends tracing. False if the
    // file cannot be opened (tracing is then off).
    bool open(const std::string &path);
    // Whether lines are worth collecting; may be stale by one batch, which
    // is then dropped or written to the file opened meanwhile.
    bool enabled() const { return m_enabled.load(std::memory_order_relaxed); }
    // Batch `sequence` (numbered from 0 without gaps), written once every
    // earlier batch has been.
    void write(uint64_t sequence, std::vector<TraceLine> lines);

private:
    void writeLines(const std::vector<TraceLine> &lines);

    // Guards m_file, m_waiting and m_next; never held together with the model's lock.
    std::mutex m_mutex;
    std::FILE *m_file = nullptr;
    std::atomic<bool> m_enabled{false};
    std::map<uint64_t, std::vector<TraceLine>> m_waiting; // batches that came before an earlier one
    uint64_t m_next = 0;                                   // number of the next batch to write
};

// Lowercase hex: two digits of a byte, four of a 16-bit address.
std::string hex2(uint8_t value);
std::string hex4(uint16_t value);
// Bytes as two hex digits each, with `separator` between them.
std::string hexBytes(const uint8_t *bytes, size_t count, const char *separator);

} // namespace sim

#endif
