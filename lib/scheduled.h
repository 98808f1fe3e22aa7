// The passes of the scheduled commands that act on accounts one at a time
// by running another program for each.
#pragma once

#include <bitset>
#include <cstdint>
#include <ctime>
#include <functional>

#include "passwords.h"
#include "userfile.h"

// One bit for each 16-bit user id.
using UidSet = std::bitset<65536>;

// A program a scheduled pass runs by path for an account, with its login,
// and the ids it has been run for (or passed over) in this run.
struct AccountAction {
    const char *program;
    UidSet done{};
};

// Runs passes over the account file until one finds nothing to do. A pass
// reads the time, then looks at each user id's first record only (the one
// every command acts on): `choose` gives the action due for it, or null. At
// the first account due for an action not yet taken on its id, the pass
// closes the file and runs the program with the account's login. An id whose
// login does not lead back to it is passed over, and no action is taken
// twice on one id, so every run ends whatever the programs do.
void runDueAccounts(
    PasswordTable &passwords,
    const std::function<AccountAction *(const UserRecord &, std::time_t now)> &choose);

// Whether an expiry time has come: set, and not later than now.
inline bool isDue(std::int32_t expire, std::time_t now)
{
    return expire != 0 && expire <= now;
}
