// ku_why: what the monitor would decide for an account at its next cycle,
// and why: the limits, the one that binds, the idle time of each terminal,
// and whether a login now would be let in. Root may ask about anyone; a
// user about themselves.
#include <cstdio>
#include <cstring>
#include <string>

#include <unistd.h>

#include "monitor.h"
#include "outlook.h"
#include "report.h"

namespace
{

struct Request {
    const char *login = nullptr;
    bool json = false;
};

[[noreturn]] void usage()
{
    errorExit("usage: ku_why [--json] <login>");
}

Request readArguments(int argc, char **argv)
{
    Request request;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0 && !request.json) {
            request.json = true;
            continue;
        }
        if (request.login != nullptr || argv[i][0] == '-')
            usage();
        request.login = argv[i];
    }
    if (request.login == nullptr)
        usage();
    return request;
}

// The user's id; a user other than root may ask only about themselves.
uid_t askedUid(const char *login)
{
    std::optional<uid_t> uid = loginUid(login);
    if (!uid)
        errorExit("user does not exist: %s", login);
    if (geteuid() != 0 && *uid != getuid())
        errorExit("permission denied: %s", login);
    return *uid;
}

std::vector<Connection> connectionsOf(const Snapshot &snapshot, uid_t uid)
{
    std::vector<Connection> connections;
    for (const LoginEntry &login : snapshot.loginTable) {
        if (login.uid == uid)
            connections.push_back({login.line.data(), login.session, login.loginTime});
    }
    return connections;
}

// The idle minutes of each of the user's terminals, measured as the monitor
// measures the one it judges.
std::vector<TerminalIdle> idleOf(const WhyReport &report, Host &host)
{
    std::vector<TerminalIdle> idle;
    if (!idleRuleApplies(report.record, Settings))
        return idle;
    for (const Connection &connection : report.connections) {
        if (connection.line.empty())
            continue;
        std::optional<std::time_t> lastInput = host.lastInput(connection.line.c_str());
        if (!lastInput)
            continue;
        long secondsLeft =
            terminalIdleSecondsLeft(Settings.IdleBoot, report.outlook.facts.now, *lastInput);
        idle.push_back({connection.line, idleMinutesLeft(secondsLeft),
                        connection.line == report.outlook.terminal.data()});
    }
    return idle;
}

WhyReport gather(const char *login, uid_t uid)
{
    WhyReport report;
    report.login = login;
    report.uid = uid;
    std::optional<UserRecord> record = readAccountOf(uid);
    if (!record)
        errorExit("user not found: %s", login);
    report.record = *record;
    Snapshot snapshot;
    takeSnapshot(snapshot, Settings, nameToUid("guest"));
    SystemHost host;
    report.outlook = outlookOf(report.record, snapshot, Settings, host);
    report.connections = connectionsOf(snapshot, uid);
    report.idle = idleOf(report, host);
    Applicant applicant{uid, false, report.record};
    report.loginNow = admitLogin(applicant, Settings, report.outlook.facts);
    return report;
}

} // namespace

int main(int argc, char **argv)
{
    checkOutputAtExit();
    Request request = readArguments(argc, argv);
    uid_t uid = askedUid(request.login);
    readConfig();
    WhyReport report = gather(request.login, uid);
    if (request.json)
        printJson(report);
    else
        printText(report);
    return 0;
}
