// Between logins and user ids. The table of logins of the 16-bit user ids is
// read from the password database once per run: with a plain password file
// every single lookup reads the file from its top, which would make a pass
// over a large account file quadratic.
#include <cstring>

#include <pwd.h>

#include "common.h"

std::optional<uid_t> loginUid(const char *login)
{
    const passwd *entry = getpwnam(login);
    if (entry == nullptr)
        return std::nullopt;
    return entry->pw_uid;
}

std::uint16_t nameToUid(const char *login)
{
    // An id that does not fit in 16 bits would name another user's record.
    std::optional<uid_t> uid = loginUid(login);
    if (!uid || *uid >= unknownUid)
        return unknownUid;
    return static_cast<std::uint16_t>(*uid);
}

char *uidToName(std::span<char> name, std::uint16_t uid)
{
    const passwd *entry = getpwuid(uid);
    if (entry == nullptr)
        return nullptr;
    std::size_t length = std::strlen(entry->pw_name);
    if (length >= name.size())
        return nullptr;
    std::memcpy(name.data(), entry->pw_name, length + 1);
    return name.data();
}

std::uint16_t existingUserUid(const char *login)
{
    std::uint16_t uid = nameToUid(login);
    if (uid == unknownUid)
        errorExit("user does not exist: %s", login);
    return uid;
}

std::uint16_t accountHolderUid(const char *login)
{
    std::optional<uid_t> uid = loginUid(login);
    if (uid && *uid >= unknownUid)
        errorExit("user id too large for an account: %s", login);
    return existingUserUid(login);
}

namespace
{

constexpr std::int32_t notAsked = -1;
constexpr std::int32_t noEntry = -2;

} // namespace

PasswordTable::PasswordTable() : where_(std::size_t{1} << 16, notAsked)
{
    // The id every lookup gives for an unknown user is nobody's account.
    where_[unknownUid] = noEntry;
}

void PasswordTable::remember(std::uint16_t uid, const char *name)
{
    if (where_[uid] != notAsked)
        return;
    where_[uid] = static_cast<std::int32_t>(names_.size());
    names_.emplace_back(name);
}

void PasswordTable::load()
{
    if (loaded_)
        return;
    loaded_ = true;
    setpwent();
    while (const passwd *entry = getpwent()) {
        // Cut to 16 bits, a larger id would take another user's place.
        if (entry->pw_uid < unknownUid)
            remember(static_cast<std::uint16_t>(entry->pw_uid), entry->pw_name);
    }
    endpwent();
}

const char *PasswordTable::nameOf(std::uint16_t uid)
{
    load();
    if (where_[uid] == notAsked) {
        const passwd *entry = getpwuid(uid);
        if (entry != nullptr)
            remember(uid, entry->pw_name);
        else
            where_[uid] = noEntry;
    }
    std::int32_t at = where_[uid];
    return at >= 0 ? names_[static_cast<std::size_t>(at)].c_str() : nullptr;
}
