// The monitor's side effects on the real system.
#include "host.h"

#include <cstring>
#include <ctime>

#include <syslog.h>

#include "notices.h"

SystemHost::SystemHost(std::string mailHost, const StopRequest *stop)
    : mailHost_(std::move(mailHost)), stop_(stop)
{
}

// A monitor that is asked to stop finishes its cycle without waiting: the
// users it disconnects lose their processes at once.
void SystemHost::holdOn(int seconds)
{
    if (stop_ != nullptr)
        stop_->sleep(seconds);
    else
        sleepSeconds(seconds);
}

std::time_t SystemHost::now()
{
    return std::time(nullptr);
}

void SystemHost::openAccounts()
{
    userFileOpen();
    // A pass writes many records: one sync before the lock goes, not one
    // a record.
    userFileSyncOnClose();
}

bool SystemHost::nextAccount(UserRecord &record)
{
    return userFileRead(&record) == 0;
}

bool SystemHost::rewriteAccount(const UserRecord &record)
{
    return userFileRewrite(&record) == 0;
}

void SystemHost::closeAccounts()
{
    userFileClose();
}

std::optional<std::time_t> SystemHost::lastInput(const char *line)
{
    return terminalLastInput(line);
}

std::optional<DeviceNumber> SystemHost::terminalDevice(const char *line)
{
    return ::terminalDevice(line);
}

void SystemHost::notify(const char *line, const char *notice)
{
    notifyTerminal(line, notice, Settings.IdleBoot != 0);
}

void SystemHost::letNoticesArrive()
{
    holdOn(1);
}

bool SystemHost::terminate(const ProcEntry &process)
{
    return terminateProcess(process, terminated_) == SignalResult::sent;
}

void SystemHost::killTerminated()
{
    if (terminated_.empty())
        return;
    holdOn(5);
    ::killTerminated(terminated_);
}

void SystemHost::endSession(const std::string &session)
{
    int result = endLogindSession(session);
    if (result < 0)
        syslog(LOG_WARNING, "couldn't end session %s: %s", session.c_str(), std::strerror(-result));
}

void SystemHost::mail(std::uint16_t uid, NoticeReason reason)
{
    mailNotice(uid, reason, mailHost_.c_str());
}

void SystemHost::log(int priority, const char *message)
{
    syslog(priority, "%s", message);
}

std::string SystemHost::loginName(std::uint16_t uid)
{
    char login[loginNameSize];
    return uidToName(login, uid) == nullptr ? std::string() : std::string(login);
}
