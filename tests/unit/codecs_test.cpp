// Unit tests of the text codecs: tokenizer, expiry and phone parsers, phone
// and byte-count formatters, time-class lookup.
#include "common.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace
{

// ---------------------------------------------------------------- tokens

struct TokenCase {
    std::string_view line;
    std::vector<std::string_view> tokens;
};

class TokenTest : public testing::TestWithParam<TokenCase>
{
};

TEST_P(TokenTest, ReadsTokensUntilTheFirstNonGraphicGap)
{
    std::vector<std::string_view> tokens;
    std::string_view token;
    std::size_t pos = 0;
    while (nextToken(token, GetParam().line, pos) == 0)
        tokens.push_back(token);
    EXPECT_EQ(tokens, GetParam().tokens);
    EXPECT_TRUE(token.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Lines, TokenTest,
    testing::Values(TokenCase{"  Devices ttyS0 4\n", {"Devices", "ttyS0", "4"}},
                    TokenCase{"a\tb\vc\fd\r\n", {"a", "b", "c", "d"}}, TokenCase{"", {}},
                    TokenCase{" \t\n", {}},
                    // A control character ends the token and the line's reading.
                    TokenCase{"Name\x01rest more", {"Name"}}, TokenCase{"\x7f word", {}},
                    TokenCase{"caf\xc3\xa9 bar", {"caf"}}));

TEST(TokenTest, ResumesFromTheGivenPosition)
{
    std::string_view token;
    std::size_t pos = 2;
    EXPECT_EQ(nextToken(token, "ab cd ef", pos), 0);
    EXPECT_EQ(token, "cd");
    EXPECT_EQ(pos, 5u);
}

TEST(TokenTest, PositionPastTheEndGivesNoToken)
{
    std::string_view token = "stale";
    std::size_t pos = 100;
    EXPECT_EQ(nextToken(token, "abc", pos), 1);
    EXPECT_TRUE(token.empty());
}

// ---------------------------------------------------------------- expiry

// Sets a POSIX TZ string (no zone database needed) for one test and puts
// the process's zone back afterwards.
class ZoneGuard
{
  public:
    explicit ZoneGuard(const char *zone)
    {
        if (const char *old = std::getenv("TZ"))
            saved_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneGuard()
    {
        if (saved_)
            setenv("TZ", saved_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    ZoneGuard(const ZoneGuard &) = delete;
    ZoneGuard &operator=(const ZoneGuard &) = delete;

  private:
    std::optional<std::string> saved_;
};

struct Moment {
    int year, month, day, hour = 0, minute = 0, second = 0;
};

// The C library's own reading of a local calendar moment.
std::time_t localMoment(const Moment &m)
{
    std::tm t{};
    t.tm_year = m.year - 1900;
    t.tm_mon = m.month - 1;
    t.tm_mday = m.day;
    t.tm_hour = m.hour;
    t.tm_min = m.minute;
    t.tm_sec = m.second;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

constexpr const char *utc = "UTC0";
constexpr const char *newYork = "EST5EDT,M3.2.0,M11.1.0";
constexpr const char *tokyo = "JST-9";

struct ExpireCase {
    const char *zone;
    Moment now;
    const char *text;
    Moment end;
};

class ExpireEndTest : public testing::TestWithParam<ExpireCase>
{
};

TEST_P(ExpireEndTest, EndsAtLocalMidnightOfTheCountedDay)
{
    const ExpireCase &c = GetParam();
    ZoneGuard zone(c.zone);
    EXPECT_EQ(parseExpireAt(c.text, localMoment(c.now)), localMoment(c.end)) << c.text;
}

INSTANTIATE_TEST_SUITE_P(Calendar, ExpireEndTest,
                         testing::Values(
                             // Today counts as the first day.
                             ExpireCase{utc, {2023, 3, 10, 10}, "1", {2023, 3, 11}},
                             ExpireCase{utc, {2023, 3, 10, 10}, "1d", {2023, 3, 11}},
                             ExpireCase{utc, {2023, 3, 10, 0}, "1d", {2023, 3, 11}},
                             ExpireCase{utc, {2023, 3, 10, 10}, "3d", {2023, 3, 13}},
                             ExpireCase{utc, {2023, 3, 10, 10}, "3D", {2023, 3, 13}},
                             ExpireCase{utc, {2023, 3, 10, 10}, " +2d", {2023, 3, 12}},
                             ExpireCase{utc, {2023, 3, 10, 10}, "5429d", {2038, 1, 19}},
                             // Month ends; February is always 28 days.
                             ExpireCase{utc, {2023, 1, 31, 23, 59, 59}, "1m", {2023, 2, 1}},
                             ExpireCase{utc, {2023, 1, 31, 12}, "2m", {2023, 3, 1}},
                             ExpireCase{utc, {2024, 1, 31, 12}, "2m", {2024, 2, 29}},
                             ExpireCase{utc, {2023, 12, 31, 12}, "1m", {2024, 1, 1}},
                             ExpireCase{utc, {2023, 11, 10, 12}, "3m", {2024, 2, 1}},
                             ExpireCase{utc, {2023, 12, 15, 12}, "2M", {2024, 2, 1}},
                             // A leap day's month still ends ahead, not behind.
                             ExpireCase{utc, {2024, 2, 29, 12}, "1m", {2024, 3, 1}},
                             ExpireCase{utc, {2024, 2, 29, 12}, "2m", {2024, 4, 1}},
                             ExpireCase{utc, {2024, 2, 29, 12}, "1y", {2025, 1, 1}},
                             // Year ends; later years are 365 days each.
                             ExpireCase{utc, {2023, 1, 1, 0}, "1y", {2024, 1, 1}},
                             ExpireCase{utc, {2023, 12, 31, 23, 59, 59}, "1y", {2024, 1, 1}},
                             ExpireCase{utc, {2021, 6, 15, 8}, "2Y", {2023, 1, 1}},
                             // Local, not UTC, calendar days.
                             ExpireCase{newYork, {2023, 1, 20, 21, 30}, "1", {2023, 1, 21}},
                             ExpireCase{newYork, {2023, 6, 30, 21}, "1m", {2023, 7, 1}},
                             ExpireCase{newYork, {2023, 1, 15, 10}, "1y", {2024, 1, 1}},
                             ExpireCase{tokyo, {2023, 1, 31, 5}, "1m", {2023, 2, 1}},
                             ExpireCase{tokyo, {2023, 12, 31, 8}, "1y", {2024, 1, 1}}));

struct ExpireLimitCase {
    const char *text;
    std::int32_t expected;
};

class ExpireLimitTest : public testing::TestWithParam<ExpireLimitCase>
{
};

TEST_P(ExpireLimitTest, GivesNoExpiryOrTheLatestTime)
{
    ZoneGuard zone(utc);
    std::time_t now = localMoment({2023, 3, 10, 10});
    EXPECT_EQ(parseExpireAt(GetParam().text, now), GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Limits, ExpireLimitTest,
    testing::Values(ExpireLimitCase{"0", 0}, ExpireLimitCase{"-5d", 0}, ExpireLimitCase{"", 0},
                    ExpireLimitCase{"d", 0}, ExpireLimitCase{"0m", 0}, ExpireLimitCase{"10x", 0},
                    ExpireLimitCase{"5 ", 0}, ExpireLimitCase{"-99999999999999999999999y", 0},
                    // Beyond 2038 a record cannot count, so these stop there.
                    ExpireLimitCase{"5430d", INT32_MAX}, ExpireLimitCase{"100y", INT32_MAX},
                    ExpireLimitCase{"999999999999m", INT32_MAX},
                    ExpireLimitCase{"99999999999999999999999d", INT32_MAX}));

TEST(ExpireTest, CountsFromTheCurrentTime)
{
    std::time_t before = std::time(nullptr);
    std::int32_t end = parseExpire("1");
    EXPECT_GT(end, before);
    EXPECT_LE(end, std::time(nullptr) + 86400);
}

// ---------------------------------------------------------------- phone numbers

constexpr std::uint32_t untouched = 0xDEADBEEF;

struct ParsePhoneCase {
    const char *text;
    int localDigits;
    bool valid;
    std::uint32_t area = untouched;
    std::uint32_t local = untouched;
};

class ParsePhoneTest : public testing::TestWithParam<ParsePhoneCase>
{
};

TEST_P(ParsePhoneTest, SplitsDigitsIntoAreaAndLocal)
{
    const ParsePhoneCase &c = GetParam();
    std::uint32_t area = untouched;
    std::uint32_t local = untouched;
    EXPECT_EQ(parsePhone(area, local, c.text, c.localDigits), c.valid ? 0 : 1) << c.text;
    EXPECT_EQ(area, c.area);
    EXPECT_EQ(local, c.local);
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, ParsePhoneTest,
    testing::Values(ParsePhoneCase{"555 123-4567", 7, true, 555, 1234567},
                    ParsePhoneCase{"(555) 123-4567", 7, true, 555, 1234567},
                    ParsePhoneCase{"1234567", 7, true, 0, 1234567},
                    ParsePhoneCase{"555", 7, true, 555, 0},
                    ParsePhoneCase{"000 0000001", 7, true, 0, 1},
                    ParsePhoneCase{"5551234", 0, true, 5551234, 0},
                    ParsePhoneCase{"5551234", -3, true, 5551234, 0},
                    // Each part saturates as a signed 32-bit number.
                    ParsePhoneCase{"123456789012345678", 7, true, 2147483647, 2345678},
                    ParsePhoneCase{"9999999999", 0, true, 2147483647, 0},
                    ParsePhoneCase{"", 7, false}, ParsePhoneCase{"abc-()", 7, false},
                    ParsePhoneCase{"1234567890123456789", 7, false},
                    ParsePhoneCase{"123456789 0123456789 junk", 7, false}));

struct FormatPhoneCase {
    std::uint32_t area;
    std::uint32_t local;
    const char *areaFormat;
    const char *localFormat;
    const char *expected; // null when the number does not fit the formats
};

class FormatPhoneTest : public testing::TestWithParam<FormatPhoneCase>
{
};

TEST_P(FormatPhoneTest, LaysOutOrRefusesTheNumber)
{
    const FormatPhoneCase &c = GetParam();
    std::array<char, phoneTextSize> out;
    out.fill('X');
    const char *text = formatPhone(out, c.area, c.local, c.areaFormat, c.localFormat);
    if (c.expected == nullptr) {
        EXPECT_EQ(text, nullptr);
        EXPECT_EQ(out[0], '\0');
    } else {
        EXPECT_EQ(text, out.data());
        EXPECT_STREQ(out.data(), c.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, FormatPhoneTest,
    testing::Values(FormatPhoneCase{555, 5551234, "3 (3)", "3-4", "(555) 555-1234"},
                    FormatPhoneCase{123456, 5551234, "3 (3)", "3-4", "123 (456) 555-1234"},
                    FormatPhoneCase{0, 5551234, "3 (3)", "3-4", "555-1234"},
                    FormatPhoneCase{555, 0, "3 (3)", "3-4", "555"},
                    FormatPhoneCase{0, 0, "3 (3)", "3-4", "0"},
                    FormatPhoneCase{555, 5551234, "(1) 3", "7", "555 5551234"},
                    FormatPhoneCase{555, 5551234, "+1 (3)", "3-4", "(555) 555-1234"},
                    FormatPhoneCase{1555, 5551234, "+1 (3)", "3-4", "+1 (555) 555-1234"},
                    FormatPhoneCase{1234567890, 1234567890, "10", "[10]",
                                    "1234567890 [1234567890]"},
                    FormatPhoneCase{55, 5551234, "3 (3)", "3-4", nullptr},
                    FormatPhoneCase{5555, 5551234, "3 (3)", "3-4", nullptr},
                    FormatPhoneCase{1234567, 5551234, "3 (3)", "3-4", nullptr},
                    FormatPhoneCase{555, 12345678, "3 (3)", "3-4", nullptr},
                    FormatPhoneCase{555, 123456, "3 (3)", "3-4", nullptr},
                    FormatPhoneCase{555, 5551234, "12", "3-4", nullptr},
                    FormatPhoneCase{555, 5551234, "99999999999 3", "3-4", nullptr},
                    FormatPhoneCase{0, 5, "3 (3)", "99999999999", nullptr},
                    FormatPhoneCase{0, 5, "3 (3)", "none", nullptr}));

class PhoneBufferTest : public testing::TestWithParam<std::size_t>
{
};

TEST_P(PhoneBufferTest, NeverWritesPastTheBuffer)
{
    constexpr std::string_view full = "(555) 555-1234";
    std::array<char, 32> memory;
    memory.fill('#');
    std::size_t size = GetParam();
    const char *text = formatPhone(std::span(memory.data(), size), 555, 5551234, "3 (3)", "3-4");
    if (size > full.size()) {
        EXPECT_EQ(text, full);
    } else {
        EXPECT_EQ(text, nullptr);
        if (size > 0) {
            EXPECT_EQ(memory[0], '\0');
        }
    }
    for (std::size_t i = size; i < memory.size(); ++i)
        EXPECT_EQ(memory[i], '#') << "byte " << i;
}

INSTANTIATE_TEST_SUITE_P(Sizes, PhoneBufferTest, testing::Range<std::size_t>(0, 17));

struct DigitCountCase {
    const char *format;
    int expected;
};

class PhoneDigitCountTest : public testing::TestWithParam<DigitCountCase>
{
};

TEST_P(PhoneDigitCountTest, AddsEveryNumberOfTheFormat)
{
    EXPECT_EQ(formatDigitCount(GetParam().format), GetParam().expected) << GetParam().format;
}

INSTANTIATE_TEST_SUITE_P(Formats, PhoneDigitCountTest,
                         testing::Values(DigitCountCase{"3-4", 7}, DigitCountCase{"3 (3)", 6},
                                         DigitCountCase{"", 0}, DigitCountCase{"(-)", 0},
                                         DigitCountCase{"10-2", 12},
                                         DigitCountCase{"99999999999", INT_MAX},
                                         DigitCountCase{"2147483647 1", INT_MAX}));

// ---------------------------------------------------------------- byte counts

struct BytesCase {
    std::uint64_t bytes;
    const char *expected;
};

class BytesTest : public testing::TestWithParam<BytesCase>
{
};

TEST_P(BytesTest, PrintsInTheLargestFittingUnit)
{
    std::array<char, byteTextSize> out{};
    EXPECT_EQ(formatBytes(out, GetParam().bytes), out.data());
    EXPECT_STREQ(out.data(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Counts, BytesTest,
    testing::Values(BytesCase{0, "0.00 KB"}, BytesCase{1048575, "1024.00 KB"},
                    BytesCase{1048576, "1.00 MB"}, BytesCase{1073741824, "1.00 GB"},
                    // Single-precision rounding shows in these.
                    BytesCase{1073741823, "1024.00 MB"}, BytesCase{1048581216, "1000.01 MB"},
                    BytesCase{1079110534, "1.00 GB"}, BytesCase{UINT64_MAX, "17179869184.00 GB"}));

// ---------------------------------------------------------------- time classes

TimeClassTable tableOf(std::initializer_list<TimeClassEntry> entries)
{
    TimeClassTable table;
    for (const TimeClassEntry &entry : entries)
        table.push(entry);
    return table;
}

const TimeClassTable weekendNights = tableOf({{5, 1, 22, 5}});
const TimeClassTable officeThenAll = tableOf({{1, 5, 8, 17}, {0, 6, 0, 23}});
const TimeClassTable noClasses;

enum Day { sunday, monday, tuesday, wednesday, thursday, friday, saturday };

struct TimeClassCase {
    const TimeClassTable *table;
    int weekday;
    int hour;
    int expected;
};

class TimeClassTest : public testing::TestWithParam<TimeClassCase>
{
};

TEST_P(TimeClassTest, PicksTheFirstEntryHoldingDayAndHour)
{
    const TimeClassCase &c = GetParam();
    EXPECT_EQ(timeClassAt(*c.table, c.weekday, c.hour), c.expected)
        << "day " << c.weekday << " hour " << c.hour;
}

INSTANTIATE_TEST_SUITE_P(Tables, TimeClassTest,
                         testing::Values(TimeClassCase{&weekendNights, saturday, 3, 0},
                                         TimeClassCase{&weekendNights, friday, 23, 0},
                                         TimeClassCase{&weekendNights, monday, 5, 0},
                                         TimeClassCase{&weekendNights, wednesday, 23, -1},
                                         TimeClassCase{&weekendNights, monday, 6, -1},
                                         TimeClassCase{&weekendNights, friday, 21, -1},
                                         TimeClassCase{&officeThenAll, monday, 8, 0},
                                         TimeClassCase{&officeThenAll, friday, 17, 0},
                                         TimeClassCase{&officeThenAll, friday, 18, 1},
                                         TimeClassCase{&officeThenAll, sunday, 9, 1},
                                         TimeClassCase{&noClasses, wednesday, 12, -1}));

// The one reader of decimal numbers, in the forms its callers need: as
// strtol reads a command's or a setting's number, held to the type's range
// (decimalArgument's cases show the int range), and exactly, as the kernel
// writes a process's numbers.
TEST(DecimalTest, LeadingFormReadsAsStrtolAndHoldsToTheRange)
{
    EXPECT_EQ(leadingDecimal<int>("\v\f\r\n-17 3"), -17);
    EXPECT_EQ(leadingDecimal<int>("- 5"), 0);
    EXPECT_EQ(leadingDecimal<int>("2147483648"), INT_MAX);
    EXPECT_EQ(leadingDecimal<int>("-99999999999999999999999"), INT_MIN);
    EXPECT_EQ(leadingDecimal<long>("99999999999999999999999"), LONG_MAX);
    EXPECT_EQ(leadingDecimal<std::int64_t>("-9223372036854775808"), INT64_MIN);
    // Digits of other scripts are no digits, whatever the locale.
    EXPECT_EQ(leadingDecimal<int>("\xd9\xa3"), 0);
}

TEST(DecimalTest, WholeFormTakesOnlyAWholeNumberOfTheType)
{
    EXPECT_EQ(readDecimal<int>("4711", DecimalForm::whole), 4711);
    EXPECT_EQ(readDecimal<int>("-1", DecimalForm::whole), -1);
    EXPECT_EQ(readDecimal<std::uint64_t>("18446744073709551615", DecimalForm::whole), UINT64_MAX);
    EXPECT_EQ(readDecimal<unsigned>("4294967296", DecimalForm::whole), std::nullopt);
    EXPECT_EQ(readDecimal<unsigned>("-1", DecimalForm::whole), std::nullopt);
    EXPECT_EQ(readDecimal<int>("+1", DecimalForm::whole), std::nullopt);
    EXPECT_EQ(readDecimal<int>(" 1", DecimalForm::whole), std::nullopt);
    EXPECT_EQ(readDecimal<int>("12a", DecimalForm::whole), std::nullopt);
    EXPECT_EQ(readDecimal<int>("", DecimalForm::whole), std::nullopt);
    EXPECT_EQ(readDecimal<int>("-", DecimalForm::whole), std::nullopt);
}

} // namespace
