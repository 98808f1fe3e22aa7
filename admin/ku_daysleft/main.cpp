// ku_daysleft: tells the calling user how many days the account has left.
#include <cstdio>
#include <ctime>

#include <unistd.h>

#include "common.h"

int main()
{
    // Ids beyond 16 bits have no record; they must not find someone else's.
    uid_t caller = geteuid();
    bool printed = false;
    userFileOpen();
    UserRecord record;
    if (caller < unknownUid && userFileFind(&record, static_cast<std::uint16_t>(caller)) == 0 &&
        record.expire != 0) {
        auto left = static_cast<std::int32_t>(record.expire -
                                              static_cast<std::int64_t>(std::time(nullptr)));
        std::printf("%.2f day(s) remaining.\n", left / 86400.0);
        printed = true;
    }
    userFileClose();
    if (!printed)
        std::printf("no expiration date!\n");
    return 0;
}
