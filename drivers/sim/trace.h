// The human-readable event trace (TAVREL_SIM_TRACE): one line per event,
// "<microseconds since the model started> <event> <fields>", appended and
// flushed line by line so that a killed program still leaves its trace.
// Not locked itself: the model calls it under its own mutex.
#ifndef TAVREL_SIM_TRACE_H
#define TAVREL_SIM_TRACE_H

#include <cstdint>
#include <cstdio>
#include <string>

namespace sim {

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
    bool enabled() const { return m_file != nullptr; }
    void line(uint64_t timeUs, const std::string &event);

private:
    std::FILE *m_file = nullptr;
};

// Lowercase hex: two digits of a byte, four of a 16-bit address.
std::string hex2(uint8_t value);
std::string hex4(uint16_t value);
// Bytes as two hex digits each, with `separator` between them.
std::string hexBytes(const uint8_t *bytes, size_t count, const char *separator);

} // namespace sim

#endif
