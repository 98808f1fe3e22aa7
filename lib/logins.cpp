// Choosing the source of the login table, and the terminals of sessions for
// which logind names none.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <unordered_map>

#include "common.h"

std::optional<LoginSource> loginSourceNamed(std::string_view word)
{
    if (sameKeyword(word, "utmp"))
        return LoginSource::utmp;
    if (sameKeyword(word, "logind"))
        return LoginSource::logind;
    if (sameKeyword(word, "auto"))
        return LoginSource::automatic;
    return std::nullopt;
}

void readLogins(LoginTable &logins, LoginSource source)
{
    if (source == LoginSource::utmp) {
        readUtmp(logins);
        return;
    }
    int result = readLogindSessions(logins);
    if (result == 0)
        return;
    if (source == LoginSource::automatic) {
        readUtmp(logins);
        return;
    }
    errno = -result;
    perrorExit("logind");
}

namespace
{

// Unix 98 pseudo-terminals take majors 136 to 143, 256 minors each (the
// first major also takes the extended minors); the virtual consoles and
// serial lines share major 4.
constexpr unsigned ptyFirstMajor = 136;
constexpr unsigned ptyLastMajor = 143;
constexpr unsigned ttyMajor = 4;
constexpr unsigned firstSerialMinor = 64;

unsigned majorOf(DeviceNumber device)
{
    return (device >> 8) & 0xFFF;
}

unsigned minorOf(DeviceNumber device)
{
    return (device & 0xFF) | ((device >> 12) & 0xFFF00);
}

} // namespace

std::optional<std::string> lineOfDevice(DeviceNumber device)
{
    unsigned major = majorOf(device);
    unsigned minor = minorOf(device);
    char line[lineNameSize];
    if (major >= ptyFirstMajor && major <= ptyLastMajor)
        std::snprintf(line, sizeof line, "pts/%u", (major - ptyFirstMajor) * 256 + minor);
    else if (major == ttyMajor && minor > 0 && minor < firstSerialMinor)
        std::snprintf(line, sizeof line, "tty%u", minor);
    else if (major == ttyMajor && minor >= firstSerialMinor && minor < 256)
        std::snprintf(line, sizeof line, "ttyS%u", minor - firstSerialMinor);
    else
        return std::nullopt;
    return std::string(line);
}

namespace
{

// The first terminal held by `pid` or, breadth first, by its descendants.
DeviceNumber terminalOfTree(pid_t pid, const std::unordered_multimap<pid_t, std::size_t> &children,
                            const std::unordered_map<pid_t, std::size_t> &byPid,
                            const ProcessTable &processes)
{
    std::vector<pid_t> level{pid};
    // Each process is visited once: the table has no cycles, but a pid
    // reused while the table was read could make one.
    std::unordered_map<pid_t, bool> seen;
    while (!level.empty()) {
        std::vector<pid_t> next;
        for (pid_t each : level) {
            if (!seen.emplace(each, true).second)
                continue;
            auto found = byPid.find(each);
            if (found != byPid.end() && processes[found->second].tty != 0)
                return processes[found->second].tty;
            auto [first, last] = children.equal_range(each);
            for (auto child = first; child != last; ++child)
                next.push_back(processes[child->second].pid);
        }
        level = std::move(next);
    }
    return 0;
}

} // namespace

void fillSessionTerminals(LoginTable &logins, const ProcessTable &processes)
{
    auto needsOne = [](const LoginEntry &login) {
        return login.line[0] == '\0' && login.leader > 0;
    };
    if (std::none_of(logins.begin(), logins.end(), needsOne))
        return;
    std::unordered_map<pid_t, std::size_t> byPid;
    std::unordered_multimap<pid_t, std::size_t> children;
    for (std::size_t i = 0; i < processes.size(); ++i) {
        byPid.emplace(processes[i].pid, i);
        children.emplace(processes[i].ppid, i);
    }
    for (LoginEntry &login : logins) {
        if (!needsOne(login))
            continue;
        DeviceNumber device = terminalOfTree(login.leader, children, byPid, processes);
        if (device == 0)
            continue;
        if (std::optional<std::string> line = lineOfDevice(device))
            copyText(login.line, *line);
    }
}
