// ku_gate run as pam_exec runs it, without a login service around it: its
// answer in each stage, what it takes from the environment, and how it
// lets a login pass when it cannot judge in time.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include <gmock/gmock.h>

#include "sandbox.h"

using namespace sandbox;

namespace
{

constexpr int authNotice = (10 << 3) + 5;  // LOG_AUTHPRIV | LOG_NOTICE
constexpr int authWarning = (10 << 3) + 4; // LOG_AUTHPRIV | LOG_WARNING

Result gate(const std::string &type, const std::string &user,
            std::vector<std::string> environment = {})
{
    environment.push_back("PAM_TYPE=" + type);
    environment.push_back("PAM_USER=" + user);
    Running running = start({"ku_gate"}, 0, environment);
    return finish(running);
}

using GateStages = SystemTest;

TEST_F(GateStages, RefusesASpentAccountAndTellsTheOthersTheirTime)
{
    writeAccounts({withLeft(alice.uid, 1), withLeft(bob.uid, 43)});
    writeConfig("");
    syslogLines();
    Result spent = gate("account", "alice");
    EXPECT_EQ(spent.status, 1);
    EXPECT_EQ(spent.err, "refused alice: total\n");
    EXPECT_EQ(spent.out, "");
    EXPECT_TRUE(syslogHas(syslogLines(), authNotice, "refused alice: total"));

    Result left = gate("account", "bob");
    EXPECT_EQ(left.status, 0);
    EXPECT_EQ(left.out + left.err, "");
    Result word = gate("open_session", "bob");
    EXPECT_EQ(word.status, 0);
    EXPECT_EQ(word.out, "Kestrune: 42 minutes left (total limit)\n");
    // Nothing was charged by asking.
    EXPECT_EQ(recordOf(bob.uid).tLeft, 43);

    for (const char *type : {"close_session", "auth", "password"}) {
        Result other = gate(type, "alice");
        EXPECT_EQ(other.status, 0) << type;
        EXPECT_EQ(other.out + other.err, "") << type;
    }
    EXPECT_EQ(gate("open_session", "carol").out, "") << "no account, no word";
}

TEST_F(GateStages, TakesNothingButTheLoginAndTheStageFromTheEnvironment)
{
    // Class 0, spent, holds in this hour of the host's own clock only.
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    if (local.tm_min == 59)
        GTEST_SKIP() << "the hour may end before the gate runs";
    int hour = local.tm_hour;
    writeConfig("TimeClass 0-6 " + std::to_string(hour) + "-" + std::to_string((hour + 1) % 24) +
                "\n");
    UserRecord record = withLeft(alice.uid, 100);
    record.cLimit[0] = 30;
    record.cLeft[0] = 0;
    writeAccounts({record});
    // A zone 12 hours away would put the class out of force, were it heeded.
    Result result = gate("account", "alice", {"TZ=XYZ+12", "LC_ALL=C.UTF-8", "IFS=/"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "refused alice: time class\n");
}

TEST_F(GateStages, PassesWhatItCannotJudgeInTimeAndSaysWhy)
{
    writeAccounts({withLeft(alice.uid, 0)});
    writeConfig("");
    ASSERT_EQ(run({"ku_stamp", "alice"}).status, 0); // lays out the writers' lock
    int writers = open("/run/kestrune/kestrune_users.lock", O_RDWR | O_CLOEXEC);
    ASSERT_GE(writers, 0);
    ASSERT_EQ(flock(writers, LOCK_EX), 0);
    syslogLines();
    Result held = gate("account", "alice");
    close(writers);
    EXPECT_EQ(held.status, 0);
    EXPECT_TRUE(syslogHas(syslogLines(), authWarning,
                          "admitted alice unchecked: account file not read within 2 s"));
    EXPECT_EQ(gate("account", "alice").status, 1) << "the writer gone, the gate judges again";

    std::remove(configPath);
    Result unread = gate("account", "alice");
    EXPECT_EQ(unread.status, 0);
    EXPECT_TRUE(syslogHas(syslogLines(), authWarning,
                          "admitted alice unchecked: couldn't open config file"));
}

TEST_F(GateStages, RequiresAnAccountOnlyWhereTheSiteSaysSo)
{
    writeAccounts({withLeft(alice.uid, 100)});
    writeConfig("");
    EXPECT_EQ(gate("account", "bob").status, 0);
    writeConfig("RequireAccount carol nosuchuser\n");
    Result refused = gate("account", "bob");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "refused bob: no account\n");
    EXPECT_EQ(gate("account", "carol").status, 0);
    EXPECT_EQ(gate("account", "root").status, 0);
    EXPECT_EQ(gate("account", "alice").status, 0);
    EXPECT_EQ(gate("account", "nosuchuser").status, 0) << "not the gate's to refuse";
}

TEST_F(GateStages, RefusesToRunOutsidePam)
{
    writeConfig("");
    Result result = run({"ku_gate"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "usage: PAM_TYPE=account|open_session PAM_USER=<login> ku_gate\n");
}

} // namespace
