// The throwaway system the system tests run in: private mount, PID and
// network namespaces with their own /proc, loopback, /usr overlay, /run,
// /tmp, /var/log, /dev and password database; and helpers to act in it as
// users do.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common.h"

namespace sandbox
{

// The cleaners' configuration files, which the cleaner tests write.
inline constexpr const char *reapFilesConfigPath = "/usr/lib/Kestrune/ku_reapfiles.config";
inline constexpr const char *reapProcsConfigPath = "/usr/lib/Kestrune/ku_reapprocs.config";

// Enters the sandbox, runs `tests` inside it and exits with their code.
[[noreturn]] void runInside(const std::function<int()> &tests);
bool active();
// Whether the sandbox's network has its loopback interface up.
bool loopbackUp();

// The users of the sandbox's password database.
struct User {
    const char *name;
    uid_t uid;
};
inline constexpr User root{"root", 0};
inline constexpr User alice{"alice", 1001};
inline constexpr User bob{"bob", 1002};
inline constexpr User guest{"guest", 1003};
inline constexpr User maximilian{"maximilian", 1004}; // longer than 8 characters
inline constexpr User maximili{"maximili", 1005};     // maximilian's first 8
inline constexpr User carol{"carol", 1006};
inline constexpr User carol2{"carol2", 1006};   // a second login of carol's uid
inline constexpr User wrapped{"wrapped", 4464}; // bigid's id cut to 16 bits
inline constexpr User bigid{"bigid", 70000};
inline constexpr User edge{"edge", 65535};
inline constexpr gid_t ttyGroup = 5;

class MoreUsers;

// Base of every test that needs the sandbox: skips outside it, and starts
// each test with an empty product directory, login records and /tmp, and
// no pppd pid files.
class SystemTest : public ::testing::Test
{
  protected:
    SystemTest();
    ~SystemTest() override;
    void SetUp() override;
    void TearDown() override;
    // Adds `count` users to the password database until the test ends, as
    // MoreUsers does.
    void addUsers(int count, uid_t firstUid, const std::function<std::string(int)> &name);

  private:
    std::unique_ptr<MoreUsers> moreUsers_;
};

// Files.
std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::string &content, mode_t mode = 0644);
bool exists(const std::string &path);
std::vector<std::string> listDirectory(const std::string &path);

std::string userRecordImage(const std::vector<UserRecord> &records);
void writeAccounts(const std::vector<UserRecord> &records);
std::string readAccounts();
void writeBans(const std::vector<BanRecord> &records);
void writeConfig(const std::string &text);
// The sample configuration that `make install` puts in place.
const std::string &sampleConfig();

// A record for a user with the values a fresh account gets.
UserRecord accountFor(uid_t uid);
// The same with `tLeft` total minutes left.
UserRecord withLeft(uid_t uid, std::int32_t tLeft);
// The user's first record in the account file (a test failure if none).
UserRecord recordOf(uid_t uid);

// Login records, written through the C library.
void addLogin(const char *user, const std::string &line, std::int32_t loginTime,
              short type = 7 /* USER_PROCESS */);

// Runs a program as a user and collects what it printed.
struct Result {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
};
// A name without "/" is a program installed in /usr/sbin or /usr/bin.
Result run(const std::vector<std::string> &argv, uid_t uid = 0);

// A program started but not yet waited for.
struct Running {
    pid_t pid = -1;
    int out = -1;
    int err = -1;
    bool finished(); // true once it has ended (it is then reaped)
    bool reaped = false;
    int status = -1;
};
// `environment` adds "NAME=value" entries to the program's PATH.
Running start(const std::vector<std::string> &argv, uid_t uid = 0,
              const std::vector<std::string> &environment = {});
Result finish(Running &running);

// Runs library code in a child process as a user, for code that ends the
// process; the child ends with status 0 if `body` returns.
Result runFunction(const std::function<void()> &body, uid_t uid = 0);

