// Choosing the source of the login table, and the terminals of sessions for
// which logind names none.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <unordered_map>
#include <unordered_set>

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

namespace
{

// A login as both sources name it: the user and the terminal.
std::string loginKey(const LoginEntry &login)
{
    return std::to_string(login.uid) + ' ' + login.line.data();
}

// Adds the login records that logind does not know: logins through a
// service that does not register with it (no pam_systemd, sshd without
// PAM). Left out, they would count as logged out, and the cleaners would
// take their files.
void addUnregisteredRecords(LoginTable &sessions)
{
    LoginTable records;
    if (!readUtmpIfPresent(records))
        return;
    std::unordered_set<std::string> registered;
    for (const LoginEntry &session : sessions)
        registered.insert(loginKey(session));
    bool added = false;
    for (LoginEntry &record : records) {
        if (registered.count(loginKey(record)) == 0) {
            sessions.push_back(std::move(record));
            added = true;
        }
    }
    if (added) {
        std::stable_sort(
            sessions.begin(), sessions.end(),
            [](const LoginEntry &a, const LoginEntry &b) { return a.loginTime < b.loginTime; });
    }
}

} // namespace

void readLogins(LoginTable &logins, LoginSource source)
{
    if (source == LoginSource::utmp) {
        readUtmp(logins);
        return;
    }
    int result = readLogindSessions(logins);
    if (result == 0) {
        if (source == LoginSource::automatic)
            addUnregisteredRecords(logins);
        return;
    }
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

ProcessFamilies::ProcessFamilies(const ProcessTable &processes) : processes_(processes)
{
    for (std::size_t i = 0; i < processes.size(); ++i) {
        byPid_.emplace(processes[i].pid, i);
        children_.emplace(processes[i].ppid, i);
    }
}

std::vector<std::size_t> ProcessFamilies::treeOf(pid_t leader) const
{
    std::vector<std::size_t> tree;
    auto found = byPid_.find(leader);
    if (found == byPid_.end())
        return tree;
    tree.push_back(found->second);
    // A pid reused while the table was read could close a loop: each
    // process joins once.
    std::vector<bool> joined(processes_.size(), false);
    joined[found->second] = true;
    for (std::size_t next = 0; next < tree.size(); ++next) {
        auto [first, last] = children_.equal_range(processes_[tree[next]].pid);
        for (auto child = first; child != last; ++child) {
            if (!joined[child->second]) {
                joined[child->second] = true;
                tree.push_back(child->second);
            }
        }
    }
    return tree;
}

void fillSessionTerminals(LoginTable &logins, const ProcessTable &processes)
{
    auto needsOne = [](const LoginEntry &login) {
        return login.line[0] == '\0' && login.leader > 0;
    };
    if (std::none_of(logins.begin(), logins.end(), needsOne))
        return;
    ProcessFamilies families(processes);
    for (LoginEntry &login : logins) {
        if (!needsOne(login))
            continue;
        for (std::size_t index : families.treeOf(login.leader)) {
            std::optional<std::string> line;
            if (processes[index].tty != 0)
                line = lineOfDevice(processes[index].tty);
            if (line) {
                copyText(login.line, *line);
                break;
            }
        }
    }
}
