// Text codecs: character classes, the decimal reader, the words of a line,
// the expiry and phone-number parsers, the phone and byte-count formatters
// and the time class of a moment.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>

#include "config.h"

// Character classes of the C locale, whatever the process's locale.
inline bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}
inline bool isWhite(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// How readDecimal takes its text.
enum class DecimalForm {
    // As strtol reads base 10: blanks, a sign, then the digits up to the
    // first other character; 0 without digits.
    leading,
    // The text is the number and nothing else: digits, after a '-' only for
    // a signed type.
    whole,
};

// A decimal number of type T. The leading form always gives one, held to
// T's range rather than cut into another value; the whole form gives none
// for a text that is not exactly a number within T's range.
template <std::integral T> std::optional<T> readDecimal(std::string_view text, DecimalForm form)
{
    bool leading = form == DecimalForm::leading;
    std::size_t i = 0;
    while (leading && i < text.size() && isWhite(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || (leading && text[i] == '+'))) {
        negative = text[i++] == '-';
        if (negative && !leading && std::is_unsigned_v<T>)
            return std::nullopt;
    }
    // The largest magnitude a T of this sign can take.
    std::uint64_t limit = static_cast<std::uint64_t>(std::numeric_limits<T>::max());
    if (negative)
        limit = std::is_signed_v<T> ? limit + 1 : 0;
    std::uint64_t magnitude = 0;
    bool beyond = false;
    std::size_t first = i;
    for (; i < text.size() && isDigit(text[i]); ++i) {
        auto digit = static_cast<std::uint64_t>(text[i] - '0');
        if (beyond || magnitude > limit / 10 || (magnitude == limit / 10 && digit > limit % 10)) {
            beyond = true;
            magnitude = limit;
            continue;
        }
        magnitude = magnitude * 10 + digit;
    }
    if (!leading && (i == first || i != text.size() || beyond))
        return std::nullopt;
    if (!negative || magnitude == 0)
        return static_cast<T>(magnitude);
    // -magnitude, formed without overflow even for T's least value.
    return static_cast<T>(-static_cast<std::int64_t>(magnitude - 1) - 1);
}

// The leading form of readDecimal, which always has a value.
template <std::integral T> T leadingDecimal(std::string_view text)
{
    return *readDecimal<T>(text, DecimalForm::leading);
}

// The next blank-separated word of `line` from `pos` on: 0 with the word,
// 1 at the end of the line.
int nextToken(std::string_view &token, std::string_view line, std::size_t &pos);

// The words of a configuration line that follow its keyword.
struct ConfigWords {
    std::string_view line;
    std::size_t pos = 0;
    // The next word; false at the end of the line.
    bool next(std::string_view &word) { return nextToken(word, line, pos) == 0; }
};
// Keywords are compared without regard to case.
bool sameKeyword(std::string_view word, std::string_view keyword);

std::int32_t parseExpire(std::string_view text);
std::int32_t parseExpireAt(std::string_view text, std::time_t now);

int parsePhone(std::uint32_t &area, std::uint32_t &local, std::string_view text, int localDigits);

// Room for the longest layout two 15-character formats can give.
inline constexpr std::size_t phoneTextSize = 64;
const char *formatPhone(std::span<char> out, std::uint32_t area, std::uint32_t local,
                        std::string_view areaFormat, std::string_view localFormat);
int formatDigitCount(std::string_view format);

inline constexpr std::size_t byteTextSize = 32;
const char *formatBytes(std::span<char> out, std::uint64_t bytes);

int timeClassAt(const TimeClassTable &table, int weekday, int hour);
