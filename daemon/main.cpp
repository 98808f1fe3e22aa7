// linewatchd: the session monitor. Reads the configuration while still on
// the terminal that started it, detaches, and runs one cycle a minute.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "monitor.h"

namespace
{

// A mail host that does not fit would make every address a wrong one;
// better said on the starting terminal than found out from lost mail.
const char *mailHostSetting()
{
    const char *value = std::getenv("MAILHOST");
    if (value != nullptr && std::strlen(value) >= mailHostSize)
        errorExit("MAILHOST is longer than %zu characters", mailHostSize - 1);
    return value;
}

void detach()
{
    std::fflush(nullptr);
    pid_t child = fork();
    if (child < 0)
        perrorExit("fork");
    if (child > 0)
        std::exit(0);
    setsid();
    if (chdir("/") != 0)
        perrorExit("chdir");
    umask(0);
}

} // namespace

int main()
{
    readConfig();
    std::time_t configSeen = std::time(nullptr);
    const char *host = mailHostSetting();
    detach();
    openlog("linewatchd", 0, LOG_DAEMON);
    guestUid = nameToUid("guest");
    allowDescriptorsForTermination();
    if (host != nullptr)
        copyText(mailHost, host);
    MonitorEffects effects;
    for (;;)
        runCycle(configSeen, effects);
}
