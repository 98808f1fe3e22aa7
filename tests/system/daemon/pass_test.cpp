// The accounting pass over the real account file, through the real host:
// what the file does when a record cannot be written back.
#include <csignal>
#include <cstdio>

#include <sys/resource.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include "monitor.h"
#include "sandbox.h"

using namespace sandbox;

namespace
{

// The real account file; the notices printed, nothing signalled.
class Recorder : public SystemHost
{
  public:
    void notify(const char *line, const char *text) override
    {
        std::printf("%s: %s\n", line, text);
    }
    bool terminate(const ProcEntry &) override { return false; }
};

using Pass = SystemTest;

TEST_F(Pass, ARecordThatCannotBeWrittenBackIsPassedOver)
{
    Settings = SiteSettings{};
    Settings.WarnBoot.push(4);
    std::vector<UserRecord> records = {withLeft(alice.uid, 5), withLeft(bob.uid, 5)};
    writeAccounts(records);
    Snapshot snapshot;
    for (uid_t uid : {alice.uid, bob.uid}) {
        ProcEntry process;
        process.pid = static_cast<pid_t>(50000 + uid);
        process.uid = process.euid = uid;
        snapshot.processTable.push_back(process);
        LoginEntry login;
        login.uid = uid;
        copyText(login.line, "pts/" + std::to_string(uid - alice.uid + 40));
        snapshot.loginTable.push_back(login);
    }
    Result result = runFunction([&] {
        alarm(10); // a pass that never ends is ended here
        // Only the first record lies within the size a write may reach.
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{userRecordSize, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &limit);
        Recorder host;
        carryOut(accountingPass(snapshot, Settings, host), snapshot, host);
    });
    EXPECT_EQ(result.status, 0) << "the pass did not end";
    EXPECT_EQ(result.out, "pts/40: You have 4 minute(s) remaining.\n"
                          "pts/41: You have 4 minute(s) remaining.\n");
    std::vector<UserRecord> written = accountRecords();
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[0].tLeft, 4);
    EXPECT_EQ(written[0].sLeft, 119);
    EXPECT_EQ(written[1], records[1]);
    Settings = SiteSettings{};
}

TEST_F(Pass, OnlyATerminalUnderDevTellsWhenItWasLastTypedOn)
{
    UserProcess user({.uid = alice.uid, .terminal = true});
    setTimes("/dev/" + user.line(), 1600000000, 1600000000);
    writeFile("/tmp/typed", "");
    setTimes("/tmp/typed", 1900000000, 1900000000);
    ASSERT_EQ(symlink("/tmp/typed", "/dev/typed"), 0);
    SystemHost host;
    EXPECT_EQ(host.lastInput(user.line().c_str()), std::optional<std::time_t>(1600000000));
    // A file a user can touch, reached out of /dev or through a link.
    EXPECT_EQ(host.lastInput("../tmp/typed"), std::nullopt);
    EXPECT_EQ(host.lastInput("typed"), std::nullopt);
    EXPECT_EQ(host.lastInput("nosuch"), std::nullopt);
}

} // namespace
