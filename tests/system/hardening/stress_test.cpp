// Dozens of commands at once against the monitor's accounting pass: every
// change must be counted exactly once, every record that should exist must
// exist exactly once, and none may be torn.
#include <map>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "monitor.h"
#include "sandbox.h"

using namespace sandbox;

namespace
{

// Users s01 to s40 beside the sandbox's own, with ids 5001 to 5040.
std::string stressUser(int i)
{
    return (i < 10 ? "s0" : "s") + std::to_string(i);
}
uid_t stressUid(int i)
{
    return static_cast<uid_t>(5000 + i);
}

class Stress : public SystemTest
{
  protected:
    void SetUp() override
    {
        SystemTest::SetUp();
        if (IsSkipped())
            return;
        addUsers(40, stressUid(1), [](int i) { return stressUser(i + 1); });
        writeConfig("");
    }
};

UserRecord startingRecord(uid_t uid)
{
    UserRecord record = accountFor(uid);
    record.tLeft = 1000;
    record.cLimit = {30, 30, 30, 30};
    return record;
}

TEST_F(Stress, ConcurrentCommandsAndPassesLoseNothing)
{
    // alice is connected and charged a minute by every pass; bob is not.
    std::vector<UserRecord> records = {startingRecord(alice.uid), startingRecord(bob.uid),
                                       startingRecord(carol.uid)};
    for (int i = 21; i <= 40; ++i)
        records.push_back(startingRecord(stressUid(i)));
    writeAccounts(records);
    Snapshot snapshot;
    ProcEntry alicesShell;
    alicesShell.pid = 90000;
    alicesShell.uid = alicesShell.euid = alice.uid;
    snapshot.processTable.push_back(alicesShell);
    LoginEntry alicesLogin;
    alicesLogin.uid = alice.uid;
    copyText(alicesLogin.line, "pts/50");
    snapshot.loginTable.push_back(alicesLogin);

    struct Command {
        std::vector<std::string> argv;
        std::string out;
    };
    std::vector<Command> commands;
    for (int i = 0; i < 20; ++i) {
        commands.push_back({{"ku_limits", "alice", "tLeft", "+=", "1"}, "user modified: alice\n"});
        commands.push_back({{"ku_limits", "bob", "tLeft", "+=", "1"}, "user modified: bob\n"});
        std::string added = stressUser(i + 1), removed = stressUser(i + 21);
        commands.push_back({{"ku_enrol", added, "0", "600"}, "user added: " + added + "\n"});
        commands.push_back({{"ku_remove", removed}, "user deleted: " + removed + "\n"});
    }
    for (int i = 0; i < 4; ++i) {
        commands.push_back({{"ku_stamp", "carol"}, "user touched: carol\n"});
        commands.push_back({{"ku_reconcile"}, ""});
        commands.push_back({{"ku_refill", "-c"}, ""});
    }

    std::vector<Running> running;
    for (const Command &command : commands)
        running.push_back(start(command.argv));
    SystemHost host; // the pass decides only: nothing is signalled
    int passes = 0;
    auto allDone = [&] {
        for (Running &r : running) {
            if (!r.finished())
                return false;
        }
        return true;
    };
    do {
        accountingPass(snapshot, Settings, host);
        ++passes;
    } while (!allDone());
    for (std::size_t i = 0; i < commands.size(); ++i) {
        Result result = finish(running[i]);
        EXPECT_EQ(result.status, 0) << commands[i].argv[0] << ": " << result.out << result.err;
        EXPECT_EQ(result.out, commands[i].out) << commands[i].argv[0];
    }

    std::string image = readAccounts();
    ASSERT_EQ(image.size() % userRecordSize, 0u) << "a piece of a record was left";
    std::map<uid_t, int> seen;
    for (const UserRecord &record : accountRecords())
        ++seen[record.uid];
    std::map<uid_t, int> expected = {{alice.uid, 1}, {bob.uid, 1}, {carol.uid, 1}};
    for (int i = 1; i <= 20; ++i)
        expected[stressUid(i)] = 1;
    EXPECT_EQ(seen, expected);

    for (const UserRecord &record : accountRecords()) {
        if (record.uid == alice.uid) {
            EXPECT_EQ(record.tLeft, 1000 + 20 - passes) << passes << " passes";
            EXPECT_EQ(record.sLeft, 120 - passes);
            EXPECT_EQ(record.cLeft, (std::array<std::int16_t, 4>{30, 30, 30, 30}));
        } else if (record.uid == bob.uid) {
            UserRecord bobs = startingRecord(bob.uid);
            bobs.tLeft = 1020;
            bobs.cLeft = bobs.cLimit; // refilled
            EXPECT_EQ(record, bobs);
        } else if (record.uid == carol.uid) {
            EXPECT_GT(record.stamp, 1700000000) << "carol was never touched";
        } else {
            EXPECT_EQ(record.tLimit, 600);
            EXPECT_EQ(record.tLeft, 600);
            EXPECT_EQ(record.cLimit, (std::array<std::int16_t, 4>{-1, -1, -1, -1}));
        }
    }
}

} // namespace
