#include "date_time.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>

namespace ambrevoli {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's days_from_civil).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct Civil {
    std::int64_t year;
    unsigned month, day;
};

Civil civilFromDays(std::int64_t z)
{
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2), m, d};
}

bool isLeap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned daysInMonth(std::int64_t y, unsigned m)
{
    static constexpr unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeap(y) ? 29 : days[m - 1];
}

// Reads exactly `count` decimal digits at `pos`.
std::optional<int> digits(std::string_view text, std::size_t pos, std::size_t count)
{
    if (pos + count > text.size())
        return std::nullopt;
    int value = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

constexpr std::int64_t secondsPerDay = 86400;

} // namespace

double now()
{
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::optional<std::string> internetDateTime(double seconds)
{
    static const double earliest = static_cast<double>(daysFromCivil(1, 1, 1) * secondsPerDay);
    static const double latest = static_cast<double>(daysFromCivil(10000, 1, 1) * secondsPerDay);
    if (!std::isfinite(seconds) || seconds < earliest || seconds >= latest)
        return std::nullopt;
    const auto whole = static_cast<std::int64_t>(std::floor(seconds));
    std::int64_t days = whole / secondsPerDay;
    std::int64_t rest = whole % secondsPerDay;
    if (rest < 0) {
        rest += secondsPerDay;
        --days;
    }
    const Civil date = civilFromDays(days);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04lld-%02u-%02uT%02lld:%02lld:%02lldZ",
                  static_cast<long long>(date.year), date.month, date.day,
                  static_cast<long long>(rest / 3600), static_cast<long long>(rest / 60 % 60),
                  static_cast<long long>(rest % 60));
    return std::string(buffer);
}

std::optional<double> parseInternetDateTime(std::string_view text)
{
    // YYYY-MM-DDTHH:MM:SS then Z or ±HH:MM
    if (text.size() != 20 && text.size() != 25)
        return std::nullopt;
    auto year = digits(text, 0, 4), month = digits(text, 5, 2), day = digits(text, 8, 2);
    auto hour = digits(text, 11, 2), minute = digits(text, 14, 2), second = digits(text, 17, 2);
    if (!year || !month || !day || !hour || !minute || !second)
        return std::nullopt;
    if (text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':')
        return std::nullopt;
    if (*year < 1 || *month < 1 || *month > 12 || *day < 1 ||
        *day > static_cast<int>(daysInMonth(*year, static_cast<unsigned>(*month))) || *hour > 23 ||
        *minute > 59 || *second > 59)
        return std::nullopt;

    std::int64_t offset = 0;
    if (text.size() == 20) {
        if (text[19] != 'Z')
            return std::nullopt;
    } else {
        auto offsetHours = digits(text, 20, 2), offsetMinutes = digits(text, 23, 2);
        if ((text[19] != '+' && text[19] != '-') || text[22] != ':' || !offsetHours ||
            !offsetMinutes || *offsetHours > 23 || *offsetMinutes > 59)
            return std::nullopt;
        offset = (*offsetHours * 3600 + *offsetMinutes * 60) * (text[19] == '+' ? 1 : -1);
    }

    const std::int64_t days =
        daysFromCivil(*year, static_cast<unsigned>(*month), static_cast<unsigned>(*day));
    const std::int64_t seconds = days * secondsPerDay + *hour * 3600 + *minute * 60 + *second;
    return static_cast<double>(seconds - offset);
}

} // namespace ambrevoli
