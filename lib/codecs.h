// Text codecs: the line tokenizer, the expiry and phone-number parsers, the
// phone and byte-count formatters and the time class of a moment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>
#include <string_view>

#include "config.h"

int nextToken(std::string_view &token, std::string_view line, std::size_t &pos);

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
