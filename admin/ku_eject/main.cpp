// ku_eject: disconnects a user at once, ending every process of the user
// with SIGTERM and, 5 seconds later, SIGKILL to the same processes; then
// the user's logind sessions, whole.
#include <cerrno>
#include <cstdio>

#include "common.h"

namespace
{

// What the signals did: whether any process was signalled, and the reason
// the system gave for the last refused signal (0 if none was refused).
struct Outcome {
    bool signalled = false;
    int refusal = 0;
};

// The user's logind sessions, taken before the signals: logind drops a
// session from the open ones as soon as its processes go.
std::vector<std::string> sessionsOf(uid_t uid)
{
    std::vector<std::string> sessions;
    LoginTable logins;
    if (configuredLoginSource() == LoginSource::utmp || readLogindSessions(logins) < 0)
        return sessions;
    for (const LoginEntry &login : logins) {
        if (login.uid == uid)
            sessions.push_back(login.session);
    }
    return sessions;
}

Outcome eject(uid_t uid)
{
    std::vector<std::string> sessions = sessionsOf(uid);
    allowDescriptorsForTermination();
    ProcessTable table;
    scanProcesses(table, [uid](const ProcEntry &process) { return runsAs(process, uid); });
    TerminatedList terminated;
    Outcome outcome;
    for (const ProcEntry &process : table) {
        if (terminateProcess(process, terminated) == SignalResult::refused)
            outcome.refusal = errno;
    }
    if (terminated.empty())
        return outcome;
    outcome.signalled = true;
    sleepSeconds(5);
    killTerminated(terminated);
    // What the sessions forked during the grace goes with them.
    for (const std::string &session : sessions)
        endLogindSession(session);
    return outcome;
}

} // namespace

int main(int argc, char **argv)
{
    checkOutputAtExit();
    if (argc != 2)
        errorExit("usage: ku_eject <login>");
    const char *login = argv[1];
    // No record is involved: the id is taken whole, so that exactly this
    // user's processes are ended, whatever the size of the id.
    std::optional<uid_t> uid = loginUid(login);
    if (!uid)
        errorExit("user does not exist: %s", login);
    if (*uid == 0)
        errorExit("can't kick root!");
    Outcome outcome = eject(*uid);
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
