// The shared account library: record files, settings, session snapshots,
// text codecs and the reporting, process and file utilities that every
// Kestrune program links.
#pragma once

#include <sys/types.h>

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// ---------------------------------------------------------------- paths

inline constexpr const char *productDir = "/usr/lib/Kestrune";
inline constexpr const char *userFilePath = "/usr/lib/Kestrune/kestrune_users";
inline constexpr const char *banFilePath = "/usr/lib/Kestrune/banned_users";
inline constexpr const char *configPath = "/usr/lib/Kestrune/kestrune.config";
inline constexpr const char *utmpPath = "/var/run/utmp";

// ---------------------------------------------------------------- common types

// A table of fixed capacity that knows how many of its entries are in use.
template <typename T, std::size_t Capacity> struct FixedList {
    std::array<T, Capacity> items{};
    std::size_t count = 0;

    static constexpr std::size_t capacity() { return Capacity; }
    bool full() const { return count == Capacity; }
    void clear() { count = 0; }
    // Appends unless the table is full; says whether the value was kept.
    bool push(const T &value)
    {
        if (full())
            return false;
        items[count++] = value;
        return true;
    }
    T *begin() { return items.data(); }
    T *end() { return items.data() + count; }
    const T *begin() const { return items.data(); }
    const T *end() const { return items.data() + count; }
    T &operator[](std::size_t i) { return items[i]; }
    const T &operator[](std::size_t i) const { return items[i]; }
};

// The 16-bit id that stands for "no such user" in records and lookups.
inline constexpr std::uint16_t unknownUid = 0xFFFF;

// Device numbers are kept whole, in the kernel's encoding of a process's
// controlling terminal, so that two terminals never compare equal.
using DeviceNumber = std::uint32_t;
DeviceNumber deviceNumberOf(dev_t rdev);

// Room for any login name of the system, with its terminator.
inline constexpr std::size_t loginNameSize = 256;

// ---------------------------------------------------------------- account file

inline constexpr std::size_t userRecordSize = 90;

struct UserRecord {
    std::uint16_t uid = 0;
    std::uint16_t flags = 0;
    std::uint32_t phoneArea = 0;
    std::uint32_t phoneLocal = 0;
    std::int32_t tLeft = 0;
    std::int32_t tLimit = 0;
    std::int32_t sLeft = 0;
    std::int32_t sLimit = 0;
    std::array<std::int16_t, 4> cLeft{};
    std::array<std::int16_t, 4> cLimit{};
    std::int32_t savedExpire = 0;
    std::uint16_t savedFlags = 0;
    std::int32_t savedTime = 0;
    std::int32_t savedSession = 0;
    std::array<std::int16_t, 4> savedClass{};
    std::uint64_t lastBytes = 0;
    std::uint64_t totalBytes = 0;
    std::int32_t expire = 0;
    std::int32_t stamp = 0;

    bool operator==(const UserRecord &) const = default;
};

using UserRecordBytes = std::array<std::uint8_t, userRecordSize>;
UserRecordBytes encodeUserRecord(const UserRecord &record);
UserRecord decodeUserRecord(const UserRecordBytes &bytes);

// The flag word: priority in bits 13-15, the boot flags below it.
inline constexpr std::uint16_t flagSmartBoot = 0x1000;
inline constexpr std::uint16_t flagSessionSmartBoot = 0x0800;
inline constexpr std::uint16_t flagIdleBoot = 0x0400;
inline constexpr std::uint16_t flagIdleSmartBoot = 0x0200;
inline constexpr std::uint16_t flagTimeClassSmartBoot = 0x0100;
inline constexpr std::uint16_t flagSubscribed = 0x0080;
inline constexpr int priorityShift = 13;

inline int priorityOf(std::uint16_t flags)
{
    return flags >> priorityShift;
}
inline std::uint16_t withPriority(std::uint16_t flags, int priority)
{
    return static_cast<std::uint16_t>((flags & 0x1FFF) | ((priority & 7) << priorityShift));
}

// cLimit sentinels.
inline constexpr std::int16_t classUnlimited = -1;
inline constexpr std::int16_t classNotSession = -2;
inline constexpr std::int16_t classFree = -3;

extern std::FILE *userFile;
extern int userFileFD;

