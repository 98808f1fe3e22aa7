// Sleeping and waiting for children through the signals that interrupt them.
#include <chrono>
#include <csignal>

#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "waiting.h"

namespace
{

void ignoreAlarm(int) {}

// Interrupts this process with SIGALRM every 20 ms until destroyed, with
// no SA_RESTART, so that each interrupted call returns EINTR.
class Interruptions
{
  public:
    Interruptions()
    {
        struct sigaction action {
        };
        action.sa_handler = ignoreAlarm;
        sigaction(SIGALRM, &action, &previous_);
        itimerval every{{0, 20000}, {0, 20000}};
        setitimer(ITIMER_REAL, &every, nullptr);
    }
    ~Interruptions()
    {
        itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &previous_, nullptr);
    }

  private:
    struct sigaction previous_ {
    };
};

TEST(Waiting, SleepSecondsSleepsTheWholeTimeThroughSignals)
{
    auto started = std::chrono::steady_clock::now();
    {
        Interruptions signals;
        sleepSeconds(1);
    }
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
}

TEST(Waiting, WaitForChildGivesTheStatusThroughSignals)
{
    pid_t child = fork();
    if (child == 0) {
        usleep(200000);
        _exit(3);
    }
    int status = 0;
    {
        Interruptions signals;
        status = waitForChild(child);
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    // Nothing left to wait for.
    EXPECT_EQ(waitForChild(child), -1);
}

} // namespace
