#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

// What the benchmarks share: a clock, the figures they print and how they print them.

namespace ambrevoli::bench {

using Clock = std::chrono::steady_clock;

inline double millisecondsSince(Clock::time_point start, Clock::time_point end = Clock::now())
{
    return std::chrono::duration<double, std::milli>(end - start).count();
}

// The median and the 90th percentile (nearest rank) of a set of timings, in milliseconds.
struct Figures {
    double median = 0;
    double p90 = 0;
};

inline Figures figures(std::vector<double> samples)
{
    if (samples.empty())
        return {};
    std::ranges::sort(samples);
    const std::size_t n = samples.size();
    const double median = n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    const auto rank = static_cast<std::size_t>(std::ceil(0.9 * static_cast<double>(n)));
    return {median, samples[std::max<std::size_t>(rank, 1) - 1]};
}

// One row of a result table: "  what   median   p90", the times in milliseconds.
inline void printRow(const std::string& what, const Figures& f)
{
    std::printf("  %-44s %9.3f ms %9.3f ms\n", what.c_str(), f.median, f.p90);
}

inline void printHeader(const std::string& title)
{
    std::printf("%s\n  %-44s %12s %12s\n", title.c_str(), "", "median", "p90");
}

// "  what: 12.3× the peer" — how many times the peer's median the measured median is.
inline void printRatio(const std::string& what, const Figures& measured, const Figures& peer)
{
    if (peer.median > 0)
        std::printf("  %-44s %9.1f×\n", what.c_str(), measured.median / peer.median);
}

// "  target: send / cp at most 1.5× (medians) — met" or "— MISSED".
inline bool printRatioTarget(const std::string& what, double limit, const Figures& measured,
                             const Figures& peer)
{
    const bool met = peer.median > 0 && measured.median / peer.median <= limit;
    std::printf("  target: %s at most %g× (medians) — %s\n", what.c_str(), limit,
                met ? "met" : "MISSED");
    return met;
}

// "  target: under 50 ms (median) — met" or "— MISSED".
inline bool printTarget(double limitMilliseconds, const Figures& measured)
{
    const bool met = measured.median < limitMilliseconds;
    std::printf("  target: median under %g ms — %s\n", limitMilliseconds, met ? "met" : "MISSED");
    return met;
}

} // namespace ambrevoli::bench
