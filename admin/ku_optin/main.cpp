// ku_optin: starts a subscription, saving the account's own expiry, flags
// and limits until ku_optout puts them back.
#include <cstdio>
#include <ctime>

#include "common.h"

namespace
{

void saveOwnAllowances(UserRecord &record)
{
    record.savedExpire = record.expire;
    record.savedFlags = record.flags;
    record.savedTime = record.tLimit;
    record.savedSession = record.sLimit;
    record.savedClass = record.cLimit;
}

void subscribe(UserRecord &record, const char *expiry, const Allowances &allowances)
{
    saveOwnAllowances(record);
    record.expire = parseExpire(expiry);
    if (record.expire <= static_cast<std::int32_t>(std::time(nullptr)))
        errorExit("illegal expiry date.");
    applyAllowances(record, allowances);
    record.flags |= flagSubscribed;
}

} // namespace

int main(int argc, char **argv)
{
    checkOutputAtExit();
    if (argc < 4)
        errorExit("usage: ku_optin <login> <expire> <time_limit> [session_limit] [priority]\n"
                  "                      {period_limit}");
    std::span<char *const> args(argv + 1, static_cast<std::size_t>(argc - 1));
    Allowances allowances = readAllowances(argumentsFrom(args, 2), argumentsFrom(args, 5));
    const char *login = args[0];
    UserRecord record;
    openAccountOf(&record, accountHolderUid(login), login);
    if ((record.flags & flagSubscribed) != 0)
        errorExit("user already has a subscription: %s", login);
    subscribe(record, args[1], allowances);
    rewriteAccount(record);
    userFileClose();
    std::printf("user subscribed: %s\n", login);
    return 0;
}
