// The session monitor's own declarations: its per-cycle state, the
// accounting policy, the notices, the PPP queries, and the seam through
// which all of them act on the system.
#pragma once

#include <climits>
#include <cstdint>
#include <ctime>
#include <optional>

#include "common.h"

// ---------------------------------------------------------------- state of a cycle

inline constexpr int unlimitedMinutes = INT_MAX;
inline constexpr int pppUnits = 256;

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

struct MailEntry {
    std::uint16_t uid = 0;
    NoticeReason reason = NoticeReason::idle;
};

// One user the pass decided to disconnect, with the stretch of killList
// that holds their processes.
struct Disconnection {
    uid_t uid = 0;                         // the account's user, or the guest's
    std::array<char, lineNameSize> line{}; // the guest's line; empty for an account
    Cause cause = Cause::total;
    std::size_t firstKill = 0;
    std::size_t kills = 0;
    bool warned = false; // a notice went to the user's terminal this minute
};

using KillList = std::vector<std::size_t>; // indexes into processTable
using MailList = std::vector<MailEntry>;
using DisconnectionList = std::vector<Disconnection>;

extern LoginTable loginTable;
extern ProcessTable processTable;
extern std::array<uid_t, pppUnits> unitOwner; // unknownUid for no owner
extern bool linesBusy;
extern std::uint16_t guestUid;
extern KillList killList;
extern MailList mailList;
extern DisconnectionList disconnections;

inline constexpr std::size_t mailHostSize = 64; // 63 characters
extern std::array<char, mailHostSize> mailHost;

// One cycle of the monitor, from the configuration check to the sleep
// until the next minute. `configSeen` is the configuration file's time as
// last read.
class MonitorEffects;
void runCycle(timespec &configSeen, MonitorEffects &effects);
// Seconds from a local time to the next minute boundary: 1 from a leap
// second.
int secondsToNextMinute(const std::tm &now);
// Whether two local times fall in one minute.
bool sameMinute(const std::tm &a, const std::tm &b);

// Ends the monitor: the message goes to the system log at LOG_ERR.
[[noreturn]] void logFatal(const char *format, ...) __attribute__((format(printf, 1, 2)));

// ---------------------------------------------------------------- the seam

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

// Everything the accounting pass does to the system or asks of it besides
// the account file and the terminals' status. Each method does the real
// thing; a test overrides what it wants to observe or feign.
class MonitorEffects
{
  public:
    virtual ~MonitorEffects() = default;
    virtual std::time_t now();
    virtual void notify(const char *line, const char *notice);
    // Gives notices just written the moment they need to reach their users
    // (through sshd, say, which the signals that follow would end).
    virtual void letNoticesArrive();
    // SIGTERM now; true if it was sent. The same processes get SIGKILL
    // from killTerminated.
    virtual bool terminate(const ProcEntry &process);
    virtual bool anyTerminated() const;
    virtual void killTerminated();
    virtual void mail(std::uint16_t uid, NoticeReason reason);
    virtual std::optional<PppCounters> pppCounters(int unit);
    virtual std::optional<PppIdle> pppIdle(const char *line);

  private:
    TerminatedList terminated_;
};

// ---------------------------------------------------------------- accounting policy

// What one pass knows that is the same for every user.
struct PassFacts {
    std::time_t now = 0;
    int timeClass = -1;
    bool linesBusy = false;
};

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
};

// Charges one minute of the class in force to the record's counters.
void chargeMinute(UserRecord &record, int timeClass);
// Idle minutes left from the idle seconds left.
int idleMinutesLeft(long secondsLeft);
// The idle seconds left of a terminal last used at `lastInput`.
long terminalIdleSecondsLeft(int idleBootMinutes, std::time_t now, std::time_t lastInput);
// The judgement of an account already charged for this minute. Without
// `idleSecondsLeft` the idle rule does not apply to it.
Verdict judgeAccount(const UserRecord &charged, const SiteSettings &settings,
                     const PassFacts &facts, std::optional<long> idleSecondsLeft, bool pppUser);
// The judgement of a guest's login.
Verdict judgeGuest(std::int32_t loginTime, const SiteSettings &settings, const PassFacts &facts,
                   std::optional<long> idleSecondsLeft);

// With BootOne, at most one user goes per pass: the lowest priority value,
// then the fewest minutes left, then the one judged last.
struct BootOneChoice {
    int bestPriority = 7;
    int bestLeft = unlimitedMinutes;
    // True if this user becomes the one to go.
    bool consider(int priority, int minutesLeft);
};

// The pass itself: charges, warns, picks who goes, signals and mails.
void accountingPass(MonitorEffects &effects);

// ---------------------------------------------------------------- notices

// "/dev/" and a line name.
using TerminalPath = std::array<char, 5 + lineNameSize>;
TerminalPath terminalPath(const char *line);
// The user's first login in the login table, whose line is the user's
// terminal; null without a login. Each call reads the table through; the
// pass looks its users up in an index instead.
const LoginEntry *terminalOfUser(uid_t uid);
// The device number of a terminal line; none if the line does not name a
// terminal under /dev (any more).
std::optional<DeviceNumber> terminalDevice(const char *line);
// Opens the terminal a line names, never through a link and never a device
// that is no terminal; -1 if it cannot.
int openTerminal(const char *line, int flags);
// Writes a notice onto a terminal that accepts messages.
void notifyTerminal(const char *line, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
// Mails the user the notice file of the reason.
void mailNotice(std::uint16_t uid, NoticeReason reason);

// ---------------------------------------------------------------- PPP links

// Rebuilds unitOwner from the pppd pid files and the process table.
void scanPppUnits();
// The lowest unit the user owns, or -1.
int unitOfUser(uid_t uid);
// Idle seconds left before an idle disconnection of a PPP line; 0 when the
// driver cannot tell.
long pppIdleSeconds(const char *line, MonitorEffects &effects);
// Adds the unit's traffic since the last poll to the record.
void addPppTraffic(UserRecord &record, int unit, MonitorEffects &effects);
