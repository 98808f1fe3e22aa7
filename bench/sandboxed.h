// The benchmarks' entry point: as root, inside a sandbox like the tests',
// so that the programs' fixed paths and /proc are the sandbox's own.
#pragma once

#include <cstdio>
#include <functional>

#include <sys/stat.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "sandbox.h"

// Runs the registered benchmarks in the sandbox, with `before` and `after`
// around them there.
inline int runSandboxedBenchmarks(
    int argc, char **argv, const std::function<void()> &before = [] {},
    const std::function<void()> &after = [] {})
{
    benchmark::Initialize(&argc, argv);
    if (geteuid() != 0) {
        std::fprintf(stderr, "the benchmarks need root to build their sandbox\n");
        return 1;
    }
    sandbox::runInside([&] {
        mkdir(productDir, 0755);
        before();
        benchmark::RunSpecifiedBenchmarks();
        after();
        return 0;
    });
}
