// Builds the system tests' sandbox and the helpers that act inside it.
#include "sandbox.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmpx.h>

namespace sandbox
{
namespace
{

bool inside = false;
bool loopback = false;
int syslogSocket = -1;
std::string sampleConfigText;

[[noreturn]] void setupFailed(const std::string &what)
{
    std::fprintf(stderr, "cannot build the test sandbox: %s: %s\n", what.c_str(),
                 std::strerror(errno));
    std::exit(2);
}

void must(bool ok, const std::string &what)
{
    if (!ok)
        setupFailed(what);
}

void mountOrFail(const char *source, const std::string &target, const char *type,
                 unsigned long flags, const std::string &options = "")
{
    must(mount(source, target.c_str(), type, flags, options.empty() ? nullptr : options.c_str()) ==
             0,
         "mount " + target);
}

void makeDirectory(const std::string &path, mode_t mode = 0755)
{
    must(mkdir(path.c_str(), mode) == 0 || errno == EEXIST, "mkdir " + path);
}

void bindFile(const std::string &source, const std::string &target)
{
    if (!exists(target))
        writeFile(target, "");
    mountOrFail(source.c_str(), target, nullptr, MS_BIND);
}

const char *passwdText = "root:x:0:0:root:/root:/bin/sh\n"
                         "daemon:x:1:1:daemon:/usr/sbin:/usr/sbin/nologin\n"
                         "alice:x:1001:100:Alice:/tmp:/bin/sh\n"
                         "bob:x:1002:100:Bob:/tmp:/bin/sh\n"
                         "guest:x:1003:100:Guest:/tmp:/bin/sh\n"
                         "maximilian:x:1004:100:Long name:/tmp:/bin/sh\n"
                         "maximili:x:1005:100:Short name:/tmp:/bin/sh\n"
                         "carol:x:1006:100:Carol:/tmp:/bin/sh\n"
                         "carol2:x:1006:100:Carol again:/tmp:/bin/sh\n"
                         "wrapped:x:4464:100:Id of bigid cut to 16 bits:/tmp:/bin/sh\n"
                         "bigid:x:70000:100:Id beyond 16 bits:/tmp:/bin/sh\n"
                         "edge:x:65535:100:Id 65535:/tmp:/bin/sh\n"
                         "nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n";

const char *groupText = "root:x:0:\n"
                        "daemon:x:1:\n"
                        "tty:x:5:\n"
                        "users:x:100:\n"
                        "nogroup:x:65534:\n";

void writeIdentities(const std::string &scratch)
{
    writeFile(scratch + "/passwd", passwdText);
    writeFile(scratch + "/group", groupText);
    writeFile(scratch + "/nsswitch.conf", "passwd: files\ngroup: files\nshadow: files\n");
    for (const char *name : {"passwd", "group", "nsswitch.conf"})
        bindFile(scratch + "/" + name, std::string("/etc/") + name);
}

// A private /dev: the host's basic nodes, a fresh set of pseudo-terminals
// numbered from 0, and a /dev/log socket the tests read.
void buildDevices(const std::string &scratch)
{
    std::string hostDev = scratch + "/hostdev";
    makeDirectory(hostDev);
    mountOrFail("/dev", hostDev, nullptr, MS_BIND | MS_REC);
    mountOrFail("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=755");
    for (const char *node : {"null", "zero", "urandom", "random", "tty"})
        bindFile(hostDev + "/" + node, std::string("/dev/") + node);
    makeDirectory("/dev/pts");
    mountOrFail("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC,
                "newinstance,ptmxmode=0666,mode=620,gid=" + std::to_string(ttyGroup));
    must(symlink("pts/ptmx", "/dev/ptmx") == 0, "symlink /dev/ptmx");
    must(symlink("/proc/self/fd", "/dev/fd") == 0, "symlink /dev/fd");

    syslogSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "/dev/log");
    must(syslogSocket >= 0 &&
             bind(syslogSocket, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0,
         "bind /dev/log");
    chmod("/dev/log", 0666);
}

void copyFile(const std::string &from, const std::string &to, mode_t mode)
{
    std::ifstream in(from, std::ios::binary);
    must(in.good(), "read " + from);
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
    out.close();
    must(out.good() && chmod(to.c_str(), mode) == 0, "install " + to);
}

// Where `make install` puts them: the administrator's programs in
// /usr/sbin, the users' in /usr/bin.
void installPrograms()
{
    for (const char *directory : {"sbin", "bin"}) {
        std::string built = std::string(KESTRUNE_PROGRAM_DIR) + "/" + directory;
        for (const std::string &name : listDirectory(built))
            copyFile(built + "/" + name, std::string("/usr/") + directory + "/" + name, 0755);
    }
}

// The network namespace's loopback interface starts down: bring it up, so
// that a server started by a test listens on an address of its own. A
// container may withhold the right to (CAP_NET_ADMIN); then only the tests
// that need a server cannot run.
bool bringUpLoopback()
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    must(fd >= 0, "socket for lo");
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    must(ioctl(fd, SIOCGIFFLAGS, &request) == 0, "read the flags of lo");
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
    bool up = ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    close(fd);
    return up;
}

void build()
{
    // Nothing mounted here may reach the host.
    mountOrFail(nullptr, "/", nullptr, MS_REC | MS_PRIVATE);
    mountOrFail("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC);
    loopback = bringUpLoopback();

    // Scratch space for the sandbox itself, hidden again at the end.
    mountOrFail("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=755");
    std::string scratch = "/run/sandbox";
    makeDirectory(scratch);
    makeDirectory(scratch + "/usr-upper");
    makeDirectory(scratch + "/usr-work");
    mountOrFail("overlay", "/usr", "overlay", 0,
                "lowerdir=/usr,upperdir=" + scratch + "/usr-upper,workdir=" + scratch +
                    "/usr-work");
    // Before /tmp is covered: the checkout and the build may live there.
    installPrograms();
    sampleConfigText = readFile(KESTRUNE_SAMPLE_CONFIG);
    writeIdentities(scratch);
    buildDevices(scratch);

    mountOrFail("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777");
    mountOrFail("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=755");
    struct stat varRun;
    if (lstat("/var/run", &varRun) == 0 && !S_ISLNK(varRun.st_mode))
        mountOrFail("tmpfs", "/var/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=755");
    // A login program under test records logins in wtmp, lastlog and btmp:
    // never in the host's.
    mountOrFail("tmpfs", "/var/log", "tmpfs", MS_NOSUID | MS_NODEV, "mode=755");
    for (const char *log : {"wtmp", "lastlog", "btmp"})
        writeFile(std::string("/var/log/") + log, "", 0660);

    // Orphans of the programs under test come back here to be reaped.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    must(chdir("/") == 0, "chdir /");
    inside = true;
}

void removeTree(const std::string &path)
{
    for (const std::string &name : listDirectory(path)) {
        std::string child = path + "/" + name;
        struct stat status;
        if (lstat(child.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
            removeTree(child);
        remove(child.c_str());
    }
}

void reapOrphans()
{
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

std::string readAll(int fd)
{
    std::string text;
    char buffer[4096];
    lseek(fd, 0, SEEK_SET);
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(got));
    return text;
}

int statusCode(int waitStatus)
{
    return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
}

// Waits for a child, killing it when it takes longer than any test should.
int waitWithDeadline(pid_t child)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            ADD_FAILURE() << "child " << child << " did not finish in time";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return statusCode(status);
}

// In a child: become the user, giving up root's groups first.
void becomeUser(uid_t uid, uid_t euid = static_cast<uid_t>(-1))
{
    if (uid == 0)
        return;
    if (euid == static_cast<uid_t>(-1))
        euid = uid;
    if (setgroups(0, nullptr) != 0 || setgid(100) != 0 || setresuid(uid, euid, uid) != 0)
        _exit(126);
}

} // namespace

[[noreturn]] void runInside(const std::function<int()> &tests)
{
    // A network of its own, too: a server a test starts is reachable from
    // the sandbox only, and tests side by side share no ports.
    if (unshare(CLONE_NEWNS | CLONE_NEWPID | CLONE_NEWNET) != 0)
        setupFailed("unshare");
    std::fflush(nullptr);
    pid_t child = fork();
    must(child >= 0, "fork");
    if (child == 0) {
        build();
        std::exit(tests());
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    // With the sandbox's first process gone, this one can start no other
    // (not even a leak checker's helper): leave at once.
    std::fflush(nullptr);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
}

bool active()
{
    return inside;
}

bool loopbackUp()
{
    return loopback;
}

const std::string &sampleConfig()
{
    return sampleConfigText;
}

void SystemTest::SetUp()
{
    if (!active())
        GTEST_SKIP() << "needs root and the sandbox";
    removeTree(productDir);
    makeDirectory(productDir);
    removeTree("/tmp");
    writeFile(utmpPath, "", 0664);
    for (const std::string &name : listDirectory("/var/run")) {
        if (name.starts_with("ppp"))
            unlink(("/var/run/" + name).c_str());
    }
    syslogLines();
}

SystemTest::SystemTest() = default;
SystemTest::~SystemTest() = default;

void SystemTest::TearDown()
{
    moreUsers_.reset();
    if (active())
        reapOrphans();
}

void SystemTest::addUsers(int count, uid_t firstUid, const std::function<std::string(int)> &name)
{
    moreUsers_ = std::make_unique<MoreUsers>(count, firstUid, name);
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string &path, const std::string &content, mode_t mode)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
    must(fd >= 0, "create " + path);
    must(write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()),
         "write " + path);
    must(fchmod(fd, mode) == 0 && close(fd) == 0, "close " + path);
}

bool exists(const std::string &path)
{
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

std::vector<std::string> listDirectory(const std::string &path)
{
    std::vector<std::string> names;
    DIR *directory = opendir(path.c_str());
    if (directory == nullptr)
        return names;
    while (const dirent *item = readdir(directory)) {
        std::string name = item->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(directory);
    return names;
}

std::string userRecordImage(const std::vector<UserRecord> &records)
{
    std::string image;
    for (const UserRecord &record : records) {
        UserRecordBytes bytes = encodeUserRecord(record);
        image.append(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    }
    return image;
}

void writeAccounts(const std::vector<UserRecord> &records)
{
    writeFile(userFilePath, userRecordImage(records));
}

std::string readAccounts()
{
    return readFile(userFilePath);
}

void writeBans(const std::vector<BanRecord> &records)
{
    std::string image;
    for (const BanRecord &record : records) {
        BanRecordBytes bytes = encodeBanRecord(record);
        image.append(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    }
    writeFile(banFilePath, image);
}

void writeConfig(const std::string &text)
{
    writeFile(configPath, text);
}

UserRecord accountFor(uid_t uid)
{
    UserRecord record;
    record.uid = static_cast<std::uint16_t>(uid);
    record.flags = withPriority(0, 4);
    record.tLeft = record.tLimit = 600;
    record.sLeft = record.sLimit = 120;
    record.cLeft.fill(classUnlimited);
    record.cLimit.fill(classUnlimited);
    record.stamp = 1700000000;
    return record;
}

UserRecord withLeft(uid_t uid, std::int32_t tLeft)
{
    UserRecord record = accountFor(uid);
    record.tLeft = tLeft;
    return record;
}

UserRecord recordOf(uid_t uid)
{
    for (const UserRecord &record : accountRecords()) {
        if (record.uid == uid)
            return record;
    }
    ADD_FAILURE() << "no record of " << uid;
    return UserRecord{};
}

void addLogin(const char *user, const std::string &line, std::int32_t loginTime, short type)
{
    utmpx record{};
    record.ut_type = type;
    record.ut_pid = getpid();
    std::strncpy(record.ut_user, user, sizeof record.ut_user);
    std::strncpy(record.ut_line, line.c_str(), sizeof record.ut_line);
    std::strncpy(record.ut_id, line.c_str() + (line.size() > 4 ? line.size() - 4 : 0),
                 sizeof record.ut_id);
    record.ut_tv.tv_sec = loginTime;
    ASSERT_EQ(utmpxname(utmpPath), 0);
    setutxent();
    ASSERT_NE(pututxline(&record), nullptr) << std::strerror(errno);
    endutxent();
}

namespace
{

// Forks a child whose standard output and error go to fresh memory files.
Running forkCaptured(uid_t uid, const std::function<void()> &child)
{
    Running running;
    running.out = memfd_create("stdout", MFD_CLOEXEC);
    running.err = memfd_create("stderr", MFD_CLOEXEC);
    std::fflush(nullptr);
    running.pid = fork();
    if (running.pid == 0) {
        int input = open("/dev/null", O_RDONLY);
        dup2(input, 0);
        dup2(running.out, 1);
        dup2(running.err, 2);
        becomeUser(uid);
        child();
        std::fflush(nullptr);
        _exit(0);
    }
    return running;
}

} // namespace

bool Running::finished()
{
    int waitStatus = 0;
    if (!reaped && waitpid(pid, &waitStatus, WNOHANG) == pid) {
        reaped = true;
        status = statusCode(waitStatus);
    }
    return reaped;
}

namespace
{

std::string installedPath(const std::string &program)
{
    if (program.find('/') != std::string::npos)
        return program;
    return exists("/usr/sbin/" + program) ? "/usr/sbin/" + program : "/usr/bin/" + program;
}

// In a child: runs the program with PATH and the given variables, the
// later of two entries of one name winning.
[[noreturn]] void execute(const std::vector<std::string> &argv,
                          const std::vector<std::string> &extra)
{
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> variables{"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
    for (const std::string &entry : extra) {
        std::string name = entry.substr(0, entry.find('=') + 1);
        std::erase_if(variables, [&](const std::string &v) { return v.starts_with(name); });
        variables.push_back(entry);
    }
    std::vector<char *> environment;
    for (std::string &entry : variables)
        environment.push_back(entry.data());
    environment.push_back(nullptr);
    execve(installedPath(argv.at(0)).c_str(), args.data(), environment.data());
    _exit(127);
}

} // namespace

Running start(const std::vector<std::string> &argv, uid_t uid,
              const std::vector<std::string> &environment)
{
    return forkCaptured(uid, [&] { execute(argv, environment); });
}

Result finish(Running &running)
{
    Result result;
    result.status = running.reaped ? running.status : waitWithDeadline(running.pid);
    result.out = readAll(running.out);
    result.err = readAll(running.err);
    close(running.out);
    close(running.err);
    running = Running{};
    return result;
}

Result run(const std::vector<std::string> &argv, uid_t uid)
{
    Running running = start(argv, uid);
    return finish(running);
}

Result runFunction(const std::function<void()> &body, uid_t uid)
{
    Running running = forkCaptured(uid, body);
    return finish(running);
}

UserTerminal openUserTerminal(uid_t uid)
{
    UserTerminal terminal;
    terminal.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(terminal.master, 0);
    EXPECT_EQ(grantpt(terminal.master), 0);
    EXPECT_EQ(unlockpt(terminal.master), 0);
    // Raw: what the programs write arrives byte for byte.
    termios settings;
    EXPECT_EQ(tcgetattr(terminal.master, &settings), 0);
    cfmakeraw(&settings);
    EXPECT_EQ(tcsetattr(terminal.master, TCSANOW, &settings), 0);
    terminal.slave = ptsname(terminal.master);
    terminal.line = terminal.slave.substr(5); // without "/dev/"
    // As a login program leaves it: the user's, writable by the tty group.
    EXPECT_EQ(chown(terminal.slave.c_str(), uid, ttyGroup), 0);
    return terminal;
}

UserProcess::UserProcess(const Options &options)
{
    std::string slave;
    if (options.terminal || options.terminalOnlyOpen) {
        UserTerminal opened = openUserTerminal(options.uid);
        master_ = opened.master;
        slave = opened.slave;
        line_ = opened.line;
        struct stat status;
        EXPECT_EQ(stat(slave.c_str(), &status), 0);
        terminal_ = deviceNumberOf(status.st_rdev);
    }
    int ready[2];
    EXPECT_EQ(pipe2(ready, O_CLOEXEC), 0);
    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        close(ready[0]);
        setsid();
        if (options.terminal) {
            int fd = open(slave.c_str(), O_RDWR);
            if (fd < 0 || ioctl(fd, TIOCSCTTY, 0) != 0)
                _exit(125);
        } else if (options.terminalOnlyOpen && open(slave.c_str(), O_RDWR | O_NOCTTY) < 0) {
            _exit(125);
        }
        becomeUser(options.uid, options.euid);
        if (!options.name.empty())
            prctl(PR_SET_NAME, options.name.c_str());
        if (options.ignoreTerm)
            signal(SIGTERM, SIG_IGN);
        if (write(ready[1], "", 1) != 1)
            _exit(124);
        for (;;)
            pause();
    }
    close(ready[1]);
    char byte;
    EXPECT_EQ(read(ready[0], &byte, 1), 1) << "the user process did not start";
    close(ready[0]);
}

UserProcess::~UserProcess()
{
    if (running()) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0)
        close(master_);
}

int UserProcess::waitForExit(std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return status_;
}

bool UserProcess::running()
{
    int waitStatus = 0;
    if (status_ < 0 && pid_ > 0 && waitpid(pid_, &waitStatus, WNOHANG) == pid_)
        status_ = statusCode(waitStatus);
    return status_ < 0;
}

std::string readTerminalMaster(int master, std::chrono::milliseconds timeout)
{
    std::string text;
    pollfd ready{master, POLLIN, 0};
    int wait = static_cast<int>(timeout.count());
    char buffer[1024];
    while (master >= 0 && poll(&ready, 1, wait) == 1 && (ready.revents & POLLIN)) {
        ssize_t got = read(master, buffer, sizeof buffer);
        if (got <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(got));
        wait = 100; // the rest of a notice follows at once
    }
    return text;
}

std::string UserProcess::readTerminal(std::chrono::milliseconds timeout)
{
    return readTerminalMaster(master_, timeout);
}

namespace
{

// The fields of /proc/<pid>/stat after the command name, from the state
// (field 3) on; empty once the process is gone.
std::vector<std::string> statFields(const std::string &pid)
{
    std::string stat = readFile("/proc/" + pid + "/stat");
    std::size_t end = stat.rfind(')');
    std::vector<std::string> fields;
    if (end == std::string::npos)
        return fields;
    std::istringstream rest(stat.substr(end + 2));
    for (std::string field; rest >> field;)
        fields.push_back(field);
    return fields;
}

std::vector<std::string> processIds()
{
    std::vector<std::string> pids;
    for (const std::string &entry : listDirectory("/proc")) {
        if (entry.find_first_not_of("0123456789") == std::string::npos)
            pids.push_back(entry);
    }
    return pids;
}

// How many processes of a process group are in a state or, with `zombie`
// false, in any other state.
int countInGroup(pid_t group, bool zombie)
{
    int count = 0;
    for (const std::string &pid : processIds()) {
        if (pid == std::to_string(group))
            continue;
        std::vector<std::string> fields = statFields(pid);
        if (fields.size() > 2 && fields[2] == std::to_string(group) && (fields[0] == "Z") == zombie)
            ++count;
    }
    return count;
}

} // namespace

std::vector<pid_t> processesOf(uid_t uid)
{
    std::vector<pid_t> pids;
    const std::string id = std::to_string(uid);
    for (const std::string &pid : processIds()) {
        std::istringstream status(readFile("/proc/" + pid + "/status"));
        std::string real, effective;
        for (std::string line; std::getline(status, line);) {
            if (line.starts_with("Uid:"))
                std::istringstream(line.substr(4)) >> real >> effective;
        }
        std::vector<std::string> fields = statFields(pid);
        if ((real == id || effective == id) && !fields.empty() && fields[0] != "Z")
            pids.push_back(std::stoi(pid));
    }
    return pids;
}

Crowd::Crowd(uid_t uid, int count)
{
    int ready[2];
    EXPECT_EQ(pipe2(ready, O_CLOEXEC), 0);
    std::fflush(nullptr);
    parent_ = fork();
    if (parent_ == 0) {
        setpgid(0, 0); // a group of its own, to end it by
        for (int i = 0; i < count; ++i) {
            if (fork() == 0) {
                if (close(ready[1]) != 0 || setgroups(0, nullptr) != 0 || setgid(100) != 0 ||
                    setuid(uid) != 0)
                    _exit(126);
                for (;;)
                    pause();
            }
        }
        close(ready[1]);
        while (wait(nullptr) > 0 || errno == EINTR) {
        }
        _exit(0);
    }
    // Set here too, so that the group exists whichever runs first.
    setpgid(parent_, parent_);
    close(ready[1]);
    char byte;
    EXPECT_EQ(read(ready[0], &byte, 1), 0); // every child has started
    close(ready[0]);
}

Crowd::~Crowd()
{
    if (parent_ <= 0)
        return;
    kill(-parent_, SIGKILL);
    if (!reaped_)
        waitpid(parent_, nullptr, 0);
}

int Crowd::running() const
{
    return countInGroup(parent_, false);
}

bool Crowd::ended(std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (!reaped_ && waitpid(parent_, nullptr, WNOHANG) == parent_)
            reaped_ = true;
        // The root process may have been ended before its children: they
        // came back to this process.
        if (reaped_ && running() == 0)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

Zombies::Zombies(uid_t uid, int count, uid_t parentUid)
{
    int ready[2];
    EXPECT_EQ(pipe2(ready, O_CLOEXEC), 0);
    std::fflush(nullptr);
    parent_ = fork();
    if (parent_ == 0) {
        close(ready[0]);
        setpgid(0, 0);
        std::vector<pid_t> children;
        for (int i = 0; i < count; ++i) {
            pid_t child = fork();
            if (child == 0) {
                becomeUser(uid);
                _exit(0);
            }
            if (child < 0)
                _exit(125);
            children.push_back(child);
        }
        // Each child has ended once it can be waited for; WNOWAIT leaves it
        // unreaped.
        for (pid_t child : children) {
            siginfo_t info;
            if (waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT) != 0)
                _exit(124);
        }
        becomeUser(parentUid);
        if (write(ready[1], "", 1) != 1)
            _exit(123);
        for (;;)
            pause();
    }
    setpgid(parent_, parent_);
    close(ready[1]);
    char byte;
    EXPECT_EQ(read(ready[0], &byte, 1), 1) << "the zombies' parent did not start";
    close(ready[0]);
}

Zombies::~Zombies()
{
    if (parent_ <= 0)
        return;
    if (status_ < 0) {
        kill(parent_, SIGKILL);
        waitpid(parent_, nullptr, 0);
    }
    // Its children came back to this process: reap them.
    for (int i = 0; i < 1000 && countInGroup(parent_, true) > 0; ++i) {
        while (waitpid(-parent_, nullptr, WNOHANG) > 0) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

int Zombies::count() const
{
    return countInGroup(parent_, true);
}

int Zombies::waitForParentExit(std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int waitStatus = 0;
    while (status_ < 0 && std::chrono::steady_clock::now() < deadline) {
        if (waitpid(parent_, &waitStatus, WNOHANG) == parent_)
            status_ = statusCode(waitStatus);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_;
}

std::vector<std::string> syslogLines()
{
    std::vector<std::string> lines;
    char buffer[2048];
    ssize_t got;
    while (syslogSocket >= 0 && (got = recv(syslogSocket, buffer, sizeof buffer, 0)) > 0)
        lines.emplace_back(buffer, static_cast<std::size_t>(got));
    return lines;
}

// ---------------------------------------------------------------- the monitor

std::vector<pid_t> processesNamed(const std::string &name)
{
    std::vector<pid_t> pids;
    for (const std::string &entry : listDirectory("/proc")) {
        if (entry.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string comm = readFile("/proc/" + entry + "/comm");
        // A zombie has ended already, whatever its name.
        std::string stat = readFile("/proc/" + entry + "/stat");
        std::size_t state = stat.rfind(')');
        if (comm == name + "\n" && state != std::string::npos && stat.substr(state + 2, 1) != "Z")
            pids.push_back(std::stoi(entry));
    }
    return pids;
}

Monitor::Monitor(const std::vector<std::string> &environment,
                 const std::vector<std::string> &command)
{
    Running running = start(command, 0, environment);
    starter = finish(running);
    EXPECT_EQ(starter.status, 0) << starter.out << starter.err;
    // The daemon came back to this process when its starter ended; its own
    // children (a mail being sent) carry its name until they start.
    std::vector<pid_t> daemons;
    for (pid_t pid : processesNamed("linewatchd")) {
        pid_ = pid;
        if (statField(4) == std::to_string(getpid()))
            daemons.push_back(pid);
    }
    EXPECT_EQ(daemons.size(), 1u) << "no daemon, or one left by an earlier test";
    pid_ = daemons.empty() ? -1 : daemons.front();
}

Monitor::~Monitor()
{
    if (pid_ > 0 && status_ < 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::string Monitor::statField(int field) const
{
    std::string stat = readFile("/proc/" + std::to_string(pid_) + "/stat");
    std::size_t end = stat.rfind(')');
    if (field <= 2 || end == std::string::npos)
        return "";
    std::istringstream rest(stat.substr(end + 2));
    std::string value;
    for (int i = 3; i <= field && rest >> value; ++i) {
    }
    return value;
}

bool Monitor::waitForCycle(std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string syscalls = "/proc/" + std::to_string(pid_) + "/syscall";
    while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
        std::istringstream current(readFile(syscalls));
        long number = -1;
        if (current >> number && (number == SYS_clock_nanosleep || number == SYS_nanosleep))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

int Monitor::waitForExit(std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int waitStatus = 0;
    while (pid_ > 0 && status_ < 0 && std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid_, &waitStatus, WNOHANG) == pid_)
            status_ = statusCode(waitStatus);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return status_;
}

Running startFailingCalls(const std::vector<std::string> &argv, const std::vector<long> &calls,
                          int error)
{
    return forkCaptured(0, [&] {
        // Each listed call jumps past the ones after it and the "allow".
        std::vector<sock_filter> program{
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr))};
        for (std::size_t i = 0; i < calls.size(); ++i)
            program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<__u32>(calls[i]),
                                       static_cast<__u8>(calls.size() - i), 0));
        program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
        program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<__u32>(error)));
        sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
            prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0)
            _exit(126);
        // A leak checker needs a process of its own to look at this one.
        execute(argv, {"ASAN_OPTIONS=detect_leaks=0"});
    });
}

Result runWithoutFork(const std::vector<std::string> &argv)
{
    // Every way of making a process answers "try again".
    Running running = startFailingCalls(argv, {SYS_clone, SYS_clone3, SYS_fork}, EAGAIN);
    return finish(running);
}

void installFakeMail()
{
    makeDirectory("/tmp/bin");
    makeDirectory("/tmp/mail", 0777);
    writeFile("/tmp/bin/mail",
              "#!/bin/sh\n"
              "out=/tmp/mail/$$\n"
              "for argument in \"$@\"; do printf '%s\\n' \"$argument\"; done > $out.arguments\n"
              "cat > $out.body\n",
              0755);
}

std::vector<Mail> mailsSent()
{
    std::vector<Mail> mails;
    for (const std::string &name : listDirectory("/tmp/mail")) {
        if (!name.ends_with(".arguments"))
            continue;
        std::string stem = "/tmp/mail/" + name.substr(0, name.size() - 10);
        Mail mail;
        std::istringstream lines(readFile(stem + ".arguments"));
        for (std::string line; std::getline(lines, line);)
            mail.arguments.push_back(line);
        mail.body = readFile(stem + ".body");
        mails.push_back(mail);
    }
    return mails;
}

void setTimes(const std::string &path, std::time_t access, std::time_t modification)
{
    timespec times[2] = {{access, 0}, {modification, 0}};
    EXPECT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

struct stat statusOf(const std::string &path)
{
    struct stat status {
    };
    EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
    return status;
}

bool syslogHas(const std::vector<std::string> &lines, int priority, const std::string &text)
{
    std::string start = "<" + std::to_string(priority) + ">";
    for (const std::string &line : lines) {
        if (line.starts_with(start) && line.find(text) != std::string::npos)
            return true;
    }
    return false;
}

// ---------------------------------------------------------------- cleaners

// ---------------------------------------------------------------- maintenance commands

// ---------------------------------------------------------------- account commands

void expectRefused(const Result &result, const std::string &message)
{
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, message + "\n");
    EXPECT_EQ(result.err, "");
}

void expectExpiry(std::int32_t expire, const std::string &text, std::time_t earliest,
                  std::time_t latest)
{
    // The run may have crossed a midnight, so either end can be right.
    EXPECT_TRUE(expire == parseExpireAt(text, earliest) || expire == parseExpireAt(text, latest))
        << "expire " << expire << " for " << text;
}

std::vector<UserRecord> accountRecords()
{
    std::string image = readAccounts();
    std::vector<UserRecord> records;
    for (std::size_t at = 0; at + userRecordSize <= image.size(); at += userRecordSize) {
        UserRecordBytes bytes;
        std::memcpy(bytes.data(), image.data() + at, bytes.size());
        records.push_back(decodeUserRecord(bytes));
    }
    return records;
}

std::string banRecordImage(const std::vector<BanRecord> &records)
{
    std::string image;
    for (const BanRecord &record : records) {
        BanRecordBytes bytes = encodeBanRecord(record);
        image.append(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    }
    return image;
}

std::string readBans()
{
    return readFile(banFilePath);
}

namespace
{

// Mounts a tmpfs with `options` over the product directory, holding copies
// of its files.
void coverProductDirectory(const std::string &options)
{
    std::vector<std::pair<std::string, std::string>> files;
    for (const std::string &name : listDirectory(productDir))
        files.emplace_back(name, readFile(std::string(productDir) + "/" + name));
    mountOrFail("tmpfs", productDir, "tmpfs", MS_NOSUID | MS_NODEV, options);
    for (const auto &[name, content] : files)
        writeFile(std::string(productDir) + "/" + name, content);
}

void useUpInodes()
{
    for (int filler = 0;; ++filler) {
        std::string path = std::string(productDir) + "/filler" + std::to_string(filler);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            must(errno == ENOSPC, "use up the product directory's inodes");
            return;
        }
        close(fd);
    }
}

} // namespace

FullProductDirectory::FullProductDirectory(Exhausted what)
{
    if (what == Exhausted::inodes) {
        coverProductDirectory("size=16m,nr_inodes=64,mode=755");
        useUpInodes();
        return;
    }
    coverProductDirectory("size=256k,mode=755");
    // tmpfs hands out whole pages: once a page-sized write fails, a file
    // can grow only within the page it already has.
    int filler = open((std::string(productDir) + "/filler").c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    must(filler >= 0, "create the filler");
    std::string page(4096, 'x');
    while (write(filler, page.data(), page.size()) == static_cast<ssize_t>(page.size())) {
    }
    must(errno == ENOSPC, "fill the product directory");
    close(filler);
}

FullProductDirectory::~FullProductDirectory()
{
    umount2(productDir, MNT_DETACH);
}

StandIn::StandIn(const std::string &installed, const std::string &replacement)
    : installed_(installed)
{
    mountOrFail(replacement.c_str(), installed, nullptr, MS_BIND);
}

StandIn::~StandIn()
{
    umount2(installed_.c_str(), MNT_DETACH);
}

namespace
{

// Writes the password file MoreUsers puts in place; its path.
std::string writeMoreUsers(int count, uid_t firstUid, const std::function<std::string(int)> &name)
{
    const std::string path = "/run/more-passwd";
    std::string text = readFile("/etc/passwd");
    for (int i = 0; i < count; ++i)
        text += name(i) + ":x:" + std::to_string(firstUid + static_cast<uid_t>(i)) +
                ":100::/tmp:/bin/sh\n";
    writeFile(path, text);
    return path;
}

} // namespace

MoreUsers::MoreUsers(int count, uid_t firstUid, const std::function<std::string(int)> &name)
    : standIn_("/etc/passwd", writeMoreUsers(count, firstUid, name))
{
}

std::vector<std::string> strayProductFiles()
{
    std::vector<std::string> stray;
    for (const std::string &name : listDirectory(productDir)) {
        if (name.starts_with("."))
            stray.push_back(name);
    }
    return stray;
}

void expectNoCopiesLeft()
{
    EXPECT_EQ(listDirectory("/tmp"), std::vector<std::string>{});
    EXPECT_EQ(strayProductFiles(), std::vector<std::string>{});
}

} // namespace sandbox
