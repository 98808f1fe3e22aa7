// The benchmarks' entry point: as root, inside a sandbox like the tests',
// so that the programs' fixed paths and /proc are the sandbox's own.
#pragma once

#include <csignal>
#include <cstdio>
#include <functional>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "sandbox.h"

// A process of `owner`'s (root's for 0) that sleeps until it is killed.
inline pid_t startSleeper(uid_t owner)
{
    pid_t child = fork();
    if (child == 0) {
        if (owner != 0 && (setgid(100) != 0 || setuid(owner) != 0))
            _exit(126);
        for (;;)
            pause();
    }
    return child;
}

// Kills and reaps the processes.
inline void stopSleepers(std::vector<pid_t> &pids)
{
    for (pid_t child : pids)
        kill(child, SIGKILL);
    for (pid_t child : pids)
        waitpid(child, nullptr, 0);
    pids.clear();
}

// Runs the registered benchmarks in the sandbox, with `before` and `after`
// around them there, reported by `reporter` when one is given.
inline int runSandboxedBenchmarks(
    int argc, char **argv, const std::function<void()> &before = [] {},
    const std::function<void()> &after = [] {}, benchmark::BenchmarkReporter *reporter = nullptr)
{
    benchmark::Initialize(&argc, argv);
    if (geteuid() != 0) {
        std::fprintf(stderr, "the benchmarks need root to build their sandbox\n");
        return 1;
    }
    sandbox::runInside([&] {
        mkdir(productDir, 0755);
        before();
        if (reporter != nullptr)
            benchmark::RunSpecifiedBenchmarks(reporter);
        else
            benchmark::RunSpecifiedBenchmarks();
        after();
        return 0;
    });
}
