// The logins of the 16-bit user ids, read from the password database once
// per run: with a plain password file every single lookup reads the file
// from its top, which would make a pass over a large account file
// quadratic.
#include <pwd.h>

#include "common.h"

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
