// nextToken: a line reads as non-empty runs of graphic characters separated
// by white space, each call taking the next run or ending, until a character
// that is neither ends the reading.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "check.h"
#include "common.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string_view line(reinterpret_cast<const char *>(data), size);
    std::string_view token = "stale";
    std::size_t pos = 0;
    for (std::size_t calls = 1;; ++calls) {
        FUZZ_CHECK(calls <= line.size() + 1);
        std::size_t before = pos;
        int result = nextToken(token, line, pos);
        FUZZ_CHECK(pos >= before && pos <= line.size());
        std::size_t start = pos - token.size();
        for (std::size_t i = before; i < start; ++i)
            FUZZ_CHECK(fuzz::isWhite(line[i]));
        // Where a reading stops, no graphic character can continue the token.
        FUZZ_CHECK(pos == line.size() || !fuzz::isGraphic(line[pos]));
        if (result != 0) {
            FUZZ_CHECK(result == 1 && token.empty());
            FUZZ_CHECK(pos == line.size() || !fuzz::isWhite(line[pos]));
            break;
        }
        FUZZ_CHECK(!token.empty() && pos > before);
        FUZZ_CHECK(token.data() == line.data() + start);
        for (char c : token)
            FUZZ_CHECK(fuzz::isGraphic(c));
    }

    // A position past the end gives no token, and none of the line.
    std::size_t past = line.size() + 1 + (size > 0 ? data[0] : 0);
    FUZZ_CHECK(nextToken(token, line, past) == 1 && token.empty());
    return 0;
}
