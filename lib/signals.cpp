// Ending processes in two steps, SIGTERM and later SIGKILL, through process
// descriptors: the second signal can only reach a process that got the first.
#include <cerrno>
#include <csignal>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "common.h"

namespace
{

// Descriptors kept free for everything else, above all for reading /proc
// to tell a process held by its start time from a later one.
constexpr rlim_t reservedDescriptors = 64;

// Straight to the kernel: the C library's wrappers are newer than some hosts.
// A descriptor among the last few is given back (errno EMFILE).
UniqueFd pidfdOpen(pid_t pid)
{
    UniqueFd fd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    rlimit limit{};
    if (fd && getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        static_cast<rlim_t>(fd.get()) + reservedDescriptors >= limit.rlim_cur) {
        fd.reset();
        errno = EMFILE;
    }
    return fd;
}

int pidfdSendSignal(int pidfd, int signal)
{
    return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

// A failed call's outcome, from its errno.
SignalResult failure()
{
    return errno == ESRCH ? SignalResult::gone : SignalResult::refused;
}

// Whether the id still names the process that started at `startTime`: a
// process that ended may have left its id to another one since. None when
// that is not known, as no file was left to look (errno EMFILE or ENFILE).
std::optional<bool> stillTheSame(pid_t pid, std::uint64_t startTime)
{
    errno = 0;
    std::optional<std::uint64_t> started = processStartTime(pid);
    if (started && *started == startTime)
        return true;
    if (errno == EMFILE || errno == ENFILE)
        return std::nullopt;
    return false;
}

// What a check of the id came to, when it does not allow the signal.
SignalResult notTheSame(std::optional<bool> same)
{
    return same ? SignalResult::gone : SignalResult::refused;
}

SignalResult sendThrough(const TerminatedProcess &process, int signal)
{
    if (process.pidfd >= 0)
        return pidfdSendSignal(process.pidfd, signal) == 0 ? SignalResult::sent : failure();
    // No descriptor holds the process: the id is checked again just before.
    std::optional<bool> same = stillTheSame(process.pid, process.startTime);
    if (same != true)
        return notTheSame(same);
    return kill(process.pid, signal) == 0 ? SignalResult::sent : failure();
}

// Opens a descriptor on the process the entry describes into `held` and
// sends it `signal`. `held` stays empty where the kernel has no descriptors
// or none is left: the process is then held by its start time instead.
SignalResult holdAndSignal(const ProcEntry &process, int signal, UniqueFd &held)
{
    if (process.pid <= 0 || process.pid == getpid())
        return SignalResult::self;
    held = pidfdOpen(process.pid);
    if (!held && errno != ENOSYS && errno != EMFILE && errno != ENFILE)
        return failure();
    // Checked once the descriptor holds the process: it cannot change after.
    // Without one, sendThrough checks just before the signal.
    if (held) {
        std::optional<bool> same = stillTheSame(process.pid, process.startTime);
        if (same != true)
            return notTheSame(same);
    }
    return sendThrough({process.pid, held.get(), process.startTime}, signal);
}

} // namespace

SignalResult terminateProcess(const ProcEntry &process, TerminatedList &terminated)
{
    UniqueFd held;
    SignalResult result = holdAndSignal(process, SIGTERM, held);
    if (result == SignalResult::sent)
        terminated.push_back({process.pid, held.release(), process.startTime});
    return result;
}

SignalResult signalProcess(const ProcEntry &process, int signal)
{
    UniqueFd held;
    return holdAndSignal(process, signal, held);
}

void killTerminatedIf(TerminatedList &terminated,
                      const std::function<bool(const TerminatedProcess &)> &stillDue)
{
    for (const TerminatedProcess &process : terminated) {
        UniqueFd pidfd(process.pidfd); // held by the list until now
        if (stillDue(process))
            sendThrough(process, SIGKILL);
    }
    terminated.clear();
}

void killTerminated(TerminatedList &terminated)
{
    killTerminatedIf(terminated, [](const TerminatedProcess &) { return true; });
}

void allowDescriptorsForTermination()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max)
        return;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}
