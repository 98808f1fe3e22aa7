// The pass of the scheduled commands that retire accounts one at a time by
// running another program for each (the expiry runner, the sweep): it must
// end, and must never hand a program the login of another account.
#include <ctime>

#include "common.h"

namespace
{

struct DueAccount {
    AccountAction *action;
    const char *login;
};

// The login that names the account's id and no other: a name that the
// database gives to another id as well would make the program act on that
// one's account.
const char *loginLeadingBackTo(PasswordTable &passwords, std::uint16_t uid)
{
    const char *login = passwords.nameOf(uid);
    return login != nullptr && nameToUid(login) == uid ? login : nullptr;
}

// One pass: the first account due for an action still to be taken on it,
// with the account file closed again.
std::optional<DueAccount>
nextDue(PasswordTable &passwords,
        const std::function<AccountAction *(const UserRecord &, std::time_t now)> &choose)
{
    userFileOpen();
    std::time_t now = std::time(nullptr);
    UidSet seen;
    UserRecord record;
    std::optional<DueAccount> due;
    while (!due && userFileRead(&record) == 0) {
        // A later record of an id is no account that a program could reach.
        if (seen.test(record.uid))
            continue;
        seen.set(record.uid);
        AccountAction *action = choose(record, now);
        if (action == nullptr || action->done.test(record.uid))
            continue;
        action->done.set(record.uid);
        if (const char *login = loginLeadingBackTo(passwords, record.uid))
            due = DueAccount{action, login};
    }
    userFileClose();
    return due;
}

} // namespace

void runDueAccounts(
    PasswordTable &passwords,
    const std::function<AccountAction *(const UserRecord &, std::time_t now)> &choose)
{
    // Read before any lock is taken, so that the monitor waits less.
    passwords.load();
    // The program rewrites the file, so every pass reads it from the start.
    while (std::optional<DueAccount> due = nextDue(passwords, choose))
        runProgram(due->action->program, due->login, static_cast<const char *>(nullptr));
}
