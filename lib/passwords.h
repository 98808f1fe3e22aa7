// Between logins and user ids: the password database's lookups, whole or
// cut to the 16-bit ids of the records.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

// The 16-bit id that stands for "no such user" in records and lookups.
inline constexpr std::uint16_t unknownUid = 0xFFFF;

// Room for any login name of the system, with its terminator.
inline constexpr std::size_t loginNameSize = 256;

std::uint16_t nameToUid(const char *login);
// The password database's id for a login, whole; none without an entry.
std::optional<uid_t> loginUid(const char *login);
char *uidToName(std::span<char> name, std::uint16_t uid);

// For commands that act on a named user's account. The first gives the
// user's id or ends with "user does not exist: %s".
std::uint16_t existingUserUid(const char *login);
// As existingUserUid, for a command that gives a user an account or sets
// it: a user whose id does not fit a record is told so plainly.
std::uint16_t accountHolderUid(const char *login);

// The login of each 16-bit user id, each asked of the password database at
// most once per run: the database is read through once, and only the ids it
// did not show are then looked up one by one (a source that does not
// enumerate may still hold them). The first entry of an id wins, as with
// getpwuid; ids of 65535 and above never name an account.
class PasswordTable
{
  public:
    PasswordTable();
    // Reads the database through, unless done already.
    void load();
    // The login, whole; null when the id has none. Valid for the table's life.
    const char *nameOf(std::uint16_t uid);

  private:
    void remember(std::uint16_t uid, const char *name);

    bool loaded_ = false;
    std::vector<std::int32_t> where_; // index into names_, or a mark
    std::deque<std::string> names_;   // entries never move once added
};
