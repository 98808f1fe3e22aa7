// Sleeping and waiting through the signals that interrupt them.
#include "waiting.h"

#include <cerrno>
#include <ctime>

#include <sys/wait.h>

void sleepSeconds(int seconds)
{
    timespec left{seconds, 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

int waitForChild(pid_t child)
{
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}
