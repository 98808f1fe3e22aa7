// The cleaners' configuration files: every line, however long, reaches the
// cleaner whole and once, as its first word and the words after it, and no
// piece of a line is taken for a line of its own; a line without a word is
// passed over; an "exempt" line adds the ids of the known logins on it, in
// order, until the list is full; "exempt" is taken in any case.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include <pwd.h>

#include "check.h"
#include "common.h"
#include "internal.h"

namespace
{

std::vector<std::string> wordsOf(std::string_view line)
{
    std::vector<std::string_view> tokens = fuzz::tokensOf(line);
    return {tokens.begin(), tokens.end()};
}

std::vector<std::vector<std::string>> expectedLines(std::string_view file)
{
    std::vector<std::vector<std::string>> lines;
    while (!file.empty()) {
        std::size_t end = file.find('\n');
        std::size_t length = end == file.npos ? file.size() : end + 1;
        std::vector<std::string> words = wordsOf(file.substr(0, length));
        if (!words.empty())
            lines.push_back(std::move(words));
        file.remove_prefix(length);
    }
    return lines;
}

// "exempt" is the keyword in any case of its letters, and nothing else is:
// turning the case of every byte keeps a word the keyword or not, and a
// keyword with a letter put otherwise is no longer one.
void checkKeyword(std::string_view keyword)
{
    bool exempt = sameKeyword(keyword, "exempt");
    FUZZ_CHECK(exempt == sameKeyword("exempt", keyword));
    FUZZ_CHECK(!exempt || keyword.size() == 6);
    std::string turned(keyword);
    for (char &c : turned)
        c ^= 0x20;
    FUZZ_CHECK(sameKeyword(turned, "exempt") == exempt);
    if (keyword == "exempt")
        FUZZ_CHECK(exempt);
    std::string variant = "exempt"; // some mix of cases, chosen by the word's length
    for (std::size_t i = 0; i < variant.size(); ++i)
        variant[i] ^= ((keyword.size() >> (i % 4)) & 1) != 0 ? 0x20 : 0;
    FUZZ_CHECK(sameKeyword(variant, "exempt"));
    if (exempt) {
        std::string other(keyword);
        other[keyword.size() / 2] = '_';
        FUZZ_CHECK(!sameKeyword(other, "exempt") && !sameKeyword(keyword, "exempts"));
    }
}

// A small list, so that inputs fill it.
using Exemptions = ExemptList<4>;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0; // nothing to read, and no stream over nothing
    std::string content(reinterpret_cast<const char *>(data), size);
    std::FILE *file = fmemopen(content.data(), content.size(), "r");
    FUZZ_CHECK(file != nullptr);

    std::vector<std::vector<std::string>> expected = expectedLines(content);
    std::size_t next = 0;
    Exemptions exempt;
    readCleanerLines(file, [&](std::string_view keyword, ConfigWords words) {
        FUZZ_CHECK(next < expected.size());
        const std::vector<std::string> &line = expected[next++];
        FUZZ_CHECK(keyword == line[0]);
        checkKeyword(keyword);

        ConfigWords rest = words;
        std::string_view word;
        for (std::size_t i = 1; i < line.size(); ++i)
            FUZZ_CHECK(rest.next(word) && word == line[i]);
        FUZZ_CHECK(!rest.next(word));

        if (!sameKeyword(keyword, "exempt"))
            return;
        Exemptions wanted = exempt;
        for (std::size_t i = 1; i < line.size() && !wanted.full(); ++i) {
            if (const passwd *entry = getpwnam(line[i].c_str()))
                wanted.push(entry->pw_uid);
        }
        addExemptions(exempt, words);
        FUZZ_CHECK(exempt.count == wanted.count &&
                   std::equal(exempt.begin(), exempt.end(), wanted.begin()));
    });
    FUZZ_CHECK(next == expected.size());
    std::fclose(file);
    return 0;
}
