// ku_sweep: deletes, through /usr/sbin/ku_delete, every account that has not
// been used or touched for at least the given number of days.
#include <ctime>

#include "common.h"

namespace
{

constexpr const char *deleteProgram = "/usr/sbin/ku_delete";
constexpr std::int64_t secondsPerDay = 86400;

// Whole days since the stamp, cut toward zero; a stamp in the future gives
// a negative age. Counted in 64 bits, so that no stamp overflows it.
std::int64_t ageInDays(std::int32_t stamp, std::time_t now)
{
    return (static_cast<std::int64_t>(now) - stamp) / secondsPerDay;
}

} // namespace

int main(int argc, char **argv)
{
    checkOutputAtExit();
    if (argc != 2)
        errorExit("usage: ku_sweep <days>");
    int days = decimalArgument(argv[1]);
    if (days <= 14)
        errorExit("<days> must be > 14.");
    PasswordTable passwords;
    AccountAction removal{deleteProgram};
    runDueAccounts(passwords, [&](const UserRecord &record, std::time_t now) -> AccountAction * {
        return ageInDays(record.stamp, now) >= days ? &removal : nullptr;
    });
    return 0;
}
