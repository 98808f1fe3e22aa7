// parseExpireAt: an expiry is 0 (none) or lies after now, never before, and
// always at a midnight counted in whole days from the first one; a count
// reads the same whatever unit letter follows it and in either case of the
// letter, and blanks before it change nothing; the days of a count of days
// step by one day, years by 365 days, months by 28 to 31 days, and an
// expiry given in days reads back from the day count it stands for.
#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "check.h"
#include "common.h"

namespace
{

constexpr std::int64_t day = 86400;

// Local time zones with and without daylight saving, as far from UTC as
// they come.
constexpr std::array<const char *, 4> zones{"UTC0", "EST5EDT,M3.2.0,M11.1.0", "<+14>-14",
                                            "<-12>12"};

std::int64_t stepped(std::int64_t first, std::int64_t count, std::int64_t unit)
{
    if (count - 1 > (INT32_MAX - first) / unit)
        return INT32_MAX;
    return first + (count - 1) * unit;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    setenv("TZ", zones[input.ConsumeIntegralInRange<std::size_t>(0, zones.size() - 1)], 1);
    tzset();
    // Any moment a record can hold, short of its very last second.
    auto now =
        static_cast<std::time_t>(input.ConsumeIntegralInRange<std::int64_t>(0, INT32_MAX - 1));
    std::string text = input.ConsumeRemainingBytesAsString();
    auto parse = [now](const std::string &t) -> std::int64_t { return parseExpireAt(t, now); };

    // The ends of the first day, month and year lie in that order.
    std::int64_t firstDay = parse("1d");
    std::int64_t firstMonth = parse("1m");
    std::int64_t firstYear = parse("1y");
    FUZZ_CHECK(now < firstDay && firstDay <= now + day);
    FUZZ_CHECK(firstDay <= firstMonth && firstMonth < firstDay + 31 * day);
    FUZZ_CHECK(firstMonth <= firstYear && firstYear <= now + 366 * day);

    std::int64_t expire = parse(text);
    FUZZ_CHECK(expire == 0 ||
               (expire > now && (expire == INT32_MAX || (expire - firstDay) % day == 0)));
    FUZZ_CHECK(parse(" \t" + text) == expire);

    // The text's leading count in each unit: a count is read alike whatever
    // letter ends the text, and the text's own unit is one of these.
    std::int64_t days = parse(text + "d"), months = parse(text + "m"), years = parse(text + "y");
    FUZZ_CHECK(parse(text + "D") == days && parse(text + "M") == months &&
               parse(text + "Y") == years);
    FUZZ_CHECK(expire == 0 || expire == days || expire == months || expire == years);
    FUZZ_CHECK((days == 0) == (months == 0) && (days == 0) == (years == 0));
    FUZZ_CHECK(parse(text + "x") == 0 && parse(text + " ") == 0);
    if (days == 0)
        return 0;

    // The count, as the days give it back, reads the same in every unit.
    FUZZ_CHECK(days <= months && months <= years);
    if (days == INT32_MAX)
        return 0;
    FUZZ_CHECK((days - firstDay) % day == 0);
    std::int64_t count = (days - firstDay) / day + 1;
    FUZZ_CHECK(parse(std::to_string(count)) == days && parse(std::to_string(count) + "d") == days);
    FUZZ_CHECK(years == stepped(firstYear, count, 365 * day));
    FUZZ_CHECK(months >= std::min<std::int64_t>(firstMonth + (count - 1) * 28 * day, INT32_MAX) &&
               months <= std::min<std::int64_t>(firstMonth + (count - 1) * 31 * day, INT32_MAX));
    // One more month is one month's length more.
    std::int64_t next = parse(std::to_string(count + 1) + "m");
    FUZZ_CHECK(next == INT32_MAX || (next - months >= 28 * day && next - months <= 31 * day));
    return 0;
}
