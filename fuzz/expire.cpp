// parseExpire: an expiry is 0 (none) or lies after now, never before; a count
// of days or years steps by whole days or 365-day years from the first, a
// count of months by 28 to 31 days a month; the unit letter ignores case;
// what is not a positive count of a known unit gives no expiry.
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

std::int64_t stepped(std::int64_t first, long long count, std::int64_t unit)
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

    std::int32_t expire = parseExpireAt(text, now);
    FUZZ_CHECK(expire >= 0);
    FUZZ_CHECK(expire == 0 || expire > now);

    char unit = 'd';
    std::string count = text;
    if (!text.empty() && !fuzz::isDigit(text.back())) {
        unit = fuzz::lower(text.back());
        count.pop_back();
    }
    long long n = std::strtoll(count.c_str(), nullptr, 10);
    if (n <= 0 || (unit != 'd' && unit != 'm' && unit != 'y')) {
        FUZZ_CHECK(expire == 0);
        return 0;
    }
    FUZZ_CHECK(expire > now);

    // The ends of the first day, month and year lie in that order.
    std::int64_t firstDay = parseExpireAt("1d", now);
    std::int64_t firstMonth = parseExpireAt("1m", now);
    std::int64_t firstYear = parseExpireAt("1y", now);
    FUZZ_CHECK(now < firstDay && firstDay <= now + day);
    FUZZ_CHECK(firstDay <= firstMonth && firstMonth < firstDay + 31 * day);
    FUZZ_CHECK(firstMonth <= firstYear && firstYear <= now + 366 * day);

    if (unit == 'd')
        FUZZ_CHECK(expire == stepped(firstDay, n, day));
    else if (unit == 'y')
        FUZZ_CHECK(expire == stepped(firstYear, n, 365 * day));
    else if (n > 1000000) // far beyond the last time a record can hold
        FUZZ_CHECK(expire == INT32_MAX);
    else
        FUZZ_CHECK(expire >= std::min<std::int64_t>(firstMonth + (n - 1) * 28 * day, INT32_MAX) &&
                   expire <= std::min<std::int64_t>(firstMonth + (n - 1) * 31 * day, INT32_MAX));

    if (unit != text.back()) // a letter typed in lower case
        return 0;
    std::string upper = count + static_cast<char>(unit - 'a' + 'A');
    FUZZ_CHECK(parseExpireAt(upper, now) == expire);
    return 0;
}