// A new pseudo-terminal in raw mode whose slave is the user's, as a login
// program leaves it: the master's descriptor, the slave's path and its line.
struct UserTerminal {
    int master = -1;
    std::string slave;
    std::string line;
};
UserTerminal openUserTerminal(uid_t uid);

// What a pseudo-terminal's master gives within `timeout` of waiting, and
// as long as more follows at once: a notice arrives in pieces.
std::string readTerminalMaster(int master, std::chrono::milliseconds timeout);

// A running process of a user, ended when the object goes.
class UserProcess
{
  public:
    struct Options {
        uid_t uid = 1001;
        uid_t euid = static_cast<uid_t>(-1); // as uid unless given
        bool terminal = false;               // a session with its own controlling terminal
        std::string name;                    // the command name it takes, if not empty
        bool ignoreTerm = false;             // SIGTERM does not end it
        // A terminal that is open but nobody's controlling terminal.
        bool terminalOnlyOpen = false;
    };
    explicit UserProcess(const Options &options);
    ~UserProcess();
    UserProcess(const UserProcess &) = delete;
    UserProcess &operator=(const UserProcess &) = delete;

    pid_t pid() const { return pid_; }
    const std::string &line() const { return line_; } // "pts/N", or empty
    std::string path() const { return "/dev/" + line_; }
    DeviceNumber terminal() const { return terminal_; } // 0 without one

    // Waits for the process to end and reaps it: its exit status, or 128 +
    // the signal that ended it; -1 if it still runs after `timeout`.
    int waitForExit(std::chrono::milliseconds timeout);
    bool running();
    // What was written to the terminal (raw, byte for byte) within `timeout`
    // after the first byte arrived, or nothing if none came in `timeout`.
    std::string readTerminal(std::chrono::milliseconds timeout);

  private:
    pid_t pid_ = -1;
    int master_ = -1;
    std::string line_;
    DeviceNumber terminal_ = 0;
    int status_ = -1;
};

// The processes that run now (zombies left out) with `uid` as their real
// or effective user id.
std::vector<pid_t> processesOf(uid_t uid);

// `count` processes of a user, as a busy host has them: children of one
// root process, in a process group of their own, which reaps them as they
// end, as init would, and ends with the last of them. Whatever still runs
// is killed when the object goes.
class Crowd
{
  public:
    Crowd(uid_t uid, int count);
    ~Crowd();
    Crowd(const Crowd &) = delete;
    Crowd &operator=(const Crowd &) = delete;

    pid_t pid() const { return parent_; } // the root process
    // How many of the user's processes still run.
    int running() const;
    // Whether all of them ended within `timeout`: the root process then
    // ended too.
    bool ended(std::chrono::milliseconds timeout = std::chrono::seconds(5));

  private:
    pid_t parent_ = -1;
    bool reaped_ = false;
};

// A process of `parentUid` with `count` children of `uid` that ended at
// once and that it never reaps while it lives: the user's zombies. The
// parent is killed when the object goes.
class Zombies
{
  public:
    Zombies(uid_t uid, int count, uid_t parentUid);
    ~Zombies();
    Zombies(const Zombies &) = delete;
    Zombies &operator=(const Zombies &) = delete;

    pid_t parent() const { return parent_; }
    // How many of the children are zombies now.
    int count() const;
    // Waits for the parent to end: its exit status, or 128 + the signal
    // that ended it; -1 if it still runs after `timeout`.
    int waitForParentExit(std::chrono::milliseconds timeout);

  private:
    pid_t parent_ = -1;
    int status_ = -1;
};

// Lines that reached the sandbox's /dev/log since the last call.
std::vector<std::string> syslogLines();

// ---------------------------------------------------------------- the monitor

// A linewatchd started as an administrator starts it: the starting process
// returns at once and the daemon goes on; the daemon is killed and reaped
// when the object goes.
class Monitor
{
  public:
    // Started by `command` (by default, plainly) as an administrator starts it.
    explicit Monitor(const std::vector<std::string> &environment = {},
                     const std::vector<std::string> &command = {"linewatchd"});
    ~Monitor();
    Monitor(const Monitor &) = delete;
    Monitor &operator=(const Monitor &) = delete;

