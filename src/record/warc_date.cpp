#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "record/builder.hpp"

namespace vellumark {
namespace {

struct CivilDate {
    std::int64_t year;
    unsigned month;  // 1 to 12
    unsigned day;    // 1 to 31
};

// Days since 1970-01-01 to a proleptic Gregorian date, by the days-to-civil
// method: shift the epoch to 0000-03-01 so that the leap day ends each year,
// then split into 400-year eras of 146097 days.
CivilDate civil_from_days(std::int64_t days) noexcept {
    const std::int64_t z = days + 719468;  // days >= 0, so z and the era are too
    const std::int64_t era = z / 146097;
    const std::int64_t day_of_era = z - era * 146097;
    const std::int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const std::int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const std::int64_t month_index = (5 * day_of_year + 2) / 153;  // 0 is March
    const auto day = static_cast<unsigned>(day_of_year - (153 * month_index + 2) / 5 + 1);
    const auto month = static_cast<unsigned>(month_index < 10 ? month_index + 3 : month_index - 9);
    const std::int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
    return {year, month, day};
}

}  // namespace

std::string format_warc_date(std::uint64_t seconds) {
    constexpr std::uint64_t kSecondsPerDay = 86400;
    const CivilDate date = civil_from_days(static_cast<std::int64_t>(seconds / kSecondsPerDay));
    const std::uint64_t second_of_day = seconds % kSecondsPerDay;
    char text[48];
    const int n = std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02uZ",
                                static_cast<long long>(date.year), date.month, date.day,
                                static_cast<unsigned>(second_of_day / 3600),
                                static_cast<unsigned>(second_of_day % 3600 / 60),
                                static_cast<unsigned>(second_of_day % 60));
    return std::string(text, static_cast<std::size_t>(n));
}

std::uint64_t wall_clock_seconds() noexcept {
    using namespace std::chrono;
    const auto since_epoch = duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
    return since_epoch < 0 ? 0 : static_cast<std::uint64_t>(since_epoch);
}

}  // namespace vellumark