void userFileOpen();
// Opens the account file for reading only, whoever the caller: root, too,
// reads it so (a read-only product directory will do), waiting only for
// root's own writers; a file not made yet reads as empty for root.
void userFileOpenForReading();
void userFileClose();
// Every whole record of the account file, read as userFileOpenForReading
// reads it, the file closed again before the caller sees them: a caller that
// takes its time with them (a pager that is never read) holds up nobody.
std::vector<UserRecord> loadAccounts();
int userFileRead(UserRecord *record);
int userFileWrite(const UserRecord *record);
// Writes the record over the one just read. 0 when written; 1 when not, and
// the file position is then after that record all the same.
int userFileRewrite(const UserRecord *record);
int userFileFind(UserRecord *record, std::uint16_t uid);
// Adds a record after the last whole one, cutting off a piece of a record
// that an interrupted append left at the end. 0 when written; 1 when not.
int userFileAppend(const UserRecord *record);
// Replaces the open, exclusively locked account file with a fresh file of
// the content of `source`, put in its place at once; the lock is held
// throughout and `userFile` then reads the new file. 0 when done; 1, with
// errno set, when not (the file is then as it was).
int userFileReplace(const char *source);

std::uint16_t nameToUid(const char *login);
// The password database's id for a login, whole; none without an entry.
std::optional<uid_t> loginUid(const char *login);
char *uidToName(std::span<char> name, std::uint16_t uid);

// For commands that act on a named user's account. The first gives the
// user's id or ends with "user does not exist: %s"; the second opens the
// account file and finds the record or ends with "user not found: %s".
std::uint16_t existingUserUid(const char *login);
// As existingUserUid, for a command that gives a user an account or sets
// it: a user whose id does not fit a record is told so plainly.
std::uint16_t accountHolderUid(const char *login);
void openAccountOf(UserRecord *record, std::uint16_t uid, const char *login);

// ---------------------------------------------------------------- ban file

inline constexpr std::size_t banRecordSize = 13;

struct BanRecord {
    std::uint8_t prefix = 0;
    std::uint32_t phoneArea = 0;
    std::uint32_t phoneLocal = 0;
    std::int32_t expire = 0;

    bool operator==(const BanRecord &) const = default;
};

using BanRecordBytes = std::array<std::uint8_t, banRecordSize>;
BanRecordBytes encodeBanRecord(const BanRecord &record);
BanRecord decodeBanRecord(const BanRecordBytes &bytes);

extern std::FILE *banFile;
extern int banFileFD;

void banFileOpen();
void banFileClose();
// As loadAccounts, for the ban file; "must be root" for anyone else.
std::vector<BanRecord> loadBans();
int banFileRead(BanRecord *record);
int banFileWrite(const BanRecord *record);
int banFileFind(BanRecord *record, std::uint32_t area, std::uint32_t local);
// As userFileAppend and userFileReplace, for the open ban file.
int banFileAppend(const BanRecord *record);
int banFileReplace(const char *source);

// ---------------------------------------------------------------- settings

struct TimeClassEntry {
    int dayFrom = 0;
    int dayTo = 0;
    int hourFrom = 0;
    int hourTo = 0;
};

struct DevicesSetting {
    DeviceNumber first = 0;
    int lines = 0;
};

inline constexpr std::size_t modemDialSize = 32;   // 31 characters
inline constexpr std::size_t phoneFormatSize = 16; // 15 characters

using TimeClassTable = FixedList<TimeClassEntry, 4>;

struct SiteSettings {
    DevicesSetting Devices;
    int ReturnDelay = 0;
    bool SendMail = false;
    int GuestTime = 15;
    int GuestPriority = 4;
    FixedList<int, 16> WarnBoot;
    bool SmartBoot = false;
    bool BootOne = false;
    int IdleBoot = 0;
    bool IdleSmartBoot = false;
    bool SessionSmartBoot = false;
    TimeClassTable TimeClass;
    bool TimeClassSmartBoot = false;
    FixedList<uid_t, 64> ForeachExclude; // whole ids: no record is involved
    std::array<char, modemDialSize> ModemDial{"\\r\\dATZ\\r\\dATDT"};
    std::array<char, phoneFormatSize> PhNoAreaFormat{"3 (3)"};
    std::array<char, phoneFormatSize> PhNoLocalFormat{"3-4"};
    int localDigits = 0;
};

