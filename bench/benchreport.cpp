#include "benchreport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

namespace bench {

namespace {

// Nearest rank: the smallest sample with at least `fraction` of all samples at or below it.
double rank(const std::vector<double> &sorted, double fraction)
{
    const std::size_t n = sorted.size();
    std::size_t index = static_cast<std::size_t>(std::ceil(fraction * double(n)));
    index = std::min(std::max<std::size_t>(index, 1), n);
    return sorted[index - 1];
}

} // namespace

Summary summarize(std::vector<double> samples)
{
    Summary s;
    s.count = samples.size();
    if (samples.empty())
        return s;
    std::sort(samples.begin(), samples.end());
    s.min = samples.front();
    s.max = samples.back();
    s.p50 = rank(samples, 0.50);
    s.p99 = rank(samples, 0.99);
    s.mean = std::accumulate(samples.begin(), samples.end(), 0.0) / double(samples.size());
    return s;
}

std::string fixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

void Markdown::heading(const std::string &text)
{
    m_text += "### " + text + "\n\n";
}

void Markdown::paragraph(const std::string &text)
{
    m_text += text + "\n\n";
}

void Markdown::table(const std::vector<std::string> &header, const std::vector<std::vector<std::string>> &rows,
                     std::size_t textColumns)
{
    // Rows shorter than the header get empty cells.
    auto line = [this, &header](const std::vector<std::string> &cells) {
        m_text += "|";
        for (std::size_t i = 0; i < std::max(cells.size(), header.size()); ++i)
            m_text += " " + (i < cells.size() ? cells[i] : std::string()) + " |";
        m_text += "\n";
    };
    line(header);
    m_text += "|";
    for (std::size_t i = 0; i < header.size(); ++i)
        m_text += i < textColumns ? "---|" : "--:|";
    m_text += "\n";
    for (const auto &row : rows)
        line(row);
    m_text += "\n";
}

bool Markdown::save(const std::string &path) const
{
    if (path.empty()) {
        std::fputs(m_text.c_str(), stdout);
        return true;
    }
    std::FILE *file = std::fopen(path.c_str(), "w");
    if (!file)
        return false;
    const bool ok = std::fputs(m_text.c_str(), file) >= 0;
    return std::fclose(file) == 0 && ok;
}

std::string option(int argc, char **argv, const std::string &name, const std::string &fallback)
{
    const std::string flag = "--" + name;
    for (int i = 1; i + 1 < argc; ++i) {
        if (flag == argv[i])
            return argv[i + 1];
    }
    return fallback;
}

} // namespace bench
