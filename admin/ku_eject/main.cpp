// ku_eject: disconnects a user at once, ending every process of the user
// with SIGTERM and, 5 seconds later, SIGKILL to the same processes.
#include <chrono>
#include <cstdio>
#include <thread>

#include "common.h"

namespace
{

// A user with more processes than the lists hold is ended list by list;
// the bound keeps a user who forks without end from holding the command.
constexpr int maxRounds = 16;

bool belongsTo(const ProcEntry &process, uid_t uid)
{
    // Whole ids: cut to 16 bits, another user's process could match.
    return process.uid == uid || process.euid == uid;
}

using Signalled = FixedList<ProcEntry, TerminatedList::capacity()>;

bool among(const Signalled &signalled, const ProcEntry &process)
{
    for (const ProcEntry &earlier : signalled) {
        if (earlier.pid == process.pid && earlier.startTime == process.startTime)
            return true;
    }
    return false;
}

// Sends SIGTERM to the user's processes in table order, as many as the list
// holds, leaving out those the last round ended (they may linger unreaped).
// Whether a later round may find more.
bool terminateRound(const ProcessTable &table, uid_t uid, Signalled &signalled,
                    TerminatedList &terminated)
{
    Signalled earlier = signalled;
    signalled.clear();
    for (const ProcEntry &process : table) {
        if (!belongsTo(process, uid) || among(earlier, process))
            continue;
        if (terminated.full())
            return true;
        if (terminateProcess(process, terminated))
            signalled.push(process);
    }
    // Processes beyond a full table were not seen.
    return table.full();
}

// Whether any process was signalled.
bool eject(uid_t uid)
{
    allowDescriptorsForTermination();
    Signalled signalled;
    bool any = false;
    for (int round = 0; round < maxRounds; ++round) {
        ProcessTable table;
        scanProcesses(table);
        TerminatedList terminated;
        bool more = terminateRound(table, uid, signalled, terminated);
        if (terminated.count == 0)
            break;
        any = true;
        std::this_thread::sleep_for(std::chrono::seconds(5));
        killTerminated(terminated);
        if (!more)
            break;
    }
    return any;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2)
        errorExit("usage: ku_eject <login>");
    const char *login = argv[1];
    std::uint16_t uid = existingUserUid(login);
    if (uid == 0)
        errorExit("can't kick root!");
    if (eject(uid))
        std::printf("user kicked: %s\n", login);
    return 0;
}