    pid_t pid() const { return pid_; }
    // Waits until the daemon sleeps towards the next minute: its cycle is
    // done. False if it does not within `timeout`.
    bool waitForCycle(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Waits for the daemon's end: its exit status, or -1 if it still runs.
    int waitForExit(std::chrono::milliseconds timeout);
    // A field of the daemon's /proc/<pid>/stat line, counted from 1.
    std::string statField(int field) const;

    Result starter; // what the starting process printed, and its status

  private:
    pid_t pid_ = -1;
    int status_ = -1;
};

// The ids of the processes that run under a command name.
std::vector<pid_t> processesNamed(const std::string &name);

// Starts a program as root in which the listed system calls fail with
// `error`, as on a host out of some resource or a kernel without them.
Running startFailingCalls(const std::vector<std::string> &argv, const std::vector<long> &calls,
                          int error);
// Runs a program in which every fork fails, as when the host is out of
// processes.
Result runWithoutFork(const std::vector<std::string> &argv);

// A "mail" program that records its arguments and its input, first on the
// PATH that `mailPath()` gives.
void installFakeMail();
inline constexpr const char *fakeMailPath = "PATH=/tmp/bin:/usr/bin:/bin";
struct Mail {
    std::vector<std::string> arguments;
    std::string body;
};
std::vector<Mail> mailsSent();

// Sets a terminal's (or any file's) access and modification times.
void setTimes(const std::string &path, std::time_t access, std::time_t modification);
struct stat statusOf(const std::string &path);

// A syslog line as it reached /dev/log: "<priority>" first.
bool syslogHas(const std::vector<std::string> &lines, int priority, const std::string &text);

// ---------------------------------------------------------------- cleaners

// ---------------------------------------------------------------- maintenance commands

// ---------------------------------------------------------------- account commands

// A command line and the message, without its newline, that refuses it.
struct CommandRefusal {
    std::vector<std::string> argv;
    std::string message;
};
// The run ended with status 1 after the message and a newline on standard
// output, and nothing on standard error.
void expectRefused(const Result &result, const std::string &message);
// An expiry a program computed from `text` at some moment of its run.
void expectExpiry(std::int32_t expire, const std::string &text, std::time_t earliest,
                  std::time_t latest);

// The account file's records, decoded; a trailing piece is left out.
std::vector<UserRecord> accountRecords();
std::string banRecordImage(const std::vector<BanRecord> &records);
std::string readBans();

// Covers the product directory with a small file system that holds copies
// of its files and has no block left, so that no record file can grow; or
// no inode left, so that no file can be made there (the files still grow).
// The directory as it was comes back when the object goes.
class FullProductDirectory
{
  public:
    enum class Exhausted { blocks, inodes };
    explicit FullProductDirectory(Exhausted what = Exhausted::blocks);
    ~FullProductDirectory();
    FullProductDirectory(const FullProductDirectory &) = delete;
    FullProductDirectory &operator=(const FullProductDirectory &) = delete;
};

// Puts another program at an installed program's path (such as
// /usr/sbin/ku_delete) until the object goes.
class StandIn
{
  public:
    StandIn(const std::string &installed, const std::string &replacement);
    ~StandIn();
    StandIn(const StandIn &) = delete;
    StandIn &operator=(const StandIn &) = delete;

  private:
    std::string installed_;
};

// Puts a password file in for /etc/passwd until the object goes: the
// sandbox's own users, then `count` more, the i-th (from 0) named name(i)
// with user id firstUid + i, group 100 and home /tmp.
class MoreUsers
{
  public:
    MoreUsers(int count, uid_t firstUid, const std::function<std::string(int)> &name);

  private:
    StandIn standIn_;
};

// Names in the product directory that are none of its files: the fresh
// files of rewrites that did not finish (they start with a dot).
std::vector<std::string> strayProductFiles();
// No copy of a record file was left behind, in /tmp or beside the file.
void expectNoCopiesLeft();

} // namespace sandbox
