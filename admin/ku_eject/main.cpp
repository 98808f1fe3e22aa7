// ku_eject: disconnects a user at once, ending every process of the user
// with SIGTERM and, 5 seconds later, SIGKILL to the same processes.
#include <cerrno>
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

// What the rounds did: whether any process was signalled, and the reason
// the system gave for the last refused signal (0 if none was refused).
struct Outcome {
    bool signalled = false;
    int refusal = 0;
};

// Sends SIGTERM to the user's processes in table order, as many as the list
// holds, leaving out those the last round ended (they may linger unreaped).
// Whether a later round may find more.
bool terminateRound(const ProcessTable &table, Signalled &signalled, TerminatedList &terminated,
                    Outcome &outcome)
{
    Signalled earlier = signalled;
    signalled.clear();
    for (const ProcEntry &process : table) {
        if (among(earlier, process))
            continue;
        if (terminated.full())
            return true;
        if (terminateProcess(process, terminated)) {
            signalled.push(process);
        } else if (errno == EMFILE || errno == ENFILE) {
            // No descriptor left to hold another: the rest wait for a round
            // of their own, once these are closed.
            outcome.refusal = errno;
            return true;
        } else if (errno != 0 && errno != ESRCH) {
            outcome.refusal = errno;
        }
    }
    // Processes beyond a full table were not seen.
    return table.full();
}

Outcome eject(uid_t uid)
{
    allowDescriptorsForTermination();
    Signalled signalled;
    Outcome outcome;
    for (int round = 0; round < maxRounds; ++round) {
        // Only the user's processes take room in the table: on a busy host
        // the others could fill it before any of the user's was seen.
        ProcessTable table;
        scanProcesses(table, [uid](const ProcEntry &process) { return belongsTo(process, uid); });
        TerminatedList terminated;
        bool more = terminateRound(table, signalled, terminated, outcome);
        if (terminated.count == 0)
            break;
        outcome.signalled = true;
        std::this_thread::sleep_for(std::chrono::seconds(5));
        killTerminated(terminated);
        if (!more)
            break;
    }
    return outcome;
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
    Outcome outcome = eject(uid);
    // A user whose processes all refused the signal is still connected:
    // saying nothing would read as "had no process".
    if (!outcome.signalled && outcome.refusal == EPERM)
        errorExit("must be root");
    if (!outcome.signalled && outcome.refusal != 0) {
        errno = outcome.refusal;
        perrorExit("kill");
    }
    if (outcome.signalled)
        std::printf("user kicked: %s\n", login);
    return 0;
}
