#include "trace.h"

namespace sim {

Trace::~Trace()
{
    open(std::string());
}

bool Trace::open(const std::string &path)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_file)
        std::fclose(m_file);
    m_file = path.empty() ? nullptr : std::fopen(path.c_str(), "a");
    m_enabled = m_file != nullptr;
    return path.empty() || m_file;
}

void Trace::write(uint64_t sequence, std::vector<TraceLine> lines)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (sequence != m_next) {
        m_waiting.emplace(sequence, std::move(lines));
        return;
    }
    writeLines(lines);
    ++m_next;
    // Batches of calls that unlocked after this one but got here first.
    for (auto it = m_waiting.begin(); it != m_waiting.end() && it->first == m_next; it = m_waiting.erase(it)) {
        writeLines(it->second);
        ++m_next;
    }
}

void Trace::writeLines(const std::vector<TraceLine> &lines)
{
    if (!m_file)
        return;
    for (const TraceLine &line : lines) {
        // fwrite, not %s: a description may hold any byte.
        std::fprintf(m_file, "%llu ", static_cast<unsigned long long>(line.timeUs));
        std::fwrite(line.event.data(), 1, line.event.size(), m_file);
        std::fputc('\n', m_file);
    }
    std::fflush(m_file);
}

static const char HexDigits[] = "0123456789abcdef";

std::string hex2(uint8_t value)
{
    return {HexDigits[value >> 4], HexDigits[value & 0xF]};
}

std::string hex4(uint16_t value)
{
    return hex2(uint8_t(value >> 8)) + hex2(uint8_t(value));
}

std::string hexBytes(const uint8_t *bytes, size_t count, const char *separator)
{
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        if (i > 0)
            text += separator;
        text += hex2(bytes[i]);
    }
    return text;
}

} // namespace sim
