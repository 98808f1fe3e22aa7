// ku_daysleft: tells the calling user how many days the account has left.
#include <cstdio>
#include <ctime>
#include <optional>

#include <unistd.h>

#include "common.h"

namespace
{

// The account's expiry, if it has one; the file is closed again before
// anything is printed, so that output nobody reads holds up no writer.
std::optional<std::int32_t> callersExpiry()
{
    std::optional<UserRecord> record = readAccountOf(geteuid());
    if (!record || record->expire == 0)
        return std::nullopt;
    return record->expire;
}

} // namespace

int main()
{
    checkOutputAtExit();
    std::optional<std::int32_t> expire = callersExpiry();
    if (!expire) {
        std::printf("no expiration date!\n");
        return 0;
    }
    auto left = static_cast<std::int32_t>(*expire - static_cast<std::int64_t>(std::time(nullptr)));
    std::printf("%.2f day(s) remaining.\n", left / 86400.0);
    return 0;
}
