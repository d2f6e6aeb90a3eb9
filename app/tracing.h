// The host-side trace: any implementation's table of the eight D2XX calls wrapped
// so that every call, and the bus cycles its bytes carry, is written to a file,
// whatever bridge answers. main wraps the chosen table; the link never knows.
//
// Text: one line per event, "<microseconds since start> <event> <fields>".
// A file name ending in ".vcd" gets a Value Change Dump instead: one 8-bit
// variable per bus address used and a 1-bit "link", for GTKWave or PulseView.
//
// The calling thread only formats into memory; a thread of the tracer's own does
// the file I/O, so a slow or full disk never stalls the worker. When the disk
// fails, or falls too far behind, tracing stops with one line on stderr.
#ifndef TAVREL_TRACING_H
#define TAVREL_TRACING_H

#include "busdecoder.h"
#include "d2xxcalls.h"

#include <QString>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TraceFormat;

// A decoded bus event as the text trace shows it: "busw 04 01", "busr 0104 3c", "echo aa".
std::string traceText(const hostbus::BusEvent &event);

class Tracer
{
public:
    Tracer();
    ~Tracer(); // finish()
    Tracer(const Tracer &) = delete;
    Tracer &operator=(const Tracer &) = delete;

    // Creates `path` (".vcd": a Value Change Dump) and starts the writing thread.
    // False, with one line for the user in `error`, when the file cannot be created.
    bool open(const QString &path, QString &error);
    // `inner`'s calls, each traced by this tracer. One tracer wraps at a time, from
    // before any link is built until finish().
    D2xxCalls wrap(const D2xxCalls &inner);
    // Writes what is pending and completes the file; later calls are not traced.
    // Call once every thread using the wrapped table is done with it.
    void finish();

    // Bytes formatted but not yet written beyond which tracing stops: the disk has
    // not kept up for minutes of a busy link (a cycle makes well under 1 KiB).
    static constexpr size_t MaxPending = 8u << 20;

private:
    friend struct TracedCalls;
    using Clock = std::chrono::steady_clock;

    // Each takes the lock; `us` is taken on the calling thread as the call returns.
    void line(const std::string &event);
    void failed(const char *function, FT_STATUS status);
    void opened(const std::string &description);
    void closed(FT_STATUS status);
    void bitMode(UCHAR mask, UCHAR mode);
    void transfer(bool written, const quint8 *bytes, DWORD count);

    quint64 now() const;
    void queued(std::unique_lock<std::mutex> &lock);
    void stop(std::unique_lock<std::mutex> &lock, const std::string &why);
    void writerLoop();

    D2xxCalls m_inner;
    Clock::time_point m_start;
    std::string m_path;

    // Guards every member below; never held during a D2XX call or file I/O.
    std::mutex m_mutex;
    std::condition_variable m_wake;          // the writer: a batch is ready, or finish
    hostbus::BusDecoder m_decoder;
    std::vector<hostbus::BusEvent> m_events; // scratch for the decoder's output
    std::unique_ptr<TraceFormat> m_format;
    std::string m_pending;                   // formatted, not yet handed to the writer
    bool m_accepting = false;                // events are still being traced
    bool m_finishing = false;
    bool m_wakeAsked = false;                // the writer was woken for the batch in m_pending

    std::FILE *m_file = nullptr; // only the writer thread touches it while it runs
    std::thread m_writer;
};

#endif
