// Text codecs of the account library: the line tokenizer, the expiry and
// phone-number parsers, the phone and byte-count formatters and the lookup
// of the time class in force.
#include "common.h"
#include "internal.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include <strings.h>

namespace
{

bool isGraphic(char c)
{
    auto code = static_cast<unsigned char>(c);
    return code > 0x20 && code < 0x7F;
}
char lowerCase(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// ---------------------------------------------------------------- expiry

constexpr std::int64_t latestTime = INT32_MAX; // 2038-01-19, the last a record can hold
constexpr std::int64_t secondsPerDay = 86400;
constexpr std::int64_t secondsPerYear = 365 * secondsPerDay;
// February is always 28 days: expiry dates are coarse by design.
constexpr std::array<int, 12> monthDays{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

// base + steps * unit, or latestTime once that is exceeded, so that no
// count, however large, overflows.
std::int64_t advance(std::int64_t base, std::int64_t steps, std::int64_t unit)
{
    if (base >= latestTime || steps > (latestTime - base) / unit)
        return latestTime;
    return base + steps * unit;
}

// Adds the lengths of `months` months, from the month after `month` on.
// Stops once past the latest time, which bounds the loop for huge counts.
std::int64_t addMonths(std::int64_t base, int month, std::int64_t months)
{
    for (; months > 0 && base < latestTime; --months) {
        month = (month + 1) % 12;
        base += monthDays[static_cast<std::size_t>(month)] * secondsPerDay;
    }
    return base;
}

std::int32_t toRecordTime(std::int64_t seconds)
{
    if (seconds > latestTime)
        return INT32_MAX;
    if (seconds < INT32_MIN)
        return INT32_MIN;
    return static_cast<std::int32_t>(seconds);
}

std::int64_t expiryOf(char unit, std::int64_t count, std::int64_t now, const std::tm &local)
{
    std::int64_t nextMidnight =
        now + secondsPerDay - (local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec);
    if (unit == 'd')
        return advance(nextMidnight, count - 1, secondsPerDay);

    // February is taken as 28 days long, but on a 29th the month's end must
    // still lie ahead: it is the coming midnight, not a day in the past.
    auto month = static_cast<std::size_t>(local.tm_mon);
    int daysLeft = std::max(monthDays[month] - local.tm_mday, 0);
    std::int64_t nextMonth = nextMidnight + daysLeft * secondsPerDay;
    if (unit == 'm')
        return addMonths(nextMonth, local.tm_mon, count - 1);

    std::int64_t nextYear = addMonths(nextMonth, local.tm_mon, 11 - local.tm_mon);
    if (unit == 'y')
        return advance(nextYear, count - 1, secondsPerYear);
    return 0;
}

// ---------------------------------------------------------------- phone numbers

constexpr std::size_t maxPhoneDigits = 18;

// A part of a phone number, read as a signed 32-bit number would be.
std::uint32_t phonePart(std::string_view digits)
{
    std::uint64_t value = 0; // 18 digits fit without overflow
    for (char c : digits)
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    return static_cast<std::uint32_t>(value > INT32_MAX ? INT32_MAX : value);
}

// Reads the run of digits at `pos` as one group size, saturating at INT_MAX.
int readGroup(std::string_view format, std::size_t &pos)
{
    int value = 0;
    for (; pos < format.size() && isDigit(format[pos]); ++pos) {
        int digit = format[pos] - '0';
        value = value > (INT_MAX - digit) / 10 ? INT_MAX : value * 10 + digit;
    }
    return value;
}

// Appends to a caller's buffer, always keeping room for the terminator.
class TextWriter
{
  public:
    explicit TextWriter(std::span<char> out) : out_(out) {}

    bool put(std::string_view text)
    {
        if (out_.size() - used_ <= text.size())
            return false;
        text.copy(out_.data() + used_, text.size());
        used_ += text.size();
        return true;
    }
    bool put(char c) { return put(std::string_view(&c, 1)); }
    const char *finish()
    {
        out_[used_] = '\0';
        return out_.data();
    }

  private:
    std::span<char> out_;
    std::size_t used_ = 0;
};

// Lays `digits` out by `format`, first dropping `skip` digits' worth of
// leading groups (and the literals among them). False when the digits do not
// fill the format exactly or the text does not fit the buffer.
bool layOut(TextWriter &out, std::string_view format, std::string_view digits, std::int64_t skip)
{
    std::size_t next = 0;
    for (std::size_t i = 0; i < format.size();) {
        if (!isDigit(format[i])) {
            if (skip == 0 && !out.put(format[i]))
                return false;
            ++i;
            continue;
        }
        auto group = static_cast<std::size_t>(readGroup(format, i));
        if (skip == 0) {
            if (digits.size() - next < group || !out.put(digits.substr(next, group)))
                return false;
            next += group;
            continue;
        }
        skip -= static_cast<std::int64_t>(group);
        if (skip < 0)
            return false; // the area would fill a group only in part
        // The closing of a dropped group ("3 (3)" -> "(555)") goes with it.
        while (skip == 0 && i < format.size() &&
               (format[i] == ')' || format[i] == ' ' || format[i] == '\t'))
            ++i;
    }
    return next == digits.size();
}

const char *layOutPhone(TextWriter &out, std::uint32_t area, std::uint32_t local,
                        std::string_view areaFormat, std::string_view localFormat)
{
    DecimalText areaText(area);
    if (local == 0)
        return out.put(areaText.view()) ? out.finish() : nullptr;
    if (area != 0) {
        std::int64_t skip =
            std::int64_t{formatDigitCount(areaFormat)} - static_cast<std::int64_t>(areaText.length);
        if (!layOut(out, areaFormat, areaText.view(), skip) || !out.put(' '))
            return nullptr;
    }
    DecimalText localText(local);
    if (!layOut(out, localFormat, localText.view(), 0))
        return nullptr;
    return out.finish();
}

// ---------------------------------------------------------------- time classes

bool inRange(int value, int from, int to)
{
    if (to < from) // a range across the end of the week or the day
        return value >= from || value <= to;
    return from <= value && value <= to;
}

} // namespace

int nextToken(std::string_view &token, std::string_view line, std::size_t &pos)
{
    std::size_t i = pos < line.size() ? pos : line.size();
    while (i < line.size() && isWhite(line[i]))
        ++i;
    std::size_t start = i;
    while (i < line.size() && isGraphic(line[i]))
        ++i;
    token = line.substr(start, i - start);
    pos = i;
    return token.empty() ? 1 : 0;
}

std::int32_t parseExpireAt(std::string_view text, std::time_t now)
{
    char unit = 'd'; // a bare count is in days
    if (!text.empty() && !isDigit(text.back())) {
        unit = lowerCase(text.back());
        text.remove_suffix(1);
    }
    std::int64_t count = leadingDecimal<std::int64_t>(text);
    if (count <= 0)
        return 0;
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr)
        return 0; // only a clock beyond any calendar gets here
    return toRecordTime(expiryOf(unit, count, static_cast<std::int64_t>(now), local));
}

std::int32_t parseExpire(std::string_view text)
{
    return parseExpireAt(text, std::time(nullptr));
}

int parsePhone(std::uint32_t &area, std::uint32_t &local, std::string_view text, int localDigits)
{
    std::array<char, maxPhoneDigits> digits{};
    std::size_t count = 0;
    for (char c : text) {
        if (!isDigit(c))
            continue;
        if (count == digits.size())
            return 1;
        digits[count++] = c;
    }
    if (count == 0)
        return 1;
    std::string_view all(digits.data(), count);
    auto localCount = static_cast<std::size_t>(localDigits < 0 ? 0 : localDigits);
    if (localCount > count) {
        area = phonePart(all);
        local = 0;
        return 0;
    }
    area = phonePart(all.substr(0, count - localCount));
    local = phonePart(all.substr(count - localCount));
    return 0;
}

const char *formatPhone(std::span<char> out, std::uint32_t area, std::uint32_t local,
                        std::string_view areaFormat, std::string_view localFormat)
{
    if (out.empty())
        return nullptr;
    TextWriter writer(out);
    const char *text = layOutPhone(writer, area, local, areaFormat, localFormat);
    if (text == nullptr)
        out[0] = '\0';
    return text;
}

int formatDigitCount(std::string_view format)
{
    int total = 0;
    for (std::size_t i = 0; i < format.size();) {
        if (!isDigit(format[i])) {
            ++i;
            continue;
        }
        int group = readGroup(format, i);
        total = total > INT_MAX - group ? INT_MAX : total + group;
    }
    return total;
}

const char *formatBytes(std::span<char> out, std::uint64_t bytes)
{
    struct Unit {
        std::uint64_t size;
        float divisor;
        const char *name;
    };
    static constexpr std::array<Unit, 3> units{{
        {1073741824, 1073741824.0f, "GB"},
        {1048576, 1048576.0f, "MB"},
        {0, 1024.0f, "KB"},
    }};
    const Unit *unit = &units.back();
    for (const Unit &candidate : units) {
        if (bytes >= candidate.size) {
            unit = &candidate;
            break;
        }
    }
    // Single precision on purpose: it decides how the listings round
    // (1079110534 bytes is 1.00 GB, not 1.01).
    float value = static_cast<float>(bytes) / unit->divisor;
    std::snprintf(out.data(), out.size(), "%.2f %s", static_cast<double>(value), unit->name);
    return out.data();
}

bool sameKeyword(std::string_view word, std::string_view keyword)
{
    return word.size() == keyword.size() &&
           strncasecmp(word.data(), keyword.data(), word.size()) == 0;
}

int timeClassAt(const TimeClassTable &table, int weekday, int hour)
{
    for (std::size_t i = 0; i < table.count; ++i) {
        const TimeClassEntry &entry = table[i];
        if (inRange(weekday, entry.dayFrom, entry.dayTo) &&
            inRange(hour, entry.hourFrom, entry.hourTo))
            return static_cast<int>(i);
    }
    return -1;
}
