// Waiting that resumes after signals: a sleep of whole seconds and the wait
// for a child.
#pragma once

#include <sys/types.h>

void sleepSeconds(int seconds); // sleeps the whole time, resuming after signals
int waitForChild(pid_t child);  // waits, resuming after signals; the wait status, or -1
