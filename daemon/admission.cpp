// Admitting a login and greeting it, from the verdict the next pass would
// give the account: the same charge and the same rules as the monitor's.
#include "admission.h"

#include <algorithm>

namespace
{

bool requiresAccount(const SiteSettings &settings, uid_t uid)
{
    return settings.RequireAccount &&
           std::find(settings.RequireAccountExempt.begin(), settings.RequireAccountExempt.end(),
                     uid) == settings.RequireAccountExempt.end();
}

bool expired(const UserRecord &account, std::time_t now)
{
    return account.expire != 0 && account.expire < now;
}

// The verdict of the next pass on a session that begins now; with
// `freshTerminal`, on a terminal just typed on, else without the idle rule.
Verdict nextVerdict(const Applicant &applicant, const SiteSettings &settings,
                    const PassFacts &facts, bool freshTerminal = false)
{
    if (applicant.account) {
        std::optional<long> idleSecondsLeft;
        if (freshTerminal && idleRuleApplies(*applicant.account, settings))
            idleSecondsLeft = static_cast<long>(settings.IdleBoot) * 60;
        return judgeNextMinute(*applicant.account, settings, facts, idleSecondsLeft, false);
    }
    // A guest who logs in now has been connected up to a minute at the next
    // pass: judged as the pass judges a login a minute old.
    PassFacts next = facts;
    next.now += 60;
    return judgeGuest(static_cast<std::int32_t>(facts.now), settings, next, std::nullopt);
}

// Whether the idle rule holds the session now.
bool idleRuleHolds(const Verdict &verdict)
{
    return std::any_of(verdict.limits.begin(), verdict.limits.end(), [](const Limit &limit) {
        return limit.rule == Cause::idle && limit.applies;
    });
}

} // namespace

bool limitHeldBack(const Verdict &verdict)
{
    return std::any_of(verdict.limits.begin(), verdict.limits.end(), [](const Limit &limit) {
        return !limit.applies && limit.rule != Cause::busyLines && limit.rule != Cause::idle;
    });
}

std::string minutesText(int minutes)
{
    return std::to_string(minutes) + (minutes == 1 ? " minute" : " minutes");
}

std::string limitName(Cause rule)
{
    switch (rule) {
    case Cause::total:
        return "total limit";
    case Cause::session:
        return "session limit";
    case Cause::timeClass:
        return "time class limit";
    case Cause::busyLines:
        return "busy lines";
    case Cause::idle:
        return "idle limit";
    case Cause::guestTime:
        return "guest time";
    }
    return "unknown";
}

Admission admitLogin(const Applicant &applicant, const SiteSettings &settings,
                     const PassFacts &facts)
{
    // Root's account is never cut off, and root is never kept out.
    if (applicant.uid == 0)
        return {};
    if (applicant.account && expired(*applicant.account, facts.now))
        return {false, "expired"};
    if (!applicant.account && !applicant.guest)
        return requiresAccount(settings, applicant.uid) ? Admission{false, "no account"}
                                                        : Admission{};
    Verdict verdict = nextVerdict(applicant, settings, facts);
    if (verdict.disconnect)
        return {false, causeText(verdict.cause)};
    return {};
}

std::string loginWord(const Applicant &applicant, const SiteSettings &settings,
                      const PassFacts &facts)
{
    if (!applicant.account && !applicant.guest)
        return {};
    Verdict verdict = nextVerdict(applicant, settings, facts);
    std::string word = "Kestrune: ";
    if (verdict.minutesLeft == unlimitedMinutes && limitHeldBack(verdict))
        word += "no time limit while a line is free";
    else if (verdict.minutesLeft == unlimitedMinutes)
        word += "no time limit";
    else
        word += minutesText(std::max(verdict.minutesLeft, 0)) + " left (" +
                limitName(verdict.cause) + ")";
    if (idleRuleHolds(nextVerdict(applicant, settings, facts, true)))
        word += "; idle logout after " + minutesText(settings.IdleBoot);
    return word;
}
