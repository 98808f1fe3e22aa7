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

// Straight to the kernel: the C library's wrappers are newer than some hosts.
int pidfdOpen(pid_t pid)
{
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

int pidfdSendSignal(int pidfd, int signal)
{
    return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

bool sendThrough(const TerminatedProcess &process, int signal)
{
    if (process.pidfd >= 0)
        return pidfdSendSignal(process.pidfd, signal) == 0;
    return kill(process.pid, signal) == 0;
}

// Whether the id still names the process that was scanned: a process that
// ended may have left its id to another one since.
bool stillTheSame(const ProcEntry &process)
{
    std::optional<std::uint64_t> started = processStartTime(process.pid);
    return started && *started == process.startTime;
}

} // namespace

bool terminateProcess(const ProcEntry &process, TerminatedList &terminated)
{
    if (terminated.full() || process.pid <= 0 || process.pid == getpid())
        return false;
    TerminatedProcess held{process.pid, pidfdOpen(process.pid)};
    if (held.pidfd < 0 && errno != ENOSYS)
        return false;
    // Checked once the descriptor holds the process: it cannot change after.
    if (!stillTheSame(process) || !sendThrough(held, SIGTERM)) {
        if (held.pidfd >= 0)
            close(held.pidfd);
        return false;
    }
    terminated.push(held);
    return true;
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
    constexpr rlim_t wanted = TerminatedList::capacity() + 64;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= wanted)
        return;
    limit.rlim_cur =
        limit.rlim_max == RLIM_INFINITY || limit.rlim_max > wanted ? wanted : limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}
