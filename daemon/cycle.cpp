// The monitor's minute: re-read a changed configuration, take a snapshot of
// logins, processes and links, run the accounting pass, carry out what it
// decided, and sleep to the next minute boundary unless asked to stop.
#include "cycle.h"

#include <ctime>

#include <sys/stat.h>
#include <syslog.h>

#include "pass.h"
#include "snapshot.h"

namespace
{

bool isLater(const timespec &a, const timespec &b)
{
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

// Settings come from the file as it was when last read; a file whose time
// has not moved past that is not read again. Times are compared to the
// nanosecond, so that an edit within the second of the last read counts.
void rereadChangedConfig(timespec &configSeen)
{
    struct stat status;
    if (stat(configPath, &status) != 0)
        errorExit("couldn't stat %s", configPath);
    if (!isLater(status.st_mtim, configSeen))
        return;
    readConfig();
    syslog(LOG_INFO, "re-read %s", configPath);
    configSeen = status.st_mtim;
}

std::tm localNow()
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

} // namespace

// A leap second, or a clock set back, must not bring a second cycle, and a
// second charge, into one minute.
bool sleepPastMinute(const std::tm &cycled, const StopRequest &stop)
{
    std::tm now = localNow();
    do {
        if (!stop.sleep(secondsToNextMinute(now)))
            return false;
        now = localNow();
    } while (sameMinute(now, cycled));
    return true;
}

int secondsToNextMinute(const std::tm &now)
{
    // A leap second (:60) is the last of its minute.
    return now.tm_sec >= 60 ? 1 : 60 - now.tm_sec;
}

bool sameMinute(const std::tm &a, const std::tm &b)
{
    return a.tm_min == b.tm_min && a.tm_hour == b.tm_hour && a.tm_yday == b.tm_yday &&
           a.tm_year == b.tm_year;
}

std::tm runCycle(timespec &configSeen, std::uint16_t guestUid, Snapshot &snapshot, Host &host)
{
    std::tm started = localNow();
    rereadChangedConfig(configSeen);
    takeSnapshot(snapshot, Settings, guestUid);
    PassDecisions decisions = accountingPass(snapshot, Settings, host);
    carryOut(decisions, snapshot, host);
    finishDisconnections(decisions, host);
    return started;
}
