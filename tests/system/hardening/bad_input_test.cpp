// What hosts really hold: record files cut short, empty or huge, settings
// full of junk, login records of every kind, and terminals that never read.
// Each is met with the program's own message or silently, never a crash.
#include <fcntl.h>
#include <unistd.h>
#include <utmpx.h>

#include <thread>

#include <gmock/gmock.h>

#include "sandbox.h"

using namespace sandbox;
using namespace std::chrono_literals;
using ::testing::HasSubstr;

namespace
{

using BadInput = SystemTest;

std::size_t lineCount(const std::string &text)
{
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST_F(BadInput, RecordFilesCutShortEmptyOrHugeAreReadAsWholeRecords)
{
    writeConfig("");
    writeFile(userFilePath, "");
    EXPECT_EQ(run({"ku_list"}).out, "");

    std::string two = userRecordImage({accountFor(alice.uid), accountFor(bob.uid)});
    writeFile(userFilePath, two + two.substr(0, 89));
    Result cut = run({"ku_list"});
    EXPECT_EQ(cut.status, 0);
    EXPECT_EQ(lineCount(cut.out), 2u);

    std::vector<UserRecord> many(100000, accountFor(carol.uid));
    many.back() = accountFor(alice.uid);
    writeAccounts(many);
    Result huge = run({"ku_list"});
    EXPECT_EQ(huge.status, 0);
    EXPECT_EQ(lineCount(huge.out), 100000u);
    Result touched = run({"ku_stamp", "alice"});
    EXPECT_EQ(touched.out, "user touched: alice\n");
    EXPECT_EQ(readAccounts().size(), 100000 * userRecordSize);

    std::string bans;
    for (int i = 0; i < 3; ++i)
        bans += std::string(13, '\0');
    writeFile(banFilePath, bans + std::string(5, 'x'));
    Result listed = run({"ku_block", "-l"});
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(lineCount(listed.out), 2u + 3u) << listed.out; // the header and three bans
}

struct ConfigCase {
    const char *name;
    std::string text;
    int status;
    std::string err;
};

class BadConfiguration : public SystemTest, public ::testing::WithParamInterface<ConfigCase>
{
};

TEST_P(BadConfiguration, IsReadWithoutHarm)
{
    writeConfig(GetParam().text);
    writeAccounts({accountFor(alice.uid)});
    Result listed = run({"ku_list"});
    EXPECT_EQ(listed.status, GetParam().status);
    EXPECT_EQ(listed.err, GetParam().err);
    if (GetParam().status == 0) {
        EXPECT_THAT(listed.out, HasSubstr("alice "));
    }
}

std::string junk()
{
    std::string bytes;
    for (int i = 0; i < 4096; ++i)
        bytes += static_cast<char>((i * 131 + 7) % 256);
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Hardening, BadConfiguration,
    ::testing::Values(ConfigCase{"long", std::string(5000, 'W') + "\nGuestTime 3\n", 0, ""},
                      ConfigCase{"words", "WarnBoot" + std::string(3000, ' ') + "1 2 3\n", 0, ""},
                      ConfigCase{"junk", junk(), 0, ""},
                      ConfigCase{"nul", std::string("GuestTime\0 9\n", 13), 0, ""},
                      ConfigCase{"missing_device", "Devices nosuch 4\n", 1,
                                 "stat: No such file or directory\n"}),
    [](const ::testing::TestParamInfo<ConfigCase> &config) { return config.param.name; });

TEST_F(BadInput, LoginRecordsOfEveryKindLeaveTheMonitorRunning)
{
    writeConfig("");
    writeAccounts({accountFor(alice.uid)});
    UserProcess session({.uid = alice.uid, .terminal = true});
    for (short type = EMPTY; type <= ACCOUNTING; ++type)
        addLogin(type == USER_PROCESS ? "alice" : "bob", "pts/" + std::to_string(60 + type), 0,
                 type);
    addLogin("alice", session.line(), 1700000000);
    addLogin("", "pts/80", 1700000000);
    addLogin("ghost", "pts/81", 1700000000);
    Monitor monitor;
    ASSERT_TRUE(monitor.waitForCycle());
    EXPECT_EQ(accountRecords().at(0).tLeft, 599);
}

TEST_F(BadInput, ATerminalThatNeverReadsDoesNotHoldUpTheCycle)
{
    writeConfig("WarnBoot 5\n");
    UserRecord alices = accountFor(alice.uid);
    alices.tLeft = 6;
    writeAccounts({alices, accountFor(bob.uid)});
    UserProcess alicesSession({.uid = alice.uid, .terminal = true});
    addLogin("alice", alicesSession.line(), 1700000000);
    UserProcess bobsSession({.uid = bob.uid, .terminal = true});
    addLogin("bob", bobsSession.line(), 1700000000);
    // Fill alice's terminal until it takes no more: nobody reads it. The
    // kernel moves what was written on to the reading side for a while, so
    // it is full only once it stays full.
    int filler = open(alicesSession.path().c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY);
    ASSERT_GE(filler, 0);
    std::string block(4096, 'x');
    for (int full = 0; full < 3;) {
        if (write(filler, block.data(), block.size()) > 0) {
            full = 0;
            continue;
        }
        ASSERT_EQ(errno, EAGAIN);
        ++full;
        std::this_thread::sleep_for(100ms);
    }

    Monitor monitor;
    ASSERT_TRUE(monitor.waitForCycle(5s)) << "the monitor waits on a full terminal";
    EXPECT_EQ(accountRecords().at(1).tLeft, 599) << "the accounts after alice's were not passed";
    // The notice was dropped, not queued behind what fills the terminal.
    std::string shown = alicesSession.readTerminal(500ms);
    EXPECT_EQ(shown.find("NOTICE"), std::string::npos);
    close(filler);
}

} // namespace
