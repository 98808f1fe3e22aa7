// What the fuzz targets share: a check of a property that ends the run, so
// that the fuzzer keeps the input that broke it, and helpers to build inputs
// and read lines through the library's own tokenizer. The targets check
// properties of what the parsers give (round trips, invariance under blanks
// and case, agreement between parsers), not a second copy of their rules.
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

// Whether the tokenizer reads the line to its end rather than stopping at a
// character that is neither blank nor part of a word.
inline bool readWhole(std::string_view line)
{
    std::string_view token;
    std::size_t pos = 0;
    while (nextToken(token, line, pos) == 0) {
    }
    return pos == line.size();
}

// The words joined by single blanks.
inline std::string joined(const std::vector<std::string_view> &words)
{
    std::string line;
    for (std::string_view word : words)
        line.append(line.empty() ? "" : " ").append(word);
    return line;
}

} // namespace fuzz
