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
int pidfdOpen(pid_t pid)
{
    int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    rlimit limit{};
    if (fd >= 0 && getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        static_cast<rlim_t>(fd) + reservedDescriptors >= limit.rlim_cur) {
        close(fd);
        errno = EMFILE;
        return -1;
    }
    return fd;
}

int pidfdSendSignal(int pidfd, int signal)
{
    return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

// Whether the id still names the process that started at `startTime`: a
// process that ended may have left its id to another one since. If not,
// errno is ESRCH, or EMFILE or ENFILE when no file was left to look.
bool stillTheSame(pid_t pid, std::uint64_t startTime)
{
    errno = 0;
    std::optional<std::uint64_t> started = processStartTime(pid);
    if (started && *started == startTime)
        return true;
    if (errno != EMFILE && errno != ENFILE)
        errno = ESRCH;
    return false;
}

bool sendThrough(const TerminatedProcess &process, int signal)
{
    if (process.pidfd >= 0)
        return pidfdSendSignal(process.pidfd, signal) == 0;
    // No descriptor holds the process: the id is checked again just before.
    if (!stillTheSame(process.pid, process.startTime))
        return false;
    return kill(process.pid, signal) == 0;
}

// Opens a descriptor on the process the entry describes and sends it
// `signal`: the descriptor (-1 where the kernel has none), or nullopt with
// errno set when nothing was sent.
std::optional<TerminatedProcess> holdAndSignal(const ProcEntry &process, int signal)
{
    if (process.pid <= 0 || process.pid == getpid()) {
        errno = 0;
        return std::nullopt;
    }
    TerminatedProcess held{process.pid, pidfdOpen(process.pid), process.startTime};
    // Without a descriptor to spare, or on a kernel without them, the
    // process is held by its start time instead.
    if (held.pidfd < 0 && errno != ENOSYS && errno != EMFILE && errno != ENFILE)
        return std::nullopt;
    // Checked once the descriptor holds the process: it cannot change after.
    // Without one, sendThrough checks just before the signal.
    if (held.pidfd >= 0 && !stillTheSame(process.pid, process.startTime)) {
        int reason = errno;
        close(held.pidfd);
        errno = reason;
        return std::nullopt;
    }
    if (!sendThrough(held, signal)) {
        int reason = errno;
        if (held.pidfd >= 0)
            close(held.pidfd);
        errno = reason;
        return std::nullopt;
    }
    return held;
}

} // namespace

bool terminateProcess(const ProcEntry &process, TerminatedList &terminated)
{
    std::optional<TerminatedProcess> held = holdAndSignal(process, SIGTERM);
    if (!held)
        return false;
    terminated.push_back(*held);
    return true;
}

bool signalProcess(const ProcEntry &process, int signal)
{
    std::optional<TerminatedProcess> held = holdAndSignal(process, signal);
    if (held && held->pidfd >= 0)
        close(held->pidfd);
    return held.has_value();
}

void killTerminatedIf(TerminatedList &terminated,
                      const std::function<bool(const TerminatedProcess &)> &stillDue)
{
    for (const TerminatedProcess &process : terminated) {
        if (stillDue(process))
            sendThrough(process, SIGKILL);
        if (process.pidfd >= 0)
            close(process.pidfd);
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
