// The accounting pass: the rules of policy.cpp applied to every account in
// the file and every guest login of the snapshot, with what they need to
// know of the system asked of the host.
#include "pass.h"

#include <algorithm>
#include <cstdio>
#include <span>

#include <syslog.h>

namespace
{

// A session without a terminal (ssh without a pseudo-terminal, through
// logind) has nowhere to be warned and nothing to be idle on.
bool hasTerminal(const LoginEntry &login)
{
    return login.line[0] != '\0';
}

// Each 16-bit user id's processes, as real or effective id, in table order,
// and its first login: built once a pass, so that no account costs a scan of
// a whole table. Ids of 65536 and above never hold an account.
class UserIndex
{
  public:
    UserIndex(const ProcessTable &processes, const LoginTable &logins) : logins_(logins)
    {
        starts_.assign(ids + 1, 0);
        forEachOwner(processes, [&](std::size_t id, std::size_t) { ++starts_[id + 1]; });
        for (std::size_t id = 0; id < ids; ++id)
            starts_[id + 1] += starts_[id];
        processes_.resize(starts_[ids]);
        std::vector<std::uint32_t> next(starts_.begin(), starts_.end() - 1);
        forEachOwner(processes, [&](std::size_t id, std::size_t index) {
            processes_[next[id]++] = static_cast<std::uint32_t>(index);
        });
        firstLogin_.assign(ids, noLogin);
        for (std::size_t i = 0; i < logins.size(); ++i) {
            if (logins[i].uid >= ids)
                continue;
            std::uint32_t &first = firstLogin_[logins[i].uid];
            if (first == noLogin || (!hasTerminal(logins[first]) && hasTerminal(logins[i])))
                first = static_cast<std::uint32_t>(i);
        }
    }
    // Indexes into the process table.
    std::span<const std::uint32_t> processesOf(std::uint16_t uid) const
    {
        return std::span(processes_).subspan(starts_[uid], starts_[uid + 1] - starts_[uid]);
    }
    // The user's first login on a terminal, whose line is the user's
    // terminal; failing that, the first session without one.
    const LoginEntry *firstLoginOf(std::uint16_t uid) const
    {
        return firstLogin_[uid] == noLogin ? nullptr : &logins_[firstLogin_[uid]];
    }

  private:
    static constexpr std::size_t ids = 65536;
    static constexpr std::uint32_t noLogin = 0xFFFFFFFF;

    // Calls `f` with (id, index) for each process's real id and, if it
    // differs, its effective id.
    template <typename F> static void forEachOwner(const ProcessTable &processes, const F &f)
    {
        for (std::size_t i = 0; i < processes.size(); ++i) {
            uid_t real = processes[i].uid;
            uid_t effective = processes[i].euid;
            if (real < ids)
                f(real, i);
            if (effective != real && effective < ids)
                f(effective, i);
        }
    }

    const LoginTable &logins_;
    std::vector<std::uint32_t> starts_;
    std::vector<std::uint32_t> processes_;
    std::vector<std::uint32_t> firstLogin_;
};

// One pass's work: what it reads, what it knows and what it has decided.
class Pass
{
  public:
    Pass(const Snapshot &snapshot, const SiteSettings &settings, Host &host)
        : snapshot_(snapshot), settings_(settings), host_(host),
          users_(snapshot.processTable, snapshot.loginTable),
          facts_(factsAt(host.now(), settings, snapshot.linesBusy)),
          choice_(settings.BootOne, snapshot.processTable.size())
    {
    }

    PassDecisions run()
    {
        host_.openAccounts();
        UserRecord record;
        while (host_.nextAccount(record))
            passAccount(record);
        host_.closeAccounts();
        for (const LoginEntry &login : snapshot_.loginTable) {
            if (isGuest(login.uid, snapshot_.guestUid))
                passGuest(login);
        }
        return std::move(decisions_);
    }

  private:
    void passAccount(UserRecord &record);
    void passGuest(const LoginEntry &login);
    std::optional<long> accountIdle(const UserRecord &record, const LoginEntry &login,
                                    bool pppUser);
    std::optional<long> terminalIdle(const char *line);
    void warn(const Verdict &verdict, const char *line);
    std::vector<std::size_t> processesOnTerminal(DeviceNumber device) const;
    std::vector<std::size_t> processesOfSession(const LoginEntry &login) const;
    std::vector<std::string> sessionsOf(uid_t uid) const;

