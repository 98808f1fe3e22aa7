// The accounting pass of each minute: charge every connected account, warn
// those about to lose their time, choose who goes, end their processes and
// mail the link users among them why.
#include <algorithm>
#include <cstdio>
#include <limits>
#include <span>

#include <sys/stat.h>
#include <syslog.h>

#include "monitor.h"

namespace
{

int clampToInt(long long value)
{
    return static_cast<int>(std::clamp<long long>(value, std::numeric_limits<int>::min(),
                                                  std::numeric_limits<int>::max()));
}

// Counters run down without a floor, but stop at their type's least value
// instead of wrapping round into a huge allowance.
template <typename T> void chargeOne(T &counter)
{
    if (counter > std::numeric_limits<T>::min())
        --counter;
}

bool classLimited(const UserRecord &record, int timeClass)
{
    return timeClass >= 0 && record.cLimit[timeClass] >= 0;
}

// What the minutes left come to, and which rule brought them there.
struct Minutes {
    int left = unlimitedMinutes;
    Cause cause = Cause::total;

    void atMost(int value, Cause rule)
    {
        if (value < left) {
            left = value;
            cause = rule;
        }
    }
    void busyLines(int priority, bool busy)
    {
        if (priority == 0 && busy && left > 0) {
            left = 0;
            cause = Cause::busyLines;
        }
    }
};

bool isWarnValue(const SiteSettings &settings, int minutes)
{
    return std::find(settings.WarnBoot.begin(), settings.WarnBoot.end(), minutes) !=
           settings.WarnBoot.end();
}

// The warning of a terminal user, from the minutes before the idle rule.
void setWarning(Verdict &verdict, int minutesLeft, const SiteSettings &settings)
{
    if (verdict.idleLeft == 1 && minutesLeft > 1) {
        verdict.warning = Warning::idle;
    } else if (isWarnValue(settings, minutesLeft)) {
        verdict.warning = Warning::remaining;
        verdict.warnMinutes = minutesLeft;
    }
}

void finish(Verdict &verdict, const Minutes &minutes)
{
    verdict.minutesLeft = minutes.left;
    verdict.cause = minutes.cause;
    verdict.disconnect = minutes.left <= 0;
}

// The first counter found spent tells the user why; failing that, the rule.
NoticeReason mailReasonOf(const UserRecord &record, int timeClass, Cause cause)
{
    if (record.tLeft <= 0)
        return NoticeReason::time_period;
    if (record.sLeft <= 0)
        return NoticeReason::time_session;
    if (classLimited(record, timeClass) && record.cLeft[timeClass] <= 0)
        return NoticeReason::time_class;
    return cause == Cause::busyLines ? NoticeReason::busy : NoticeReason::idle;
}

} // namespace

const char *causeText(Cause cause)
{
    switch (cause) {
    case Cause::total:
        return "total";
    case Cause::session:
        return "session";
    case Cause::timeClass:
        return "time class";
    case Cause::busyLines:
        return "busy lines";
    case Cause::idle:
        return "idle";
    case Cause::guestTime:
        return "guest time";
    }
    return "unknown";
}

void chargeMinute(UserRecord &record, int timeClass)
{
    std::int16_t limit = timeClass >= 0 ? record.cLimit[timeClass] : classUnlimited;
    if (limit > classFree)
        chargeOne(record.tLeft);
    if (limit > classNotSession)
        chargeOne(record.sLeft);
    if (limit >= 0)
        chargeOne(record.cLeft[timeClass]);
}

int idleMinutesLeft(long secondsLeft)
{
    return secondsLeft < 0 ? 0 : clampToInt(secondsLeft / 60 + 1);
}

long terminalIdleSecondsLeft(int idleBootMinutes, std::time_t now, std::time_t lastInput)
{
    return static_cast<long>(idleBootMinutes) * 60 - (now - lastInput);
}

