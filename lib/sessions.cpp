// Snapshots of who is logged in (the login records) and what runs (the
// kernel's process directory), and the two questions asked of them.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utmp.h>

#include "common.h"
#include "internal.h"

DeviceNumber deviceNumberOf(dev_t rdev)
{
    // The kernel's own layout of a terminal number in /proc/<pid>/stat.
    DeviceNumber major = static_cast<DeviceNumber>(::major(rdev));
    DeviceNumber minor = static_cast<DeviceNumber>(::minor(rdev));
    return (minor & 0xFF) | (major << 8) | ((minor & ~0xFFu) << 12);
}

namespace
{

// A field of the login record, cut at its first non-printable character.
template <std::size_t N> std::string_view printablePrefix(const char (&field)[N])
{
    std::size_t length = 0;
    while (length < N && std::isprint(static_cast<unsigned char>(field[length])))
        ++length;
    return std::string_view(field, length);
}

} // namespace

std::string loginName(const utmp &record)
{
    // The whole name field: a name cut short can be another user's.
    return std::string(printablePrefix(record.ut_user));
}

std::optional<LoginEntry> loginEntryOf(const utmp &record, const UidLookup &uidOf)
{
    if (record.ut_type != USER_PROCESS)
        return std::nullopt;
    std::optional<uid_t> uid = uidOf(loginName(record));
    if (!uid)
        return std::nullopt;
    LoginEntry entry;
    entry.uid = *uid;
    copyText(entry.line,
             std::string_view(record.ut_line, strnlen(record.ut_line, sizeof record.ut_line)));
    entry.loginTime = static_cast<std::int32_t>(record.ut_tv.tv_sec);
    return entry;
}

std::optional<LoginEntry> loginEntryOf(const utmp &record)
{
    return loginEntryOf(record, [](const std::string &login) { return loginUid(login.c_str()); });
}

namespace
{

// Past this many logins the password database is read through once rather
// than asked name by name: with a plain password file every lookup reads
// the file from its top, and a host with thousands of logins would pay
// their square.
constexpr std::size_t namesAskedOneByOne = 16;

// The ids of the logins the records name; each name asked at most once.
class LoginIds
{
  public:
    explicit LoginIds(const std::vector<utmp> &records)
    {
        std::unordered_set<std::string> wanted;
        for (const utmp &record : records) {
            if (record.ut_type == USER_PROCESS)
                wanted.insert(loginName(record));
        }
        if (wanted.size() > namesAskedOneByOne)
            readThrough(wanted);
    }
    // A name the database did not show when read through (a source that
    // does not list its users) is asked of alone.
    std::optional<uid_t> operator()(const std::string &login)
    {
        auto known = ids_.find(login);
        if (known == ids_.end())
            known = ids_.emplace(login, loginUid(login.c_str())).first;
        return known->second;
    }

  private:
    // The first entry of a name wins, as getpwnam finds it.
    void readThrough(const std::unordered_set<std::string> &wanted)
    {
        setpwent();
        while (const passwd *entry = getpwent()) {
            if (wanted.count(entry->pw_name) != 0)
                ids_.emplace(entry->pw_name, entry->pw_uid);
        }
        endpwent();
    }

    std::unordered_map<std::string, std::optional<uid_t>> ids_;
};

} // namespace

void readUtmp(LoginTable &logins)
{
    if (!readUtmpIfPresent(logins))
        perrorExit("fopen");
}

bool readUtmpIfPresent(LoginTable &logins)
{
    std::FILE *file = std::fopen(utmpPath, "rbe");
    if (file == nullptr)
        return false;
    std::vector<utmp> records;
    utmp record;
    while (std::fread(&record, sizeof record, 1, file) == 1)
        records.push_back(record);
    std::fclose(file);
    LoginIds ids(records);
    logins.clear();
    for (const utmp &each : records) {
        std::optional<LoginEntry> entry = loginEntryOf(each, std::ref(ids));
        if (entry)
            logins.push_back(*entry);
    }
    return true;
}

namespace
{

// Reads the start of a small file of a process directory; false when the
// process is gone or the file is empty.
bool readProcFile(int processDir, const char *name, char *buffer, std::size_t size)
{
    UniqueFd fd(openat(processDir, name, O_RDONLY | O_CLOEXEC));
    if (!fd)
        return false;
    ssize_t got;
    do {
        got = read(fd.get(), buffer, size - 1);
    } while (got < 0 && errno == EINTR);
    if (got <= 0)
        return false;
    buffer[got] = '\0';
    return true;
}

template <typename T> bool parseNumber(std::string_view text, T &value)
{
    std::optional<T> number = readDecimal<T>(text, DecimalForm::whole);
    if (number)
        value = *number;
    return number.has_value();
}

// The fields of the stat line after the command name, counted from 0: the
// state is field 0, the parent field 1, the terminal field 4, the kernel's
// flags field 6, the start time field 19.
constexpr int stateField = 0;
constexpr int parentField = 1;
constexpr int ttyField = 4;
constexpr int flagsField = 6;
constexpr int startTimeField = 19;

constexpr unsigned kernelThreadFlag = 0x00200000; // PF_KTHREAD

} // namespace

