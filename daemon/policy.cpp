// The monitor's rules: the charge of a minute, the judgement of an account
// or a guest, the warnings, and the choice of who goes.
#include "policy.h"

#include <algorithm>
#include <cstdio>
#include <limits>

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

    // A lower limit binds; of equal ones, the first weighed.
    void atMost(const Limit &limit)
    {
        if (limit.applies && limit.minutesLeft < left) {
            left = limit.minutesLeft;
            cause = limit.rule;
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

Limits limitsOf(const UserRecord &charged, const PassFacts &facts,
                std::optional<long> idleSecondsLeft)
{
    // A smart-boot flag holds its rule back while a line is free.
    auto enforced = [&](std::uint16_t smartFlag) {
        return !(charged.flags & smartFlag) || facts.linesBusy;
    };
    Limits limits;
    if (charged.tLimit >= 0)
        limits.push({Cause::total, charged.tLeft, enforced(flagSmartBoot)});
    if (charged.sLimit >= 0)
        limits.push({Cause::session, charged.sLeft, enforced(flagSessionSmartBoot)});
    if (classLimited(charged, facts.timeClass))
        limits.push(
            {Cause::timeClass, charged.cLeft[facts.timeClass], enforced(flagTimeClassSmartBoot)});
    // Priority 0 gives way the moment every line is busy; an account
    // already spent keeps the rule that spent it.
    if (priorityOf(charged.flags) == 0)
        limits.push({Cause::busyLines, 0, facts.linesBusy});
    if (idleSecondsLeft)
        limits.push({Cause::idle, idleMinutesLeft(*idleSecondsLeft), enforced(flagIdleSmartBoot)});
    return limits;
}

Verdict judgeAccount(const UserRecord &charged, const SiteSettings &settings,
                     const PassFacts &facts, std::optional<long> idleSecondsLeft, bool pppUser)
{
    Verdict verdict;
    verdict.limits = limitsOf(charged, facts, idleSecondsLeft);
    Minutes minutes;
    std::optional<Limit> idle;
    for (const Limit &limit : verdict.limits) {
        if (limit.rule == Cause::idle)
            idle = limit;
        else
            minutes.atMost(limit);
    }
    if (idle)
        verdict.idleLeft = idle->minutesLeft;
    // The warning speaks of the time left before idleness is weighed.
    if (!pppUser)
        setWarning(verdict, minutes.left, settings);
    if (idle)
        minutes.atMost(*idle);
    finish(verdict, minutes);
    verdict.mail = settings.SendMail && pppUser && charged.tLimit > 0;
    verdict.mailReason = mailReasonOf(charged, facts.timeClass, verdict.cause);
    return verdict;
}

Verdict judgeNextMinute(UserRecord record, const SiteSettings &settings, const PassFacts &facts,
                        std::optional<long> idleSecondsLeft, bool pppUser)
{
    chargeMinute(record, facts.timeClass);
    return judgeAccount(record, settings, facts, idleSecondsLeft, pppUser);
}

Verdict judgeGuest(std::int32_t loginTime, const SiteSettings &settings, const PassFacts &facts,
                   std::optional<long> idleSecondsLeft)
{
    // The division truncates toward zero, as the guests' minute count has
    // always done: the last minute thus lasts 119 seconds.
    long long connected = static_cast<long long>(facts.now) - loginTime;
    long long left = (static_cast<long long>(settings.GuestTime) * 60 - connected - 5) / 60 + 1;
    Minutes minutes{clampToInt(left), Cause::guestTime};
    if (settings.GuestPriority == 0)
        minutes.atMost({Cause::busyLines, 0, facts.linesBusy});

    Verdict verdict;
    if (idleSecondsLeft)
        verdict.idleLeft = idleMinutesLeft(*idleSecondsLeft);
    setWarning(verdict, minutes.left, settings);
    minutes.atMost({Cause::idle, verdict.idleLeft, !settings.IdleSmartBoot || facts.linesBusy});
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

int timeClassOf(const TimeClassTable &table, std::time_t when)
{
    std::tm local{};
    if (localtime_r(&when, &local) == nullptr)
        return -1;
    return timeClassAt(table, local.tm_wday, local.tm_hour);
}

PassFacts factsAt(std::time_t now, const SiteSettings &settings, bool linesBusy)
{
    return PassFacts{now, timeClassOf(settings.TimeClass, now), linesBusy};
}

long linkIdleSecondsLeft(int idleBootMinutes, std::optional<PppIdle> idle)
{
    if (!idle)
        return 0;
    return static_cast<long>(idleBootMinutes) * 60 - std::min(idle->sent, idle->received);
}

void addPppTraffic(UserRecord &record, std::optional<PppCounters> counters)
{
    if (!counters)
        return;
    // The driver's counters are 32 bits and wrap; a new link starts them
    // again at 0, and its traffic counts once it passes the last figure.
    std::uint32_t sum = counters->received + counters->sent;
    if (sum > record.lastBytes) {
        record.totalBytes += sum - record.lastBytes;
        record.lastBytes = sum;
    }
}

bool idleRuleApplies(const UserRecord &record, const SiteSettings &settings)
{
    return settings.IdleBoot != 0 && (record.flags & flagIdleBoot);
}

std::string warningText(const Verdict &verdict)
{
    if (verdict.warning == Warning::idle)
        return "You will be logged out after 1 more minute of idle time.";
    if (verdict.warning != Warning::remaining)
        return {};
    char text[64];
    std::snprintf(text, sizeof text, "You have %d minute(s) remaining.", verdict.warnMinutes);
    return text;
}

DisconnectionChoice::DisconnectionChoice(bool bootOne, std::size_t processes)
    : bootOne_(bootOne), taken_(processes, false)
{
}

bool DisconnectionChoice::choose(int priority, int minutesLeft, PassDecisions &decisions)
{
    if (!bootOne_)
        return true;
    if (!best_.consider(priority, minutesLeft))
        return false;
    decisions.disconnections.clear();
    decisions.mails.clear();
    taken_.assign(taken_.size(), false);
    return true;
}
