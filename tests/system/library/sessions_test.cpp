// The login and process snapshots, taken from real login records and real
// processes of the sandbox's users.
#include <sys/wait.h>
#include <unistd.h>
#include <utmpx.h>

#include <gmock/gmock.h>

#include "sandbox.h"

using namespace sandbox;

namespace
{

using Sessions = SystemTest;

const ProcEntry *findProcess(const ProcessTable &table, pid_t pid)
{
    for (const ProcEntry &entry : table) {
        if (entry.pid == pid)
            return &entry;
    }
    return nullptr;
}

TEST_F(Sessions, OnlyLoginsOfKnownUsersCount)
{
    addLogin("alice", "pts/1", 1000);
    addLogin("bob", "pts/2", 2000, DEAD_PROCESS);
    addLogin("ghost", "pts/3", 3000);
    addLogin("reboot", "~", 4000, BOOT_TIME);
    addLogin("carol2", "ttyS0", 5000);
    LoginTable logins;
    readUtmp(logins);
    ASSERT_EQ(logins.size(), 2u);
    EXPECT_EQ(logins[0].uid, alice.uid);
    EXPECT_STREQ(logins[0].line.data(), "pts/1");
    EXPECT_EQ(logins[0].loginTime, 1000);
    EXPECT_EQ(logins[1].uid, carol.uid);
    EXPECT_STREQ(logins[1].line.data(), "ttyS0");
}

TEST_F(Sessions, LoginNamesAreReadWhole)
{
    // Cut to eight characters, maximilian would be taken for maximili.
    addLogin("maximilian", "pts/4", 1000);
    addLogin("bigid", "pts/5", 1000);
    LoginTable logins;
    readUtmp(logins);
    ASSERT_EQ(logins.size(), 2u);
    EXPECT_EQ(logins[0].uid, maximilian.uid);
    EXPECT_EQ(logins[1].uid, bigid.uid);
    EXPECT_EQ(uidLoggedIn(logins, bigid.uid), 1);
    EXPECT_EQ(uidLoggedIn(logins, wrapped.uid), 0);
    EXPECT_EQ(uidLoggedIn(logins, maximili.uid), 0);
}

TEST_F(Sessions, ManyLoginsAreAllFoundWithTheirIds)
{
    // Enough names for the database to be read through once.
    addUsers(40, 3000, [](int i) { return "many" + std::to_string(i); });
    for (int i = 0; i < 40; ++i)
        addLogin(("many" + std::to_string(i)).c_str(), "pts/" + std::to_string(i), 1000 + i);
    addLogin("ghost", "pts/40", 2000);
    addLogin("maximilian", "pts/41", 2001);
    LoginTable logins;
    readUtmp(logins);
    ASSERT_EQ(logins.size(), 41u);
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(logins[static_cast<std::size_t>(i)].uid, 3000u + static_cast<uid_t>(i));
        EXPECT_EQ(logins[static_cast<std::size_t>(i)].loginTime, 1000 + i);
    }
    EXPECT_EQ(logins[40].uid, maximilian.uid);
}

TEST_F(Sessions, AMissingLoginRecordFileEndsTheProgram)
{
    unlink(utmpPath);
    Result result = runFunction([] {
        LoginTable logins;
        readUtmp(logins);
    });
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "fopen: No such file or directory\n");
}

TEST_F(Sessions, ProcessesAreSeenWithTheirIdsNameAndTerminal)
{
    UserProcess onTerminal({.uid = alice.uid, .terminal = true, .name = "a) b (c"});
    UserProcess detached({.uid = bob.uid, .euid = carol.uid, .name = "pppd"});
    ProcessTable table;
    scanProcesses(table);

    const ProcEntry *first = findProcess(table, onTerminal.pid());
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first->comm.data(), "a) b (c");
    EXPECT_EQ(first->uid, alice.uid);
    EXPECT_EQ(first->euid, alice.uid);
    EXPECT_EQ(first->tty, onTerminal.terminal());
    EXPECT_NE(first->tty, 0u);

    const ProcEntry *second = findProcess(table, detached.pid());
    ASSERT_NE(second, nullptr);
    EXPECT_STREQ(second->comm.data(), "pppd");
    EXPECT_EQ(second->uid, bob.uid);
    EXPECT_EQ(second->euid, carol.uid);
    EXPECT_EQ(second->tty, 0u);

    const ProcEntry *self = findProcess(table, getpid());
    ASSERT_NE(self, nullptr) << "the sandbox's first process is in its own /proc";
    EXPECT_EQ(self->uid, 0u);
}

TEST_F(Sessions, ANameCannotForgeTheTerminalField)
{
    // With the fields counted from the first ")", this name would claim the
    // terminal 34816.
    UserProcess forger({.uid = bob.uid, .name = ") S 1 1 1 34816"});
    ProcessTable table;
    scanProcesses(table);
    const ProcEntry *entry = findProcess(table, forger.pid());
    ASSERT_NE(entry, nullptr);
    EXPECT_STREQ(entry->comm.data(), ") S 1 1 1 34816");
    EXPECT_EQ(entry->tty, 0u);
}

TEST_F(Sessions, ProcessesThatEndedAreGone)
{
    pid_t ended;
    {
        UserProcess shortLived({.uid = bob.uid});
        ended = shortLived.pid();
    }
    ProcessTable table;
    scanProcesses(table);
    EXPECT_EQ(findProcess(table, ended), nullptr);
    for (const ProcEntry &entry : table)
        EXPECT_GT(entry.pid, 0);
}

TEST_F(Sessions, ZombiesAreLeftOutAndKernelThreadsToldApart)
{
    pid_t zombie = fork();
    if (zombie == 0)
        _exit(0);
    // Ended, and never reaped until the scan is done.
    for (int i = 0; i < 100 && readFile("/proc/" + std::to_string(zombie) + "/stat").find(") Z") ==
                                   std::string::npos;
         ++i)
        usleep(10000);
    UserProcess live({.uid = bob.uid});
    ProcessTable table;
    scanProcesses(table);
    EXPECT_EQ(findProcess(table, zombie), nullptr);
    ASSERT_NE(findProcess(table, live.pid()), nullptr);
    // A namespace of its own shows none of the kernel's threads.
    for (const ProcEntry &entry : table)
        EXPECT_FALSE(entry.kernelThread) << entry.pid;
    waitpid(zombie, nullptr, 0);
}

TEST_F(Sessions, LinesAreBusyWhenUsersHoldEveryTerminal)
{
    UserProcess first({.uid = alice.uid, .terminal = true});
    UserProcess second({.uid = bob.uid, .terminal = true});
    DeviceNumber low = std::min(first.terminal(), second.terminal());
    ASSERT_EQ(std::max(first.terminal(), second.terminal()), low + 1);
    ProcessTable table;
    scanProcesses(table);
    EXPECT_EQ(allLinesBusy(table, low, 2), 1);
    EXPECT_EQ(allLinesBusy(table, low, 3), 0);
}

TEST_F(Sessions, RootOnALineLeavesItFree)
{
    UserProcess user({.uid = alice.uid, .terminal = true});
    UserProcess superuser({.uid = 0, .terminal = true});
    ProcessTable table;
    scanProcesses(table);
    DeviceNumber low = std::min(user.terminal(), superuser.terminal());
    EXPECT_EQ(allLinesBusy(table, low, 2), 0);
    EXPECT_EQ(allLinesBusy(table, user.terminal(), 1), 1);
}

} // namespace
