// The system tests' entry point: root enters the sandbox first; anyone
// else runs the suites, whose system tests then skip.
#include <cstdio>

#include <gtest/gtest.h>
#include <unistd.h>

#include "sandbox.h"

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests, for CTest, needs no sandbox.
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS();
    if (geteuid() != 0) {
        std::fprintf(stderr, "system tests need root to build their sandbox: skipping them\n");
        return RUN_ALL_TESTS();
    }
    sandbox::runInside([] { return RUN_ALL_TESTS(); });
}
