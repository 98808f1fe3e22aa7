// ku_reapfiles: removes the files and directories that users have left in
// shared places, as its configuration file directs, sparing the files of
// exempt and logged-in users and whatever is younger than the ages set.
#include <cstdint>
#include <string>
#include <string_view>

#include "common.h"
#include "walk.h"

namespace
{

constexpr const char *configFile = "/usr/lib/Kestrune/ku_reapfiles.config";

constexpr std::int64_t secondsPerDay = 86400;

// The settings read so far: each "path" line is cleaned with them as they
// stand when it is read.
struct FileSettings {
    std::int64_t accessAge = 0;
    std::int64_t changeAge = 0;
    std::int64_t modifyAge = 0;
    ExemptList<256> exempt;
};

std::optional<LoggedInUsers> loggedIn;
FileSettings settings;

// Ages are compared in 64 bits, so that neither a long age nor a time far
// from now can wrap into a wrong decision.
bool removable(const EntryStatus &entry, std::int64_t now)
{
    if (ownerSpared(settings.exempt, *loggedIn, entry.owner))
        return false;
    return settings.accessAge <= now - entry.accessTime &&
           settings.changeAge <= now - entry.changeTime &&
           settings.modifyAge <= now - entry.modifyTime;
}

void readAge(ConfigWords words, std::int64_t &age)
{
    std::string_view days;
    if (words.next(days))
        age = std::int64_t{decimalArgument(std::string(days).c_str())} * secondsPerDay;
}

// Every occurrence goes; the last entry takes each freed place.
void unexempt(ConfigWords words)
{
    uid_t uid = 0;
    while (nextLoginUid(words, uid)) {
        for (std::size_t i = 0; i < settings.exempt.count;) {
            if (settings.exempt[i] == uid)
                settings.exempt[i] = settings.exempt[--settings.exempt.count];
            else
                ++i;
        }
    }
}

void cleanPath(ConfigWords words)
{
    std::string_view path;
    if (words.next(path))
        cleanTree(std::string(path).c_str(), removable);
}

void applyLine(std::string_view keyword, ConfigWords words)
{
    if (sameKeyword(keyword, "path"))
        cleanPath(words);
    else if (sameKeyword(keyword, "atime"))
        readAge(words, settings.accessAge);
    else if (sameKeyword(keyword, "ctime"))
        readAge(words, settings.changeAge);
    else if (sameKeyword(keyword, "mtime"))
        readAge(words, settings.modifyAge);
    else if (sameKeyword(keyword, "exempt"))
        addExemptions(settings.exempt, words);
    else if (sameKeyword(keyword, "unexempt"))
        unexempt(words);
}

} // namespace

int main()
{
    LoginTable logins;
    readLogins(logins, configuredLoginSource());
    loggedIn.emplace(logins);
    readCleanerConfig(configFile, applyLine);
    return 0;
}