    const Snapshot &snapshot_;
    const SiteSettings &settings_;
    Host &host_;
    UserIndex users_;
    PassFacts facts_;
    DisconnectionChoice choice_;
    PassDecisions decisions_;
};

void Pass::warn(const Verdict &verdict, const char *line)
{
    std::string text = warningText(verdict);
    if (text.empty() || line[0] == '\0')
        return;
    TerminalNotice notice;
    copyText(notice.line, line);
    notice.text = std::move(text);
    decisions_.warnings.push_back(std::move(notice));
}

std::optional<long> Pass::terminalIdle(const char *line)
{
    std::optional<std::time_t> lastInput = host_.lastInput(line);
    if (!lastInput)
        return std::nullopt;
    return terminalIdleSecondsLeft(settings_.IdleBoot, facts_.now, *lastInput);
}

// The idle seconds an account has left: none when the idle rule does not
// apply to it, or when its terminal cannot be asked.
std::optional<long> Pass::accountIdle(const UserRecord &record, const LoginEntry &login,
                                      bool pppUser)
{
    if (!idleRuleApplies(record, settings_) || !hasTerminal(login))
        return std::nullopt;
    if (pppUser)
        return linkIdleSecondsLeft(settings_.IdleBoot, host_.pppIdle(login.line.data()));
    return terminalIdle(login.line.data());
}

void Pass::passAccount(UserRecord &record)
{
    std::span<const std::uint32_t> processes = users_.processesOf(record.uid);
    if (processes.empty())
        return;
    const LoginEntry *login = users_.firstLoginOf(record.uid);
    if (login == nullptr)
        return;
    int unit = snapshot_.unitOfUser(record.uid);
    bool pppUser = unit >= 0;

    chargeMinute(record, facts_.timeClass);
    record.stamp = static_cast<std::int32_t>(facts_.now);
    if (pppUser)
        addPppTraffic(record, host_.pppCounters(unit));
    // A record that cannot be written back is judged all the same.
    if (host_.rewriteAccount(record))
        decisions_.charged.push_back(record.uid);

    // An idle time that cannot be measured (a line without a device) leaves
    // the idle rule out; every other rule still judges the account.
    std::optional<long> idleSecondsLeft = accountIdle(record, *login, pppUser);
    Verdict verdict = judgeAccount(record, settings_, facts_, idleSecondsLeft, pppUser);
    decisions_.judged.push_back(JudgedAccount{record.uid, login->line, verdict});
    warn(verdict, login->line.data()); // link users get no warnings
    if (!verdict.disconnect || !mayBeCutOff(record.uid))
        return;
    if (!choice_.choose(priorityOf(record.flags), verdict.minutesLeft, decisions_))
        return;
    if (verdict.mail)
        decisions_.mails.push_back(MailEntry{record.uid, verdict.mailReason});
    Disconnection entry;
    entry.uid = record.uid;
    entry.cause = verdict.cause;
    entry.warned = verdict.warning != Warning::none;
    entry.sessions = sessionsOf(record.uid);
    choice_.add(std::move(entry), processes, decisions_);
}

// The logind sessions of a user, whom every session of goes.
std::vector<std::string> Pass::sessionsOf(uid_t uid) const
{
    std::vector<std::string> sessions;
    for (const LoginEntry &login : snapshot_.loginTable) {
        if (login.uid == uid && !login.session.empty())
            sessions.push_back(login.session);
    }
    return sessions;
}

// Every process on the terminal, in table order.
std::vector<std::size_t> Pass::processesOnTerminal(DeviceNumber device) const
{
    std::vector<std::size_t> indexes;
    const ProcessTable &processes = snapshot_.processTable;
    for (std::size_t i = 0; i < processes.size(); ++i) {
        if (processes[i].tty == device)
            indexes.push_back(i);
    }
    return indexes;
}

// The guest's processes among the session's leader and its descendants:
// what a session without a terminal has instead of a terminal's processes.
std::vector<std::size_t> Pass::processesOfSession(const LoginEntry &login) const
{
    std::vector<std::size_t> indexes;
    for (std::size_t index : ProcessFamilies(snapshot_.processTable).treeOf(login.leader)) {
        if (runsAs(snapshot_.processTable[index], login.uid))
            indexes.push_back(index);
    }
    // In table order, as the processes of a terminal are.
    std::sort(indexes.begin(), indexes.end());
    return indexes;
}

void Pass::passGuest(const LoginEntry &login)
{
    std::optional<long> idleSecondsLeft;
    if (settings_.IdleBoot != 0 && hasTerminal(login)) {
        idleSecondsLeft = terminalIdle(login.line.data());
        if (!idleSecondsLeft)
            return;
    }
    Verdict verdict = judgeGuest(login.loginTime, settings_, facts_, idleSecondsLeft);
    warn(verdict, login.line.data());
    if (!verdict.disconnect)
        return;
    std::vector<std::size_t> processes;
    if (hasTerminal(login)) {
        // A terminal that went away since the scan (a hung-up
        // pseudo-terminal) leaves nothing to end, and must not displace a
        // real choice.
        std::optional<DeviceNumber> device = host_.terminalDevice(login.line.data());
        if (!device)
            return;
        processes = processesOnTerminal(*device);
    } else {
        processes = processesOfSession(login);
        if (processes.empty())
            return;
    }
    if (!choice_.choose(settings_.GuestPriority, verdict.minutesLeft, decisions_))
        return;
    Disconnection entry;
    entry.uid = login.uid;
    entry.guest = true;
    entry.line = login.line;
    entry.cause = verdict.cause;
    entry.warned = verdict.warning != Warning::none;
    if (!login.session.empty())
        entry.sessions.push_back(login.session);
    choice_.add(std::move(entry), processes, decisions_);
}

void logDisconnection(const Disconnection &entry, std::size_t signalled, Host &host)
{
    const char *processes = signalled == 1 ? "process" : "processes";
    char message[512];
    if (entry.guest && entry.line[0] != '\0') {
        std::snprintf(message, sizeof message, "disconnected guest on %s: %s, %zu %s signalled",
                      entry.line.data(), causeText(entry.cause), signalled, processes);
    } else if (entry.guest) {
        std::snprintf(message, sizeof message,
                      "disconnected guest in session %s: %s, %zu %s signalled",
                      entry.sessions.empty() ? "?" : entry.sessions.front().c_str(),
                      causeText(entry.cause), signalled, processes);
    } else {
        std::string login = host.loginName(static_cast<std::uint16_t>(entry.uid));
        if (login.empty())
            login = "uid " + std::to_string(entry.uid);
        std::snprintf(message, sizeof message, "disconnected %s: %s, %zu %s signalled",
                      login.c_str(), causeText(entry.cause), signalled, processes);
    }
    host.log(LOG_NOTICE, message);
}

} // namespace

