// ku_expire: carries out the expiries that have come. It ends the
// subscription of each expired subscribed account and deletes every other
// expired account, then lifts each expired ban, each time by running the
// program that does it.
#include <array>
#include <ctime>
#include <optional>

#include "common.h"

namespace
{

constexpr const char *optoutProgram = "/usr/sbin/ku_optout";
constexpr const char *deleteProgram = "/usr/sbin/ku_delete";
constexpr const char *unblockProgram = "/usr/sbin/ku_unblock";
// The layout ku_unblock is handed numbers in, whatever the site's.
constexpr const char *areaLayout = "3 (3)";
constexpr const char *localLayout = "3-4";

void expireAccounts()
{
    PasswordTable passwords;
    AccountAction unsubscribe{optoutProgram};
    AccountAction removal{deleteProgram};
    runDueAccounts(passwords, [&](const UserRecord &record, std::time_t now) -> AccountAction * {
        if (!isDue(record.expire, now))
            return nullptr;
        // Unsubscribed, the account may be due at once by its own expiry.
        return (record.flags & flagSubscribed) != 0 ? &unsubscribe : &removal;
    });
}

// ---------------------------------------------------------------- bans

struct DueBan {
    long index;
    BanRecord ban;
    std::array<char, phoneTextSize> number;
};

// How many digits ku_unblock takes for the local part of a number: it
// reads them from the site's configuration.
int unblockDigits()
{
    static const int digits = configuredLocalDigits().value_or(formatDigitCount(localLayout));
    return digits;
}

// Whether ku_unblock, handed the ban's number, lifts this very ban: the
// layout must hold the number and read back as it, as ku_unblock reads it,
// and no earlier ban may match it, for ku_unblock lifts the first that does.
bool unblockable(DueBan &due)
{
    const BanRecord &ban = due.ban;
    if (formatPhone(due.number, ban.phoneArea, ban.phoneLocal, areaLayout, localLayout) == nullptr)
        return false;
    std::uint32_t area = 0;
    std::uint32_t local = 0;
    if (parsePhone(area, local, due.number.data(), unblockDigits()) != 0 || area != ban.phoneArea ||
        local != ban.phoneLocal)
        return false;
    BanRecord first;
    bool isFirst = banFileFind(&first, area, local) == 0 &&
                   std::ftell(banFile) / static_cast<long>(banRecordSize) - 1 == due.index;
    std::fseek(banFile, (due.index + 1) * static_cast<long>(banRecordSize), SEEK_SET);
    return isFirst;
}

// Where the ban passes stand: the bans before `next` are done with in this
// run, and so is the ban at `lastRunAt` if it is still the one ku_unblock
// was last run for there.
struct BanProgress {
    long next = 0;
    long lastRunAt = -1;
    BanRecord lastRun;
};

std::optional<DueBan> nextDueBan(BanProgress &progress)
{
    banFileOpen();
    std::time_t now = std::time(nullptr);
    BanRecord ban;
    std::optional<DueBan> due;
    for (long index = 0; !due && banFileRead(&ban) == 0; ++index) {
        if (index < progress.next)
            continue;
        if (index == progress.lastRunAt && ban == progress.lastRun) {
            progress.next = index + 1; // it stayed: not run for again
            progress.lastRunAt = -1;
            continue;
        }
        DueBan candidate{index, ban, {}};
        if (isDue(ban.expire, now) && unblockable(candidate))
            due = candidate;
    }
    banFileClose();
    if (due) {
        progress.next = progress.lastRunAt = due->index;
        progress.lastRun = due->ban;
    }
    return due;
}

void expireBans()
{
    BanProgress progress;
    while (std::optional<DueBan> due = nextDueBan(progress))
        runProgram(unblockProgram, due->number.data(), static_cast<const char *>(nullptr));
}

} // namespace

int main()
{
    checkOutputAtExit();
    // Every account first: the ban file opens for root alone.
    expireAccounts();
    expireBans();
    return 0;
}
