// PPP links: which user owns which unit (from pppd's pid files), how long a
// link has been idle and how much traffic it has carried (from the driver).
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <linux/ppp-ioctl.h>
#include <linux/ppp_defs.h>

#include "monitor.h"

namespace
{

// "pppN.pid" and its kin: 8 to 10 characters, "ppp" first, "pid" last.
std::optional<int> unitOfPidFile(std::string_view name)
{
    if (name.size() < 8 || name.size() > 10 || !name.starts_with("ppp") || !name.ends_with("pid"))
        return std::nullopt;
    int unit = 0;
    for (std::size_t i = 3; i < name.size() && std::isdigit(static_cast<unsigned char>(name[i]));
         ++i)
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
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    char line[32];
    ssize_t got = read(fd, line, sizeof line - 1);
    close(fd);
    if (got < 0)
        return std::nullopt;
    line[got] = '\0';
    return static_cast<pid_t>(std::strtol(line, nullptr, 10));
}

uid_t ownerOfPppd(pid_t pid)
{
    for (const ProcEntry &process : processTable) {
        if (process.pid == pid && std::strcmp(process.comm.data(), "pppd") == 0)
            return process.uid;
    }
    return unknownUid;
}

} // namespace

void scanPppUnits()
{
    unitOwner.fill(unknownUid);
    DIR *directory = opendir("/var/run/");
    if (directory == nullptr)
        logFatal("opendir failed");
    while (const dirent *item = readdir(directory)) {
        std::optional<int> unit = unitOfPidFile(item->d_name);
        if (!unit)
            continue;
        // A stale pid file, its pppd gone, leaves the unit without owner.
        std::optional<pid_t> pid = pidOfUnit(*unit);
        if (pid)
            unitOwner[static_cast<std::size_t>(*unit)] = ownerOfPppd(*pid);
    }
    closedir(directory);
}

int unitOfUser(uid_t uid)
{
    auto unit = std::find(unitOwner.begin(), unitOwner.end(), uid);
    return unit == unitOwner.end() ? -1 : static_cast<int>(unit - unitOwner.begin());
}

long pppIdleSeconds(const char *line, MonitorEffects &effects)
{
    std::optional<PppIdle> idle = effects.pppIdle(line);
    if (!idle)
        return 0;
    return static_cast<long>(Settings.IdleBoot) * 60 - std::min(idle->sent, idle->received);
}

void addPppTraffic(UserRecord &record, int unit, MonitorEffects &effects)
{
    std::optional<PppCounters> counters = effects.pppCounters(unit);
    if (!counters)
        return;
    // The driver's counters are 32 bits and wrap; a new link starts them
    // again at 0, and its traffic counts once it passes the last figure.
    std::uint32_t sum = counters->received + counters->sent;
    if (sum > record.lastBytes) {
        record.totalBytes += sum - record.lastBytes;
        record.lastBytes = sum;
    }
}

std::optional<PppCounters> MonitorEffects::pppCounters(int unit)
{
    int socketFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socketFd < 0)
        logFatal("couldn't create socket");
    ppp_stats stats{};
    ifreq request{};
    std::snprintf(request.ifr_name, sizeof request.ifr_name, "ppp%d", unit);
    request.ifr_data = reinterpret_cast<char *>(&stats);
    int result = ioctl(socketFd, SIOCGPPPSTATS, &request);
    close(socketFd);
    if (result != 0)
        return std::nullopt;
    return PppCounters{stats.p.ppp_ioctects, stats.p.ppp_ooctects};
}

std::optional<PppIdle> MonitorEffects::pppIdle(const char *line)
{
    // The request goes only to a terminal: on another device the same
    // number could mean something else.
    int fd = openTerminal(line, O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    // Two 32-bit values: the request number 0x8008743F on every platform.
    ppp_idle32 idle{};
    int result = ioctl(fd, PPPIOCGIDLE32, &idle);
    close(fd);
    if (result != 0)
        return std::nullopt;
    return PppIdle{static_cast<long>(idle.xmit_idle), static_cast<long>(idle.recv_idle)};
}