extern SiteSettings Settings;

void readConfig();
// The digit count of local numbers that readConfig would give the site's
// configuration, read without touching Settings and without ending the
// process; none when the file cannot be opened.
std::optional<int> configuredLocalDigits();

// ---------------------------------------------------------------- sessions

inline constexpr std::size_t lineNameSize = 33; // the platform's 32 + terminator
inline constexpr std::size_t commSize = 16;     // 15 + terminator

struct LoginEntry {
    uid_t uid = 0;
    std::array<char, lineNameSize> line{};
    std::int32_t loginTime = 0;
};

struct ProcEntry {
    pid_t pid = 0;
    pid_t ppid = 0; // the parent's id; 0 for a namespace's first process
    uid_t uid = 0;
    uid_t euid = 0;
    DeviceNumber tty = 0;
    std::array<char, commSize> comm{};
    // Clock ticks after boot at which the process started: with the pid, it
    // tells a process from a later one that was given the same id.
    std::uint64_t startTime = 0;
    char state = 'R';          // as the kernel reports it: 'Z' for an ended, unreaped process
    bool kernelThread = false; // the kernel's own, which no user started
};

// The tables hold whatever the host has: a session or process left out
// would be neither charged nor ended, nor spared by the cleaners.
using LoginTable = std::vector<LoginEntry>;
using ProcessTable = std::vector<ProcEntry>;

void readUtmp(LoginTable &logins);
// Processes that have ended but are not yet reaped (zombies) are left out:
// they run nothing, hold no terminal and cannot be ended again.
void scanProcesses(ProcessTable &processes);
// The same, keeping only the processes `keep` accepts.
void scanProcesses(ProcessTable &processes, const std::function<bool(const ProcEntry &)> &keep);
int allLinesBusy(const ProcessTable &processes, DeviceNumber firstLine, int lines);
int uidLoggedIn(const LoginTable &logins, uid_t uid);
// The user ids of a login table, for many questions of uidLoggedIn's kind.
class LoggedInUsers
{
  public:
    explicit LoggedInUsers(const LoginTable &logins);
    bool contains(uid_t uid) const;

  private:
    std::vector<uid_t> sorted_;
};
// The start time of the process now running under `pid`; none if it is gone.
std::optional<std::uint64_t> processStartTime(pid_t pid);

// ---------------------------------------------------------------- ending processes

// Processes that were sent SIGTERM, each held by a descriptor of its own
// (a pidfd), so that the SIGKILL that follows reaches the very same process
// even if its id has since been given to another.
struct TerminatedProcess {
    pid_t pid = 0;
    int pidfd = -1; // -1 where the kernel has no pidfds or no descriptor was left
    // Without a descriptor, what tells the process from a later one that
    // was given its id.
    std::uint64_t startTime = 0;
};
using TerminatedList = std::vector<TerminatedProcess>;

// Sends SIGTERM to the process the entry describes, provided it is still
// that process and not the caller, and keeps it on the list for the SIGKILL.
// True if the signal was sent. False if nothing was sent; errno then says
// why: ESRCH when the process is gone or is another by now, 0 when it is the
// caller, else the system's reason (EPERM: the caller may not signal it).
bool terminateProcess(const ProcEntry &process, TerminatedList &terminated);
// Sends `signal` to the process the entry describes, provided it is still
// that process and not the caller; false, with errno set as above, if not.
bool signalProcess(const ProcEntry &process, int signal);
// Sends SIGKILL to every process on the list and empties it.
void killTerminated(TerminatedList &terminated);
// Every process on a list is best held by a descriptor of its own until its
// SIGKILL: raises the soft limit on open files as far as the hard limit
// allows. Beyond it, processes are held by their start time instead.
void allowDescriptorsForTermination();

// ---------------------------------------------------------------- codecs

int nextToken(std::string_view &token, std::string_view line, std::size_t &pos);

std::int32_t parseExpire(std::string_view text);
std::int32_t parseExpireAt(std::string_view text, std::time_t now);

int parsePhone(std::uint32_t &area, std::uint32_t &local, std::string_view text, int localDigits);

// Room for the longest layout two 15-character formats can give.
inline constexpr std::size_t phoneTextSize = 64;
const char *formatPhone(std::span<char> out, std::uint32_t area, std::uint32_t local,
                        std::string_view areaFormat, std::string_view localFormat);
