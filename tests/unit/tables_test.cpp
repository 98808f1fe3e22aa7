// The questions asked of the login and process snapshots.
#include <gtest/gtest.h>

#include "common.h"

namespace
{

ProcessTable processesOn(std::initializer_list<std::pair<uid_t, DeviceNumber>> owners)
{
    ProcessTable table;
    pid_t pid = 100;
    for (auto [uid, tty] : owners) {
        ProcEntry entry;
        entry.pid = pid++;
        entry.uid = entry.euid = uid;
        entry.tty = tty;
        table.push_back(entry);
    }
    return table;
}

constexpr DeviceNumber ttyS0 = (4 << 8) | 64;

TEST(AllLinesBusy, NeedsANonRootProcessOnEveryLine)
{
    auto all =
        processesOn({{1001, ttyS0}, {1002, ttyS0 + 1}, {1001, ttyS0 + 2}, {1003, ttyS0 + 3}});
    EXPECT_EQ(allLinesBusy(all, ttyS0, 4), 1);

    auto rootOnLast =
        processesOn({{1001, ttyS0}, {1002, ttyS0 + 1}, {1001, ttyS0 + 2}, {0, ttyS0 + 3}});
    EXPECT_EQ(allLinesBusy(rootOnLast, ttyS0, 4), 0);

    auto twiceOnOne =
        processesOn({{1001, ttyS0}, {1002, ttyS0}, {1003, ttyS0 + 1}, {1004, ttyS0 + 4}});
    EXPECT_EQ(allLinesBusy(twiceOnOne, ttyS0, 3), 0);
}

TEST(AllLinesBusy, NoLinesMeansBusy)
{
    EXPECT_EQ(allLinesBusy(ProcessTable{}, ttyS0, 0), 1);
    EXPECT_EQ(allLinesBusy(processesOn({{1001, 0}}), 0, 0), 1);
}

TEST(AllLinesBusy, TerminalsBelowTheFirstLineAreNoLine)
{
    auto below = processesOn({{1001, ttyS0 - 1}, {1002, ttyS0}});
    EXPECT_EQ(allLinesBusy(below, ttyS0, 2), 0);
}

TEST(AllLinesBusy, HandlesMoreLinesThanTwoHundredFiftySix)
{
    ProcessTable table;
    for (DeviceNumber line = 0; line < 300; ++line)
        table.push_back(processesOn({{1001, ttyS0 + line}})[0]);
    EXPECT_EQ(allLinesBusy(table, ttyS0, 300), 1);
    EXPECT_EQ(allLinesBusy(table, ttyS0, 301), 0);
    EXPECT_EQ(allLinesBusy(table, ttyS0, 100000), 0);
}

TEST(UidLoggedIn, ComparesWholeIds)
{
    LoginTable logins;
    EXPECT_EQ(uidLoggedIn(logins, 1001), 0);
    LoginEntry entry;
    entry.uid = 70000;
    logins.push_back(entry);
    EXPECT_EQ(uidLoggedIn(logins, 70000), 1);
    EXPECT_EQ(uidLoggedIn(logins, 70000 & 0xFFFF), 0);
}

} // namespace
