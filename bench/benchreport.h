// What every benchmark driver shares: order statistics over a set of samples,
// number formatting, and a Markdown fragment that scripts/bench puts together
// into docs/performance.md. Figures are printed, never judged: nothing here
// fails a run for being slow.
#ifndef TAVREL_BENCHREPORT_H
#define TAVREL_BENCHREPORT_H

#include <cstddef>
#include <string>
#include <vector>

namespace bench {

// Order statistics of one set of samples, in the samples' own unit.
struct Summary {
    std::size_t count = 0;
    double min = 0;
    double p50 = 0;
    double p99 = 0;
    double max = 0;
    double mean = 0;
};

// Nearest-rank percentiles (p50 is the lower median for an even count).
Summary summarize(std::vector<double> samples);

// "12.3" with `decimals` digits after the point.
std::string fixed(double value, int decimals);

// A Markdown fragment: headings, paragraphs and tables, written out at the end.
class Markdown
{
public:
    void heading(const std::string &text);       // "### text"
    void paragraph(const std::string &text);
    // The first `textColumns` columns are aligned left, the rest (figures) right.
    void table(const std::vector<std::string> &header, const std::vector<std::vector<std::string>> &rows,
               std::size_t textColumns = 1);

    const std::string &text() const { return m_text; }
    // Writes the fragment to `path`, or to standard output when `path` is empty.
    bool save(const std::string &path) const;

private:
    std::string m_text;
};

// The value after `--name` on the command line, or `fallback`.
std::string option(int argc, char **argv, const std::string &name, const std::string &fallback);

} // namespace bench

#endif