Verdict judgeAccount(const UserRecord &charged, const SiteSettings &settings,
                     const PassFacts &facts, std::optional<long> idleSecondsLeft, bool pppUser)
{
    const bool busy = facts.linesBusy;
    auto enforced = [&](std::uint16_t smartFlag) { return !(charged.flags & smartFlag) || busy; };
    Minutes minutes;
    if (charged.tLimit >= 0 && enforced(flagSmartBoot))
        minutes.left = charged.tLeft;
    if (charged.sLimit >= 0 && enforced(flagSessionSmartBoot))
        minutes.atMost(charged.sLeft, Cause::session);
    if (classLimited(charged, facts.timeClass) && enforced(flagTimeClassSmartBoot))
        minutes.atMost(charged.cLeft[facts.timeClass], Cause::timeClass);
    minutes.busyLines(priorityOf(charged.flags), busy);

    Verdict verdict;
    if (idleSecondsLeft)
        verdict.idleLeft = idleMinutesLeft(*idleSecondsLeft);
    if (!pppUser)
        setWarning(verdict, minutes.left, settings);
    if (enforced(flagIdleSmartBoot))
        minutes.atMost(verdict.idleLeft, Cause::idle);
    finish(verdict, minutes);
    verdict.mail = settings.SendMail && pppUser && charged.tLimit > 0;
    verdict.mailReason = mailReasonOf(charged, facts.timeClass, verdict.cause);
    return verdict;
}

Verdict judgeGuest(std::int32_t loginTime, const SiteSettings &settings, const PassFacts &facts,
                   std::optional<long> idleSecondsLeft)
{
    // The division truncates toward zero, as the guests' minute count has
    // always done: the last minute thus lasts 119 seconds.
    long long connected = static_cast<long long>(facts.now) - loginTime;
    long long left = (static_cast<long long>(settings.GuestTime) * 60 - connected - 5) / 60 + 1;
    Minutes minutes{clampToInt(left), Cause::guestTime};
    minutes.busyLines(settings.GuestPriority, facts.linesBusy);

    Verdict verdict;
    if (idleSecondsLeft)
        verdict.idleLeft = idleMinutesLeft(*idleSecondsLeft);
    setWarning(verdict, minutes.left, settings);
    if (!settings.IdleSmartBoot || facts.linesBusy)
        minutes.atMost(verdict.idleLeft, Cause::idle);
    finish(verdict, minutes);
    return verdict;
}

bool BootOneChoice::consider(int priority, int minutesLeft)
{
    if (priority > bestPriority || (priority == bestPriority && minutesLeft > bestLeft))
        return false;
    bestPriority = priority;
    bestLeft = minutesLeft;
    return true;
}

// ---------------------------------------------------------------- the pass

LoginTable loginTable;
ProcessTable processTable;
std::array<uid_t, pppUnits> unitOwner;
bool linesBusy = false;
std::uint16_t guestUid = unknownUid;
KillList killList;
MailList mailList;
DisconnectionList disconnections;

