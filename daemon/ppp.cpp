// What the PPP driver tells the monitor: a unit's traffic counters and how
// long a link has been idle.
#include <cstdio>

#include <fcntl.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <linux/ppp-ioctl.h>
#include <linux/ppp_defs.h>

#include "host.h"
#include "notices.h"

std::optional<PppCounters> SystemHost::pppCounters(int unit)
{
    UniqueFd socketFd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socketFd)
        errorExit("couldn't create socket");
    ppp_stats stats{};
    ifreq request{};
    std::snprintf(request.ifr_name, sizeof request.ifr_name, "ppp%d", unit);
    request.ifr_data = reinterpret_cast<char *>(&stats);
    if (ioctl(socketFd.get(), SIOCGPPPSTATS, &request) != 0)
        return std::nullopt;
    return PppCounters{stats.p.ppp_ioctects, stats.p.ppp_ooctects};
}

std::optional<PppIdle> SystemHost::pppIdle(const char *line)
{
    // The request goes only to a terminal: on another device the same
    // number could mean something else.
    UniqueFd fd(openTerminal(line, O_RDONLY | O_NONBLOCK));
    if (!fd)
        return std::nullopt;
    // Two 32-bit values: the request number 0x8008743F on every platform.
    ppp_idle32 idle{};
    if (ioctl(fd.get(), PPPIOCGIDLE32, &idle) != 0)
        return std::nullopt;
    return PppIdle{static_cast<long>(idle.xmit_idle), static_cast<long>(idle.recv_idle)};
}
