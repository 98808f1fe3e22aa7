// The account and ban commands' arguments: numbers, allowance sets and
// phone numbers typed as one or several words.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "userfile.h"

// A number typed on a command line, read as strtol reads base 10 (leading
// blanks and a sign, up to the first non-digit, 0 without digits), held to
// the range of int rather than cut into another value.
int decimalArgument(const char *text);

// The allowance set that enrolment, the limits editor and a subscription
// give an account.
struct Allowances {
    std::int32_t time = 0;
    std::int32_t session = 0;
    int priority = 4;
    std::array<std::int16_t, 4> classes{classUnlimited, classUnlimited, classUnlimited,
                                        classUnlimited};
};
// Reads <time_limit> [session_limit] [priority] from the first three of
// `limits` and up to four class limits (each cut to 16 bits) from
// `classLimits`; ends with "invalid session_limit: %d" or "invalid
// priority: %d".
Allowances readAllowances(std::span<char *const> limits, std::span<char *const> classLimits);
// Sets every limit and its "left" field, and the priority; keeps the other
// flags.
void applyAllowances(UserRecord &record, const Allowances &allowances);
// The arguments from `from` on, or none.
std::span<char *const> argumentsFrom(std::span<char *const> arguments, std::size_t from);

// parsePhone for a number that must hold a local part: 1 also when the
// digits give an area part alone.
int parseFullPhone(std::uint32_t &area, std::uint32_t &local, std::string_view text,
                   int localDigits);

// The words of a phone number typed as several arguments, joined by single
// blanks, whatever their length.
std::string joinWords(std::span<char *const> words);
