// Taking the cycle's snapshot: login records, processes, and the PPP units
// that pppd's pid files give to users.
#include "snapshot.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace
{

// "pppN.pid" and its kin: 8 to 10 characters, "ppp" first, "pid" last.
std::optional<int> unitOfPidFile(std::string_view name)
{
    if (name.size() < 8 || name.size() > 10 || !name.starts_with("ppp") || !name.ends_with("pid"))
        return std::nullopt;
    int unit = 0;
    for (std::size_t i = 3; i < name.size() && isDigit(name[i]); ++i)
        unit = unit * 10 + (name[i] - '0');
    if (unit >= pppUnits)
        return std::nullopt;
    return unit;
}

// The process id on the first line of a unit's pid file.
std::optional<pid_t> pidOfUnit(int unit)
{
    char path[64];
    std::snprintf(path, sizeof path, "%s/ppp%d.pid", "/var/run/", unit);
    // Non-blocking, so that a FIFO in its place cannot stall the monitor.
    UniqueFd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd)
        return std::nullopt;
    char line[32];
    ssize_t got = read(fd.get(), line, sizeof line - 1);
    if (got < 0)
        return std::nullopt;
    return leadingDecimal<pid_t>(std::string_view(line, static_cast<std::size_t>(got)));
}

uid_t ownerOfPppd(const ProcessTable &processes, pid_t pid)
{
    for (const ProcEntry &process : processes) {
        if (process.pid == pid && std::strcmp(process.comm.data(), "pppd") == 0)
            return process.uid;
    }
    return unknownUid;
}

} // namespace

UnitOwners Snapshot::noOwners()
{
    UnitOwners owners;
    owners.fill(unknownUid);
    return owners;
}

int Snapshot::unitOfUser(uid_t uid) const
{
    auto unit = std::find(unitOwner.begin(), unitOwner.end(), uid);
    return unit == unitOwner.end() ? -1 : static_cast<int>(unit - unitOwner.begin());
}

UnitOwners scanPppUnits(const ProcessTable &processes)
{
    UnitOwners owners = Snapshot::noOwners();
    DIR *directory = opendir("/var/run/");
    if (directory == nullptr)
        errorExit("opendir failed");
    while (const dirent *item = readdir(directory)) {
        std::optional<int> unit = unitOfPidFile(item->d_name);
        if (!unit)
            continue;
        // A stale pid file, its pppd gone, leaves the unit without owner.
        std::optional<pid_t> pid = pidOfUnit(*unit);
        if (pid)
            owners[static_cast<std::size_t>(*unit)] = ownerOfPppd(processes, *pid);
    }
    closedir(directory);
    return owners;
}

bool linesBusyOf(const ProcessTable &processes, const SiteSettings &settings)
{
    return allLinesBusy(processes, settings.Devices.first, settings.Devices.lines) == 1;
}

void takeSnapshot(Snapshot &snapshot, const SiteSettings &settings, std::uint16_t guestUid)
{
    readLogins(snapshot.loginTable, settings.Logins);
    scanProcesses(snapshot.processTable);
    fillSessionTerminals(snapshot.loginTable, snapshot.processTable);
    snapshot.unitOwner = scanPppUnits(snapshot.processTable);
    snapshot.linesBusy = linesBusyOf(snapshot.processTable, settings);
    snapshot.guestUid = guestUid;
}