// The stat line: "pid (comm) state ppid pgrp session tty ...". A process
// names itself, so the name runs from the first "(" to the last ")": blanks
// and parentheses in it cannot shift the fields that follow.
bool parseStat(std::string_view line, ProcEntry &entry)
{
    std::size_t open = line.find('(');
    std::size_t close = line.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        return false;
    copyText(entry.comm, line.substr(open + 1, close - open - 1));
    std::string_view token;
    std::size_t pos = close + 1;
    for (int field = 0; field <= startTimeField; ++field) {
        if (nextToken(token, line, pos) != 0)
            return false;
        if (field == stateField)
            entry.state = token[0];
        if (field == parentField && !parseNumber(token, entry.ppid))
            return false;
        if (field == flagsField) {
            unsigned flags = 0;
            if (!parseNumber(token, flags))
                return false;
            entry.kernelThread = (flags & kernelThreadFlag) != 0;
        }
        if (field == ttyField) {
            int tty = 0;
            if (!parseNumber(token, tty))
                return false;
            entry.tty = static_cast<DeviceNumber>(tty);
        }
    }
    return parseNumber(token, entry.startTime);
}

// The real and effective ids stand on the status line labelled "Uid:".
bool parseStatus(std::string_view status, ProcEntry &entry)
{
    std::size_t at = status.starts_with("Uid:") ? 0 : status.find("\nUid:");
    if (at == std::string_view::npos)
        return false;
    std::string_view line = status.substr(status[at] == '\n' ? at + 1 : at);
    line = line.substr(0, line.find('\n'));
    std::size_t pos = 4;
    std::string_view real, effective;
    return nextToken(real, line, pos) == 0 && nextToken(effective, line, pos) == 0 &&
           parseNumber(real, entry.uid) && parseNumber(effective, entry.euid);
}

namespace
{

// Ended but not yet reaped ('X' is the instant after).
bool isZombie(const ProcEntry &entry)
{
    return entry.state == 'Z' || entry.state == 'X';
}

// Both files are read relative to the process's own directory, which is
// looked up once.
bool readProcess(int procDir, const char *name, ProcEntry &entry)
{
    if (!parseNumber(std::string_view(name), entry.pid))
        return false;
    UniqueFd processDir(openat(procDir, name, O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!processDir)
        return false;
    char buffer[4096];
    return readProcFile(processDir.get(), "stat", buffer, sizeof buffer) &&
           parseStat(buffer, entry) &&
           readProcFile(processDir.get(), "status", buffer, sizeof buffer) &&
           parseStatus(buffer, entry);
}

} // namespace

void scanProcesses(ProcessTable &processes, const std::function<bool(const ProcEntry &)> &keep)
{
    DIR *directory = opendir("/proc");
    if (directory == nullptr)
        perrorExit("opendir");
    processes.clear();
    while (const dirent *item = readdir(directory)) {
        if (!isDigit(item->d_name[0]))
            continue;
        ProcEntry entry;
        if (readProcess(dirfd(directory), item->d_name, entry) && !isZombie(entry) && keep(entry))
            processes.push_back(entry);
    }
    closedir(directory);
}

void scanProcesses(ProcessTable &processes)
{
    scanProcesses(processes, [](const ProcEntry &) { return true; });
}

namespace
{

// What the stat line of the process now running under `pid` tells.
std::optional<ProcEntry> statOf(pid_t pid)
{
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d", static_cast<int>(pid));
    UniqueFd processDir(open(path, O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!processDir)
        return std::nullopt;
    char buffer[4096];
    ProcEntry entry;
    if (!readProcFile(processDir.get(), "stat", buffer, sizeof buffer) || !parseStat(buffer, entry))
        return std::nullopt;
    return entry;
}

} // namespace

std::optional<std::uint64_t> processStartTime(pid_t pid)
{
    std::optional<ProcEntry> entry = statOf(pid);
    if (!entry)
        return std::nullopt;
    return entry->startTime;
}

std::optional<pid_t> parentOf(pid_t pid)
{
    std::optional<ProcEntry> entry = statOf(pid);
    if (!entry)
        return std::nullopt;
    return entry->ppid;
}

int allLinesBusy(const ProcessTable &processes, DeviceNumber firstLine, int lines)
{
    // Every busy line needs a process of its own, so a table of N processes
    // can fill at most N lines: the marks never need more room than that.
    if (lines <= 0)
        return 1;
    if (static_cast<std::size_t>(lines) > processes.size())
        return 0;
    std::vector<bool> used(static_cast<std::size_t>(lines));
    std::size_t free = used.size();
    for (const ProcEntry &process : processes) {
        if (process.uid == 0)
            continue;
        DeviceNumber line = process.tty - firstLine;
        if (line < static_cast<DeviceNumber>(lines) && !used[line]) {
            used[line] = true;
            --free;
        }
    }
    return free == 0 ? 1 : 0;
}

int uidLoggedIn(const LoginTable &logins, uid_t uid)
{
    for (const LoginEntry &login : logins) {
        if (login.uid == uid)
            return 1;
    }
    return 0;
}

LoggedInUsers::LoggedInUsers(const LoginTable &logins)
{
    for (const LoginEntry &login : logins)
        sorted_.push_back(login.uid);
    std::sort(sorted_.begin(), sorted_.end());
}

bool LoggedInUsers::contains(uid_t uid) const
{
    return std::binary_search(sorted_.begin(), sorted_.end(), uid);
}
