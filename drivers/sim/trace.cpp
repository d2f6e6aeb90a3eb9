#include "trace.h"

namespace sim {

Trace::~Trace()
{
    open(std::string());
}

bool Trace::open(const std::string &path)
{
    if (m_file)
        std::fclose(m_file);
    m_file = path.empty() ? nullptr : std::fopen(path.c_str(), "a");
    return path.empty() || m_file;
}

void Trace::line(uint64_t timeUs, const std::string &event)
{
    if (!m_file)
        return;
    // fwrite, not %s: a description may hold any byte.
    std::fprintf(m_file, "%llu ", static_cast<unsigned long long>(timeUs));
    std::fwrite(event.data(), 1, event.size(), m_file);
    std::fputc('\n', m_file);
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
