// The monitor's rules, free of the system: what a minute costs an account,
// how many minutes it has left under which rule, who is warned, who goes and
// what they are told. Everything here is a function of its arguments.
#pragma once

#include <array>
#include <climits>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common.h"
#include "fixedlist.h"

inline constexpr int unlimitedMinutes = INT_MAX;

// The index of the notice file a disconnected user is mailed.
enum class NoticeReason : std::uint8_t {
    busy = 0,
    idle = 1,
    time_class = 2,
    time_period = 3,
    time_session = 4
};

// Which rule ended a session, for the system log.
enum class Cause : std::uint8_t { total, session, timeClass, busyLines, idle, guestTime };
const char *causeText(Cause cause);

// What one pass knows that is the same for every user.
struct PassFacts {
    std::time_t now = 0;
    int timeClass = -1;
    bool linesBusy = false;
};

// The time class in force at a moment, by the local clock; -1 for none.
int timeClassOf(const TimeClassTable &table, std::time_t when);
// What a pass at `now` knows, the lines being busy or not.
PassFacts factsAt(std::time_t now, const SiteSettings &settings, bool linesBusy);

// The two counters of a PPP unit that make its traffic.
struct PppCounters {
    std::uint32_t received = 0;
    std::uint32_t sent = 0;
};
// Seconds since the link last sent and last received a data packet.
struct PppIdle {
    long sent = 0;
    long received = 0;
};

// One rule that limits an account's minutes this minute.
struct Limit {
    Cause rule = Cause::total;
    int minutesLeft = unlimitedMinutes;
    // False while the account's smart-boot flag for the rule holds it back,
    // a line being free: it counts down all the same.
    bool applies = true;
};
// The rules that limit an account, in the order they are weighed: total,
// session, time class, busy lines (priority 0), idle.
using Limits = FixedList<Limit, 5>;

enum class Warning : std::uint8_t { none, idle, remaining };

// The judgement of one connected user in one minute.
struct Verdict {
    int minutesLeft = unlimitedMinutes;
    int idleLeft = unlimitedMinutes;
    Warning warning = Warning::none; // shown with minutesLeft for "remaining"
    int warnMinutes = 0;
    bool disconnect = false;
    Cause cause = Cause::total;
    bool mail = false; // a link user with a total limit, when SendMail is on
    NoticeReason mailReason = NoticeReason::idle;
    Limits limits; // of an account: every rule weighed, binding or not
};

// Charges one minute of the class in force to the record's counters.
void chargeMinute(UserRecord &record, int timeClass);
// Idle minutes left from the idle seconds left.
int idleMinutesLeft(long secondsLeft);
// The idle seconds left of a terminal last used at `lastInput`.
long terminalIdleSecondsLeft(int idleBootMinutes, std::time_t now, std::time_t lastInput);
// The idle seconds left of a link, from the more recent packet; 0 when the
// driver cannot tell, which leaves one minute and never disconnects.
long linkIdleSecondsLeft(int idleBootMinutes, std::optional<PppIdle> idle);
// Adds a unit's traffic since the last poll to the record.
void addPppTraffic(UserRecord &record, std::optional<PppCounters> counters);
// Whether the idle rule applies to an account at all.
bool idleRuleApplies(const UserRecord &record, const SiteSettings &settings);
// The limits of an account already charged for this minute. Without
// `idleSecondsLeft` the idle rule does not apply to it.
Limits limitsOf(const UserRecord &charged, const PassFacts &facts,
                std::optional<long> idleSecondsLeft);
// The judgement of an account already charged for this minute, from its
// limits: the lowest that applies binds, the first of equals.
Verdict judgeAccount(const UserRecord &charged, const SiteSettings &settings,
                     const PassFacts &facts, std::optional<long> idleSecondsLeft, bool pppUser);
// What the next pass would decide for an account connected now: a minute
// charged to a copy of the record, then judged. The login gate and ku_why
// ask this; the pass itself charges the record it writes back.
Verdict judgeNextMinute(UserRecord record, const SiteSettings &settings, const PassFacts &facts,
                        std::optional<long> idleSecondsLeft, bool pppUser);
// The judgement of a guest's login.
Verdict judgeGuest(std::int32_t loginTime, const SiteSettings &settings, const PassFacts &facts,
                   std::optional<long> idleSecondsLeft);
// The text shown on the user's terminal for a verdict's warning; empty
// without one.
std::string warningText(const Verdict &verdict);

// Every process of root's would go with a root account: the host's own
// services with them. Such an account is charged but never cut off.
inline bool mayBeCutOff(std::uint16_t uid)
{
    return uid != 0;
}
// Without a guest entry nobody is a guest, not even a user whose id happens
// to be the "unknown" one.
inline bool isGuest(uid_t uid, std::uint16_t guestUid)
{
    return guestUid != unknownUid && uid == guestUid;
}

// With BootOne, at most one user goes per pass: the lowest priority value,
// then the fewest minutes left, then the one judged last.
struct BootOneChoice {
    int bestPriority = 7;
    int bestLeft = unlimitedMinutes;
    // True if this user becomes the one to go.
    bool consider(int priority, int minutesLeft);
};

// ---------------------------------------------------------------- what a pass decides

struct MailEntry {
    std::uint16_t uid = 0;
    NoticeReason reason = NoticeReason::idle;
};

// A notice for a terminal.
struct TerminalNotice {
    std::array<char, lineNameSize> line{};
    std::string text;
};

// One user the pass decided to disconnect, with their processes.
struct Disconnection {
    uid_t uid = 0; // the account's user, or the guest's
    bool guest = false;
    std::array<char, lineNameSize> line{}; // the guest's line; empty for an account
    Cause cause = Cause::total;
    bool warned = false;                  // a notice went to the user's terminal this minute
    std::vector<std::uint32_t> processes; // indexes into the snapshot's process table
    // The logind sessions that go with them: ended whole once the processes
    // had their grace, so that nothing forked meanwhile is left.
    std::vector<std::string> sessions;
};

// The verdict on one account that the pass judged.
struct JudgedAccount {
    std::uint16_t uid = 0;
    std::array<char, lineNameSize> line{}; // the terminal judged and warned; may be empty
    Verdict verdict;
};

// Everything one pass decided, in the order it is carried out.
struct PassDecisions {
    std::vector<std::uint16_t> charged; // the accounts charged a minute, in file order
    std::vector<JudgedAccount> judged;  // every account judged, in file order
    std::vector<TerminalNotice> warnings;
    std::vector<Disconnection> disconnections;
    std::vector<MailEntry> mails;
};

// Collects the disconnections of a pass: a process is ended for the first
// user that claims it only, and under BootOne each new choice replaces
// every one made before it.
class DisconnectionChoice
{
  public:
    DisconnectionChoice(bool bootOne, std::size_t processes);
    // Whether a user of this priority and these minutes left goes; under
    // BootOne, a yes drops the users chosen before.
    bool choose(int priority, int minutesLeft, PassDecisions &decisions);
    // Adds a chosen user with the processes (indexes) that go with them.
    template <typename Indexes>
    void add(Disconnection entry, const Indexes &indexes, PassDecisions &decisions)
    {
        for (auto index : indexes) {
            if (!taken_[index]) {
                taken_[index] = true;
                entry.processes.push_back(static_cast<std::uint32_t>(index));
            }
        }
        decisions.disconnections.push_back(std::move(entry));
    }

  private:
    bool bootOne_;
    BootOneChoice best_;
    std::vector<bool> taken_; // by process table index
};
