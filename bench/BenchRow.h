#pragma once

// Result lines shared by the benchmark programs. scripts/bench.sh collects
// the lines that start with "ROW" or "NOTE" and prints them as one table, so
// every program writes them to standard error, away from the trace lines.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace vbench {

struct Stats {
    double min = 0, median = 0, max = 0;
    std::size_t n = 0;
};

inline Stats Summarise(std::vector<double> v)
{
    Stats s;
    s.n = v.size();
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    s.min = v.front();
    s.max = v.back();
    const std::size_t mid = v.size() / 2;
    s.median = v.size() % 2 ? v[mid] : (v[mid - 1] + v[mid]) / 2;
    return s;
}

inline std::string Fmt(const char* format, double value)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, format, value);
    return buf;
}

// One figure: what was measured, its value, the floor it is compared with,
// value / floor (NaN when there is no ratio), the target and a remark.
// Tabs separate the fields, so none of them may hold a tab.
inline void Row(const std::string& figure, const std::string& value, const std::string& floor, double ratio,
                const std::string& target, const std::string& remark = "")
{
    const std::string r = !std::isfinite(ratio) ? "-" : ratio >= 0.01 || ratio == 0 ? Fmt("%.3f", ratio) : Fmt("%.1e", ratio);
    std::fprintf(stderr, "ROW\t%s\t%s\t%s\t%s\t%s\t%s\n", figure.c_str(), value.c_str(), floor.c_str(), r.c_str(),
                 target.c_str(), remark.c_str());
}

// A line for the closing notes (where the time goes).
inline void Note(const std::string& text)
{
    std::fprintf(stderr, "NOTE\t%s\n", text.c_str());
}

inline std::string MinMedMax(const Stats& s, const char* unit, const char* format = "%.1f")
{
    return Fmt(format, s.min) + " / " + Fmt(format, s.median) + " / " + Fmt(format, s.max) + " " + unit;
}

}  // namespace vbench
