// A process's stat line as the kernel writes it: the fields the cleaners
// and the monitor decide by.
#include <gtest/gtest.h>

#include "common.h"
#include "internal.h"

namespace
{

// kthreadd and a user's shell, as /proc shows them; the flags are field 9.
constexpr const char *kernelThread =
    "2 (kthreadd) S 0 0 0 0 -1 2129984 0 0 0 0 0 12 0 0 20 0 1 0 5 0 0 18446744073709551615";
constexpr const char *shell =
    "4711 (bash) S 4700 4711 4711 34816 4711 4194560 0 0 0 0 0 0 0 0 20 0 1 0 7340 0 0 0";
constexpr const char *zombie =
    "4712 (sleep) Z 4711 4711 4711 0 -1 4227148 0 0 0 0 0 0 0 0 20 0 1 0 7400 0 0 0";

TEST(ProcessStat, TellsTheKernelsThreadsByTheirFlags)
{
    ProcEntry entry;
    ASSERT_TRUE(parseStat(kernelThread, entry));
    EXPECT_TRUE(entry.kernelThread);
    EXPECT_EQ(entry.tty, 0u);
    ASSERT_TRUE(parseStat(shell, entry));
    EXPECT_FALSE(entry.kernelThread);
    EXPECT_EQ(entry.tty, 34816u);
}

TEST(ProcessStat, KeepsTheState)
{
    ProcEntry entry;
    ASSERT_TRUE(parseStat(shell, entry));
    EXPECT_EQ(entry.state, 'S');
    ASSERT_TRUE(parseStat(zombie, entry));
    EXPECT_EQ(entry.state, 'Z');
    EXPECT_EQ(entry.startTime, 7400u);
}

TEST(ProcessStat, RefusesFlagsThatAreNoNumber)
{
    ProcEntry entry;
    EXPECT_FALSE(parseStat("9 (x) S 1 9 9 0 -1 many 0 0 0 0 0 0 0 0 20 0 1 0 7 0 0 0", entry));
}

} // namespace
