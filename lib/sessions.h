// Snapshots of the host: who is logged in (the login records) and what runs
// (the kernel's process directory), and the questions asked of them.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "devices.h"

inline constexpr std::size_t lineNameSize = 33; // the platform's 32 + terminator
inline constexpr std::size_t commSize = 16;     // 15 + terminator

struct LoginEntry {
    uid_t uid = 0;
    std::array<char, lineNameSize> line{}; // empty for a session without a terminal
    std::int32_t loginTime = 0;
    // Of a logind session only: its id, to end it whole, and its leader, to
    // find its terminal when logind names none.
    std::string session;
    pid_t leader = 0;
};

struct ProcEntry {
    pid_t pid = 0;
    pid_t ppid = 0; // the parent's id; 0 for a namespace's first process
    uid_t uid = 0;
    uid_t euid = 0;
    DeviceNumber tty = 0;
    std::array<char, commSize> comm{};
    // Clock ticks after boot at which the process started: with the pid, it
    // tells a process from a later one that was given the same id.
    std::uint64_t startTime = 0;
    char state = 'R';          // as the kernel reports it: 'Z' for an ended, unreaped process
    bool kernelThread = false; // the kernel's own, which no user started
};

// The tables hold whatever the host has: a session or process left out
// would be neither charged nor ended, nor spared by the cleaners.
using LoginTable = std::vector<LoginEntry>;
using ProcessTable = std::vector<ProcEntry>;

void readUtmp(LoginTable &logins);
// The same; false, and `logins` untouched, when the file cannot be opened.
bool readUtmpIfPresent(LoginTable &logins);
// Processes that have ended but are not yet reaped (zombies) are left out:
// they run nothing, hold no terminal and cannot be ended again.
void scanProcesses(ProcessTable &processes);
// The same, keeping only the processes `keep` accepts.
void scanProcesses(ProcessTable &processes, const std::function<bool(const ProcEntry &)> &keep);
int allLinesBusy(const ProcessTable &processes, DeviceNumber firstLine, int lines);
int uidLoggedIn(const LoginTable &logins, uid_t uid);
// The user ids of a login table, for many questions of uidLoggedIn's kind.
class LoggedInUsers
{
  public:
    explicit LoggedInUsers(const LoginTable &logins);
    bool contains(uid_t uid) const;

  private:
    std::vector<uid_t> sorted_;
};
// Whether a process runs as the user, by its real or its effective id. Ids
// are whole: cut to 16 bits, another user's process could match.
inline bool runsAs(const ProcEntry &process, uid_t uid)
{
    return process.uid == uid || process.euid == uid;
}

// The start time of the process now running under `pid`; none if it is gone.
std::optional<std::uint64_t> processStartTime(pid_t pid);
// The parent of the process now running under `pid`; none if it is gone.
std::optional<pid_t> parentOf(pid_t pid);
