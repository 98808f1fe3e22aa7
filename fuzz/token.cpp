// nextToken: each call takes the next word of a line or ends; the words are
// non-empty, stand in the line in order without overlap, and are read the
// same however they are spaced: a word alone reads as itself, the words
// joined by single blanks read as the same words, and blanks before or after
// the line change nothing. The gaps it skips are blanks only, and where it
// stops for good the rest of the line gives nothing. The printable
// characters make words and the six blanks of C part them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "common.h"

namespace
{

bool sameWords(const std::vector<std::string_view> &a, const std::vector<std::string_view> &b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string_view line(reinterpret_cast<const char *>(data), size);
    std::vector<std::string_view> words;
    std::string_view token = "stale";
    std::size_t pos = 0;
    for (std::size_t calls = 1;; ++calls) {
        FUZZ_CHECK(calls <= line.size() + 1);
        std::size_t before = pos;
        int result = nextToken(token, line, pos);
        FUZZ_CHECK(pos >= before && pos <= line.size());
        if (result != 0) {
            FUZZ_CHECK(result == 1 && token.empty());
            // The end is for good: another call from there moves nowhere.
            std::size_t again = pos;
            FUZZ_CHECK(nextToken(token, line, again) == 1 && again == pos);
            break;
        }
        FUZZ_CHECK(!token.empty() && token.data() + token.size() == line.data() + pos);
        auto start = static_cast<std::size_t>(token.data() - line.data());
        FUZZ_CHECK(start >= before);
        // What it skipped is blank only: read alone, it gives no word and is
        // passed over whole.
        std::size_t gapPos = 0;
        std::string_view gap = line.substr(before, start - before);
        FUZZ_CHECK(nextToken(token, gap, gapPos) == 1 && gapPos == gap.size());
        // A word reads as itself, and what stopped it cannot continue it.
        std::string_view word = line.substr(start, pos - start);
        std::vector<std::string_view> alone = fuzz::tokensOf(word);
        FUZZ_CHECK(alone.size() == 1 && alone[0] == word);
        if (pos < line.size())
            FUZZ_CHECK(fuzz::tokensOf(line.substr(start, pos - start + 1))[0] == word);
        // The reading up to the end of this word is the words so far.
        words.push_back(word);
        FUZZ_CHECK(sameWords(fuzz::tokensOf(line.substr(0, pos)), words));
    }
    FUZZ_CHECK(sameWords(fuzz::tokensOf(line), words));

    // However the words are spaced, they read the same.
    std::string spaced = fuzz::joined(words);
    FUZZ_CHECK(sameWords(fuzz::tokensOf(spaced), words) && fuzz::readWhole(spaced));
    std::string padded = " \t" + std::string(line) + "\n ";
    FUZZ_CHECK(sameWords(fuzz::tokensOf(padded), words));

    // The printable characters make one word; the blanks separate words.
    std::string printable;
    for (char c = '!'; c <= '~'; ++c)
        printable += c;
    std::vector<std::string_view> one = fuzz::tokensOf(printable);
    FUZZ_CHECK(one.size() == 1 && one[0] == printable);
    FUZZ_CHECK(fuzz::tokensOf(" \t\n\r\v\f").empty() && fuzz::readWhole(" \t\n\r\v\f"));

    // A position past the end gives no token, and none of the line.
    std::size_t past = line.size() + 1 + (size > 0 ? data[0] : 0);
    FUZZ_CHECK(nextToken(token, line, past) == 1 && token.empty());
    return 0;
}