PassDecisions accountingPass(const Snapshot &snapshot, const SiteSettings &settings, Host &host)
{
    return Pass(snapshot, settings, host).run();
}

void carryOut(const PassDecisions &decisions, const Snapshot &snapshot, Host &host)
{
    for (const TerminalNotice &notice : decisions.warnings)
        host.notify(notice.line.data(), notice.text.c_str());
    // A user told of the end in the minute the end comes must get to read
    // it: a session process that relays the terminal goes with the rest.
    if (std::any_of(decisions.disconnections.begin(), decisions.disconnections.end(),
                    [](const Disconnection &entry) { return entry.warned; }))
        host.letNoticesArrive();
    for (const Disconnection &entry : decisions.disconnections) {
        std::size_t signalled = 0;
        for (std::uint32_t index : entry.processes) {
            if (host.terminate(snapshot.processTable[index]))
                ++signalled;
        }
        if (signalled > 0)
            logDisconnection(entry, signalled, host);
    }
    for (const MailEntry &entry : decisions.mails)
        host.mail(entry.uid, entry.reason);
}

void finishDisconnections(const PassDecisions &decisions, Host &host)
{
    host.killTerminated();
    for (const Disconnection &entry : decisions.disconnections) {
        for (const std::string &session : entry.sessions)
            host.endSession(session);
    }
}
