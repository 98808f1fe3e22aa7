// The cleaners' configuration files: keyword lines, the words after each
// keyword, and the owners a cleaner spares.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string_view>

#include "codecs.h"
#include "fixedlist.h"
#include "sessions.h"

// Reads a cleaner's configuration file and hands each line's first word and
// the words after it to `apply`, in file order. A line is read whole, however
// long: a piece of it must never be taken for a line of its own. Ends through
// perrorExit("fopen") when the file cannot be opened.
void readCleanerConfig(
    const char *path,
    const std::function<void(std::string_view keyword, ConfigWords words)> &apply);

// Owners whose files or processes a cleaner leaves alone. Ids are kept
// whole: one cut to 16 bits would spare another user and not this one.
template <std::size_t Capacity> using ExemptList = FixedList<uid_t, Capacity>;

// The id of each following word that names a login, in order; words that
// name no user are passed over. False at the end of the line.
bool nextLoginUid(ConfigWords &words, uid_t &uid);

// Adds the ids of the logins on the rest of the line; what does not fit is
// dropped.
template <std::size_t Capacity> void addExemptions(ExemptList<Capacity> &exempt, ConfigWords words)
{
    uid_t uid = 0;
    while (!exempt.full() && nextLoginUid(words, uid))
        exempt.push(uid);
}

// Whether an owner is exempt or has a session in the login table.
template <std::size_t Capacity>
bool ownerSpared(const ExemptList<Capacity> &exempt, const LoggedInUsers &loggedIn, uid_t uid)
{
    for (uid_t spared : exempt) {
        if (spared == uid)
            return true;
    }
    return loggedIn.contains(uid);
}