int formatDigitCount(std::string_view format);

inline constexpr std::size_t byteTextSize = 32;
const char *formatBytes(std::span<char> out, std::uint64_t bytes);

int currentTimeClass(const TimeClassTable &table);
int timeClassAt(const TimeClassTable &table, int weekday, int hour);

// ---------------------------------------------------------------- utilities

[[noreturn]] void errorExit(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Makes the process end with status 1, after "stdout" and the reason on
// standard error, when what it printed on standard output could not all be
// written: called first thing by every command that prints.
void checkOutputAtExit();
// Tells of something the program got over but the administrator should
// hear of (a record file held by someone else for too long): a line on
// standard error, unless the program sends warnings elsewhere.
void warning(const char *format, ...) __attribute__((format(printf, 1, 2)));
using WarningOutput = void (*)(const char *message);
void setWarningOutput(WarningOutput output);
[[noreturn]] void perrorExit(const char *label);
// Ends the process when a condition the program cannot do without has failed:
// names where, quotes the condition and gives the system's reason.
[[noreturn]] void checkFailed(const char *source, const char *operation, const char *condition);

// The text after the last "/" of a path, or the whole path without one.
const char *baseName(const char *path);
int runProgram(const char *path, ...) __attribute__((sentinel));
// Runs a program with a ready argument vector and waits for it: by its
// path, or looked up on PATH when `search` is set. A program that cannot
// be started prints `label` and the reason and gives 1.
int runVector(const char *program, const char *const *argv, bool search, const char *label);
void fCopy(const char *source, const char *destination);

// Creates and opens a fresh temporary file from a "/tmp/XXXXXX" template in
// one step; the template receives the name. Null when that fails.
std::FILE *createTempFile(std::span<char> nameTemplate);

// Copies a text into a fixed buffer, cut to its capacity and terminated.
void copyText(std::span<char> out, std::string_view text);

// ---------------------------------------------------------------- monitor support

// ---------------------------------------------------------------- cleaners

inline constexpr const char *reapFilesConfigPath = "/usr/lib/Kestrune/ku_reapfiles.config";
inline constexpr const char *reapProcsConfigPath = "/usr/lib/Kestrune/ku_reapprocs.config";

// The words of one configuration line that follow its keyword.
struct ConfigWords {
    std::string_view line;
    std::size_t pos = 0;
    // The next word; false at the end of the line.
    bool next(std::string_view &word) { return nextToken(word, line, pos) == 0; }
};

// Reads a cleaner's configuration file and hands each line's first word and
// the words after it to `apply`, in file order. A line is read whole, however
// long: a piece of it must never be taken for a line of its own. Ends through
// perrorExit("fopen") when the file cannot be opened.
void readCleanerConfig(
    const char *path,
    const std::function<void(std::string_view keyword, ConfigWords words)> &apply);
// Keywords are compared without regard to case.
bool sameKeyword(std::string_view word, std::string_view keyword);

// Owners whose files or processes a cleaner leaves alone. Ids are kept
// whole: one cut to 16 bits would spare another user and not this one.
template <std::size_t Capacity> using ExemptList = FixedList<uid_t, Capacity>;

// The id of each following word that names a login, in order; words that
// name no user are passed over. False at the end of the line.
bool nextLoginUid(ConfigWords &words, uid_t &uid);

// Adds the ids of the logins on the rest of the line; what does not fit is
// dropped.
template <std::size_t Capacity> void addExemptions(ExemptList<Capacity> &exempt, ConfigWords words)
{
    uid_t uid = 0;
    while (!exempt.full() && nextLoginUid(words, uid))
        exempt.push(uid);
}

// Whether an owner is exempt or has a session in the login table.
template <std::size_t Capacity>
bool ownerSpared(const ExemptList<Capacity> &exempt, const LoggedInUsers &loggedIn, uid_t uid)
{
    for (uid_t spared : exempt) {
        if (spared == uid)
            return true;
    }
    return loggedIn.contains(uid);
}

// The parent of the process now running under `pid`; none if it is gone.
std::optional<pid_t> parentOf(pid_t pid);

// Sends SIGKILL to each process on the list that `stillDue` keeps, through
// the descriptor that has held it since its SIGTERM, and empties the list.
void killTerminatedIf(TerminatedList &terminated,
                      const std::function<bool(const TerminatedProcess &)> &stillDue);

// ---------------------------------------------------------------- maintenance commands

// One bit for each 16-bit user id.
using UidSet = std::bitset<65536>;

// The login of each 16-bit user id, each asked of the password database at
// most once per run: the database is read through once, and only the ids it
// did not show are then looked up one by one (a source that does not
// enumerate may still hold them). The first entry of an id wins, as with
// getpwuid; ids of 65535 and above never name an account.
class PasswordTable
{
  public:
    PasswordTable();
    // Reads the database through, unless done already.
    void load();
    // The login, whole; null when the id has none. Valid for the table's life.
    const char *nameOf(std::uint16_t uid);

  private:
    void remember(std::uint16_t uid, const char *name);

    bool loaded_ = false;
    std::vector<std::int32_t> where_; // index into names_, or a mark
    std::deque<std::string> names_;   // entries never move once added
};

// A program a scheduled pass runs by path for an account, with its login,
// and the ids it has been run for (or passed over) in this run.
struct AccountAction {
    const char *program;
    UidSet done{};
};

// Runs passes over the account file until one finds nothing to do. A pass
// reads the time, then looks at each user id's first record only (the one
// every command acts on): `choose` gives the action due for it, or null. At
// the first account due for an action not yet taken on its id, the pass
// closes the file and runs the program with the account's login. An id whose
// login does not lead back to it is passed over, and no action is taken
// twice on one id, so every run ends whatever the programs do.
void runDueAccounts(
    PasswordTable &passwords,
    const std::function<AccountAction *(const UserRecord &, std::time_t now)> &choose);

// Whether an expiry time has come: set, and not later than now.
inline bool isDue(std::int32_t expire, std::time_t now)
{
    return expire != 0 && expire <= now;
}

// ---------------------------------------------------------------- account commands

// A number typed on a command line, read as strtol reads base 10 (leading
// blanks and a sign, up to the first non-digit, 0 without digits), held to
// the range of int rather than cut into another value.
int decimalArgument(const char *text);

// The allowance set that enrolment, the limits editor and a subscription
// give an account.
struct Allowances {
    std::int32_t time = 0;
    std::int32_t session = 0;
    int priority = 4;
    std::array<std::int16_t, 4> classes{classUnlimited, classUnlimited, classUnlimited,
                                        classUnlimited};
};
// Reads <time_limit> [session_limit] [priority] from the first three of
// `limits` and up to four class limits (each cut to 16 bits) from
// `classLimits`; ends with "invalid session_limit: %d" or "invalid
// priority: %d".
Allowances readAllowances(std::span<char *const> limits, std::span<char *const> classLimits);
// Sets every limit and its "left" field, and the priority; keeps the other
// flags.
void applyAllowances(UserRecord &record, const Allowances &allowances);
// The arguments from `from` on, or none.
std::span<char *const> argumentsFrom(std::span<char *const> arguments, std::size_t from);

// parsePhone for a number that must hold a local part: 1 also when the
// digits give an area part alone.
int parseFullPhone(std::uint32_t &area, std::uint32_t &local, std::string_view text,
                   int localDigits);

// Ends a command whose record could not be written: "must be root" for a
// caller who holds the file read-only, else the system's reason.
[[noreturn]] void writeFailed(const char *path);
// The record just read is replaced, or the command ends through writeFailed.
void rewriteAccount(const UserRecord &record);

// Drops the record at `index` from the open account or ban file: the other
// records go to a fresh file beside it, which then takes its place while its
// lock is still held. Any failure ends the process with the file as it was;
// `program` names the command in the diagnostic.
void userFileDrop(long index, const char *program);
void banFileDrop(long index, const char *program);
// Whether the record at an index, counted from 0, is to go.
using RecordFilter = std::function<bool(long index)>;
// As userFileDrop, for every record that `dropped` names; `condition` is
// quoted when the fresh file cannot be created.
void userFileDropIf(const RecordFilter &dropped, const char *program, const char *condition);

// Removes the first account record of a named user and confirms it with
// "user deleted: %s"; the system user stays.
void removeAccount(const char *login, const char *program);

// The words of a phone number typed as several arguments, joined by single
// blanks, whatever their length.
std::string joinWords(std::span<char *const> words);
