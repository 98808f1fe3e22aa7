// linewatchd: the session monitor. Reads the configuration while still on
// the terminal that started it, detaches (or, under a service manager that
// waits for word, stays its process and says when it is ready), and runs one
// cycle a minute until a signal asks it to stop.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include "monitor.h"

namespace
{

constexpr std::size_t mailHostSize = 64; // 63 characters

// A mail host that does not fit would make every address a wrong one;
// better said on the starting terminal than found out from lost mail.
std::string mailHostSetting()
{
    const char *value = std::getenv("MAILHOST");
    if (value == nullptr)
        return {};
    if (std::strlen(value) >= mailHostSize)
        errorExit("MAILHOST is longer than %zu characters", mailHostSize - 1);
    return value;
}

// A standard stream the starter left closed is opened on /dev/null, so that
// no file the monitor opens later (a notice meant as a mail's input, a
// record file) takes its place and receives what is meant for the stream.
void fillClosedStandardStreams()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) != fd)
            perrorExit("/dev/null");
    }
}

// Once the monitor has left its terminal, nobody reads its standard
// streams: what it has to say, to the end, goes to the system log.
void logReport(Severity severity, const char *message)
{
    syslog(severity == Severity::fatal ? LOG_ERR : LOG_WARNING, "%s", message);
}

// Leaves the starter's session, directory and file-creation mask. setsid
// is refused to a process group leader: a service's process, which leads a
// session of its own already, or a job a shell started in the foreground,
// which stays in the shell's session, where a hangup or an interrupt stops
// it as a SIGTERM does.
void settle()
{
    setsid();
    if (chdir("/") != 0)
        perrorExit("chdir");
    umask(0);
}

void detach()
{
    std::fflush(nullptr);
    pid_t child = fork();
    if (child < 0)
        perrorExit("fork");
    if (child > 0)
        std::exit(0);
    settle();
}

// A service manager that waits to hear that the monitor is ready gives the
// socket to tell it on; it takes the process it started for the service's,
// so the monitor must not fork.
bool awaitedByServiceManager()
{
    return std::getenv("NOTIFY_SOCKET") != nullptr;
}

// Tells the service manager, if one waits for word, how the monitor is.
void tellServiceManager(const char *state)
{
    int result = sd_notify(0, state);
    if (result < 0)
        syslog(LOG_WARNING, "couldn't tell the service manager %s: %s", state,
               std::strerror(-result));
}

} // namespace

int main()
{
    fillClosedStandardStreams();
    // Taken before the read, on the clock that dates the files, so that an
    // edit made while the file is read is still seen as newer.
    timespec configSeen{};
    clock_gettime(CLOCK_REALTIME_COARSE, &configSeen);
    readConfig();
    std::string mailHost = mailHostSetting();
    if (awaitedByServiceManager())
        settle();
    else
        detach();
    openlog("linewatchd", 0, LOG_DAEMON);
    setReportOutput(logReport);
    StopRequest stop;
    SystemHost host(std::move(mailHost), &stop);
    std::uint16_t guestUid = nameToUid("guest");
    allowDescriptorsForTermination();
    Snapshot snapshot;
    // Ready once the first cycle has charged the minute and carried out
    // what it decided: a start that cannot do that has failed, and ended
    // with status 1 before this.
    std::tm cycled = runCycle(configSeen, guestUid, snapshot, host);
    tellServiceManager("READY=1");
    while (sleepPastMinute(cycled, stop))
        cycled = runCycle(configSeen, guestUid, snapshot, host);
    tellServiceManager("STOPPING=1");
    syslog(LOG_INFO, "stopped by %s", stop.signalName());
    return 0;
}
