// ku_optout: ends a subscription, putting back the expiry, flags and limits
// saved when it began, with every allowance full again.
#include <cstdio>

#include "common.h"

namespace
{

void unsubscribe(UserRecord &record)
{
    // The mark goes whatever was saved: an ended subscription must not
    // leave the account marked as holding one over an empty save area.
    record.flags = static_cast<std::uint16_t>(record.savedFlags & ~flagSubscribed);
    record.expire = record.savedExpire;
    record.tLeft = record.tLimit = record.savedTime;
    record.sLeft = record.sLimit = record.savedSession;
    record.cLeft = record.cLimit = record.savedClass;

    record.savedFlags = 0;
    record.savedExpire = 0;
    record.savedTime = 0;
    record.savedSession = 0;
    record.savedClass.fill(classUnlimited);
}

} // namespace

int main(int argc, char **argv)
{
    checkOutputAtExit();
    if (argc != 2)
        errorExit("usage: ku_optout <login>");
    const char *login = argv[1];
    UserRecord record;
    openAccountOf(&record, existingUserUid(login), login);
    if ((record.flags & flagSubscribed) == 0)
        errorExit("user does not have a subscription: %s", login);
    unsubscribe(record);
    rewriteAccount(record);
    userFileClose();
    std::printf("user unsubscribed: %s\n", login);
    return 0;
}
