// The monitor's minute: re-read a changed configuration, take a fresh
// picture of logins, processes and links, run the accounting pass, end the
// processes of those who must go, and sleep to the next minute boundary.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <sys/stat.h>
#include <syslog.h>

#include "monitor.h"

std::array<char, mailHostSize> mailHost{};

void logFatal(const char *format, ...)
{
    char message[256];
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    syslog(LOG_ERR, "%s", message);
    if (userFile != nullptr)
        userFileClose();
    std::exit(1);
}

std::time_t MonitorEffects::now()
{
    return std::time(nullptr);
}

bool MonitorEffects::terminate(const ProcEntry &process)
{
    return terminateProcess(process, terminated_);
}

bool MonitorEffects::anyTerminated() const
{
    return !terminated_.empty();
}

void MonitorEffects::killTerminated()
{
    ::killTerminated(terminated_);
}

namespace
{

void sleepSeconds(int seconds)
{
    timespec left{seconds, 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// Settings come from the file as it was when last read; a file whose time
// has not moved past that is not read again.
void rereadChangedConfig(std::time_t &configSeen)
{
    struct stat status;
    if (stat(configPath, &status) != 0)
        logFatal("couldn't stat %s", configPath);
    if (status.st_mtime <= configSeen)
        return;
    readConfig();
    syslog(LOG_INFO, "re-read %s", configPath);
    configSeen = status.st_mtime;
}

void sleepToNextMinute()
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    sleepSeconds(60 - local.tm_sec);
}

} // namespace

void runCycle(std::time_t &configSeen, MonitorEffects &effects)
{
    rereadChangedConfig(configSeen);
    readUtmp(loginTable);
    scanProcesses(processTable);
    scanPppUnits();
    linesBusy = allLinesBusy(processTable, Settings.Devices.first, Settings.Devices.lines) == 1;
    accountingPass(effects);
    if (effects.anyTerminated()) {
        sleepSeconds(5);
        effects.killTerminated();
    }
    sleepToNextMinute();
}