namespace
{

// Each 16-bit user id's processes, as real or effective id, in table order,
// and its first login: built once a pass, so that no account costs a scan of
// a whole table. Ids of 65536 and above never hold an account.
class UserIndex
{
  public:
    void build(const ProcessTable &processes, const LoginTable &logins)
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
        logins_ = &logins;
        firstLogin_.assign(ids, noLogin);
        for (std::size_t i = logins.size(); i-- > 0;) {
            if (logins[i].uid < ids)
                firstLogin_[logins[i].uid] = static_cast<std::uint32_t>(i);
        }
    }
    // Indexes into the process table.
    std::span<const std::uint32_t> processesOf(std::uint16_t uid) const
    {
        return std::span(processes_).subspan(starts_[uid], starts_[uid + 1] - starts_[uid]);
    }
    const LoginEntry *firstLoginOf(std::uint16_t uid) const
    {
        return firstLogin_[uid] == noLogin ? nullptr : &(*logins_)[firstLogin_[uid]];
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

    std::vector<std::uint32_t> starts_;
    std::vector<std::uint32_t> processes_;
    std::vector<std::uint32_t> firstLogin_;
    const LoginTable *logins_ = nullptr;
};

UserIndex users;
std::vector<bool> queued; // processes already on killList, by table index

void queue(std::size_t index)
{
    if (!queued[index]) {
        queued[index] = true;
        killList.push_back(index);
    }
}

// A disconnection with the processes `indexes` names; those already taken
// by an earlier disconnection are not taken twice.
template <typename Indexes> void disconnect(Disconnection entry, const Indexes &indexes)
{
    entry.firstKill = killList.size();
    for (std::size_t index : indexes)
        queue(index);
    entry.kills = killList.size() - entry.firstKill;
    disconnections.push_back(entry);
}

// Under BootOne a new choice replaces everything chosen before it.
bool chosenForBootOne(BootOneChoice &choice, int priority, int minutesLeft)
{
    if (!Settings.BootOne)
        return true;
    if (!choice.consider(priority, minutesLeft))
        return false;
    killList.clear();
    mailList.clear();
    disconnections.clear();
    queued.assign(processTable.size(), false);
    return true;
}

void warn(const Verdict &verdict, const char *line, MonitorEffects &effects)
{
    if (verdict.warning == Warning::idle) {
        effects.notify(line, "You will be logged out after 1 more minute of idle time.");
    } else if (verdict.warning == Warning::remaining) {
        char text[256];
        std::snprintf(text, sizeof text, "You have %d minute(s) remaining.", verdict.warnMinutes);
        effects.notify(line, text);
    }
}

std::optional<std::time_t> lastInputAt(const char *line)
{
    TerminalPath path = terminalPath(line);
    struct stat status;
    if (stat(path.data(), &status) != 0)
        return std::nullopt;
    return status.st_atime;
}

// The idle seconds an account has left: none when the idle rule does not
// apply to it, or when its terminal cannot be asked.
std::optional<long> accountIdle(const UserRecord &record, const LoginEntry &login, bool pppUser,
                                const PassFacts &facts, MonitorEffects &effects)
{
    if (Settings.IdleBoot == 0 || !(record.flags & flagIdleBoot))
        return std::nullopt;
    if (pppUser)
        return pppIdleSeconds(login.line.data(), effects);
    std::optional<std::time_t> lastInput = lastInputAt(login.line.data());
    if (!lastInput)
        return std::nullopt;
    return terminalIdleSecondsLeft(Settings.IdleBoot, facts.now, *lastInput);
}

void passAccount(UserRecord &record, const PassFacts &facts, BootOneChoice &choice,
                 MonitorEffects &effects)
{
    std::span<const std::uint32_t> processes = users.processesOf(record.uid);
    if (processes.empty())
        return;
    const LoginEntry *login = users.firstLoginOf(record.uid);
    if (login == nullptr)
        return;
    int unit = unitOfUser(record.uid);
    bool pppUser = unit >= 0;

    chargeMinute(record, facts.timeClass);
    record.stamp = static_cast<std::int32_t>(facts.now);
    if (pppUser)
        addPppTraffic(record, unit, effects);
    userFileRewrite(&record); // a record that cannot be written back is passed over

    // An idle time that cannot be measured (a line without a device) leaves
    // the idle rule out; every other rule still judges the account.
    std::optional<long> idleSecondsLeft = accountIdle(record, *login, pppUser, facts, effects);
    Verdict verdict = judgeAccount(record, Settings, facts, idleSecondsLeft, pppUser);
    warn(verdict, login->line.data(), effects); // link users get no warnings
    // Every process of root's would go with a root account: the host's own
    // services with them. Such an account is charged but never cut off.
    if (!verdict.disconnect || record.uid == 0)
        return;
    if (!chosenForBootOne(choice, priorityOf(record.flags), verdict.minutesLeft))
        return;
    if (verdict.mail)
        mailList.push_back(MailEntry{record.uid, verdict.mailReason});
    Disconnection entry;
    entry.uid = record.uid;
    entry.cause = verdict.cause;
    entry.warned = verdict.warning != Warning::none;
    disconnect(entry, processes);
}

// Every process on the terminal, in table order.
std::vector<std::size_t> processesOnTerminal(DeviceNumber device)
{
    std::vector<std::size_t> indexes;
    for (std::size_t i = 0; i < processTable.size(); ++i) {
        if (processTable[i].tty == device)
            indexes.push_back(i);
    }
    return indexes;
}

void passGuest(const LoginEntry &login, const PassFacts &facts, BootOneChoice &choice,
               MonitorEffects &effects)
{
    std::optional<long> idleSecondsLeft;
    if (Settings.IdleBoot != 0) {
        std::optional<std::time_t> lastInput = lastInputAt(login.line.data());
        if (!lastInput)
            return;
        idleSecondsLeft = terminalIdleSecondsLeft(Settings.IdleBoot, facts.now, *lastInput);
    }
    Verdict verdict = judgeGuest(login.loginTime, Settings, facts, idleSecondsLeft);
    warn(verdict, login.line.data(), effects);
    if (!verdict.disconnect)
        return;
    // A terminal that went away since the scan (a hung-up pseudo-terminal)
    // leaves nothing to end, and must not displace a real choice.
    std::optional<DeviceNumber> device = terminalDevice(login.line.data());
    if (!device)
        return;
    if (!chosenForBootOne(choice, Settings.GuestPriority, verdict.minutesLeft))
        return;
    Disconnection entry;
    entry.uid = login.uid;
    entry.line = login.line;
    entry.cause = verdict.cause;
    entry.warned = verdict.warning != Warning::none;
    disconnect(entry, processesOnTerminal(*device));
}

void logDisconnection(const Disconnection &entry, std::size_t signalled)
{
    const char *processes = signalled == 1 ? "process" : "processes";
    if (entry.line[0] != '\0') {
        syslog(LOG_NOTICE, "disconnected guest on %s: %s, %zu %s signalled", entry.line.data(),
               causeText(entry.cause), signalled, processes);
        return;
    }
    char login[loginNameSize];
    if (uidToName(login, static_cast<std::uint16_t>(entry.uid)) == nullptr)
        std::snprintf(login, sizeof login, "uid %u", static_cast<unsigned>(entry.uid));
    syslog(LOG_NOTICE, "disconnected %s: %s, %zu %s signalled", login, causeText(entry.cause),
           signalled, processes);
}

void endPass(MonitorEffects &effects)
{
    // A user told of the end in the minute the end comes must get to read
    // it: a session process that relays the terminal goes with the rest.
    if (std::any_of(disconnections.begin(), disconnections.end(),
                    [](const Disconnection &entry) { return entry.warned; }))
        effects.letNoticesArrive();
    for (const Disconnection &entry : disconnections) {
        std::size_t signalled = 0;
        for (std::size_t k = entry.firstKill; k < entry.firstKill + entry.kills; ++k) {
            if (effects.terminate(processTable[killList[k]]))
                ++signalled;
        }
        if (signalled > 0)
            logDisconnection(entry, signalled);
    }
    for (const MailEntry &entry : mailList)
        effects.mail(entry.uid, entry.reason);
}

int timeClassNow(std::time_t now)
{
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr)
        return -1;
    return timeClassAt(Settings.TimeClass, local.tm_wday, local.tm_hour);
}

} // namespace

void accountingPass(MonitorEffects &effects)
{
    PassFacts facts;
    facts.now = effects.now();
    facts.timeClass = timeClassNow(facts.now);
    facts.linesBusy = linesBusy;
    BootOneChoice choice;
    killList.clear();
    mailList.clear();
    disconnections.clear();
    queued.assign(processTable.size(), false);
    users.build(processTable, loginTable);

    userFileOpen();
    UserRecord record;
    while (userFileRead(&record) == 0)
        passAccount(record, facts, choice, effects);
    userFileClose();

    // Without a guest entry nobody is a guest, not even a user whose id
    // happens to be the "unknown" one.
    for (const LoginEntry &login : loginTable) {
        if (guestUid != unknownUid && login.uid == guestUid)
            passGuest(login, facts, choice, effects);
    }
    endPass(effects);
}
