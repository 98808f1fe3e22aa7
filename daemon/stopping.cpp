// The stopping signals' handler and the monitor's waits that a stop cuts
// short.
#include "stopping.h"

#include <array>
#include <csignal>
#include <ctime>

namespace
{

// The signal that asked for the stop; 0 until one did. A handler can safely
// do no more than set it.
volatile std::sig_atomic_t stopSignal = 0;

constexpr std::array stopSignals{SIGTERM, SIGINT, SIGHUP};

// nanosleep takes no signal mask, so a request noted between the check and
// the sleep would not wake it: the sleep goes in steps, which bound that
// delay to one step.
constexpr long stepNanoseconds = 250'000'000;
constexpr long nanosecondsPerSecond = 1'000'000'000;

extern "C" void noteStop(int signal)
{
    stopSignal = signal;
}

sigset_t stopSignalSet()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal : stopSignals)
        sigaddset(&set, signal);
    return set;
}

timespec monotonicNow()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

bool isBefore(const timespec &a, const timespec &b)
{
    return a.tv_sec != b.tv_sec ? a.tv_sec < b.tv_sec : a.tv_nsec < b.tv_nsec;
}

// One step on from `now`, or the deadline if that comes first.
timespec nextWake(const timespec &now, const timespec &deadline)
{
    timespec wake = now;
    wake.tv_nsec += stepNanoseconds;
    if (wake.tv_nsec >= nanosecondsPerSecond) {
        wake.tv_nsec -= nanosecondsPerSecond;
        ++wake.tv_sec;
    }
    return isBefore(wake, deadline) ? wake : deadline;
}

} // namespace

StopRequest::StopRequest()
{
    struct sigaction action = {};
    action.sa_handler = noteStop;
    action.sa_mask = stopSignalSet();
    // sigaction fails only for a signal that does not exist.
    for (int signal : stopSignals) {
        struct sigaction inherited = {};
        sigaction(signal, nullptr, &inherited);
        // A signal the starter had ignored (nohup, say) stays ignored, as
        // it was before the monitor caught any.
        if (inherited.sa_handler != SIG_IGN)
            sigaction(signal, &action, nullptr);
    }
    sigset_t set = stopSignalSet();
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

bool StopRequest::sleep(int seconds) const
{
    timespec deadline = monotonicNow();
    deadline.tv_sec += seconds;
    // A request held back since the last wait is noted as this returns.
    sigset_t set = stopSignalSet();
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    for (timespec now = monotonicNow(); stopSignal == 0 && isBefore(now, deadline);
         now = monotonicNow()) {
        timespec wake = nextWake(now, deadline);
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
    }
    sigprocmask(SIG_BLOCK, &set, nullptr);
    return stopSignal == 0;
}

const char *StopRequest::signalName() const
{
    switch (stopSignal) {
    case SIGTERM:
        return "SIGTERM";
    case SIGINT:
        return "SIGINT";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "a signal";
    }
}
