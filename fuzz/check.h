// What the fuzz targets share: a check of a property that ends the run, so
// that the fuzzer keeps the input that broke it, and the character classes
// of the C locale that the parsers use, and the tokenizer's words.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "common.h"

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: property does not hold: %s\n", __FILE__, __LINE__,        \
                         #condition);                                                              \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace fuzz
{

inline bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}
inline bool isWhite(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}
inline bool isGraphic(char c)
{
    return c > ' ' && c < '\x7f';
}
inline char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
inline bool sameIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

// What a C string can hold of some bytes: all but the NULs.
inline std::string text(std::string bytes)
{
    std::erase(bytes, '\0');
    return bytes;
}

// The words of a line, as the library's tokenizer finds them.
inline std::vector<std::string_view> tokensOf(std::string_view line)
{
    std::vector<std::string_view> tokens;
    std::string_view token;
    std::size_t pos = 0;
    while (nextToken(token, line, pos) == 0)
        tokens.push_back(token);
    return tokens;
}

} // namespace fuzz
