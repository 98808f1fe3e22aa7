// ku_every: one run per user of the password database, in its order, with
// the whole login for every argument that is exactly "{}".
#include <gmock/gmock.h>

#include "runs.h"

using namespace sandbox;
using ::testing::ElementsAreArray;

namespace
{

using Every = SystemTest;

// The sandbox's password database in its order, but root.
const std::vector<std::string> users{"daemon",     "alice",    "bob",   "guest",
                                     "maximilian", "maximili", "carol", "carol2",
                                     "wrapped",    "bigid",    "edge",  "nobody"};

// Runs ku_every with "record", which records its arguments, on its PATH.
Result runEvery(const std::vector<std::string> &argv)
{
    mkdir("/tmp/bin", 0755);
    writeFile("/tmp/bin/record", recordingScript("record"), 0755);
    Running running = start(argv, 0, {"PATH=/tmp/bin:/usr/sbin:/usr/bin:/sbin:/bin"});
    return finish(running);
}

TEST_F(Every, PutsTheWholeLoginForEachBracesArgumentAndSkipsExcludedIds)
{
    // carol2 excludes carol's id, and so carol too.
    writeConfig("ForeachExclude root nosuchuser carol2\nForeachExclude bob\n");
    Result result = runEvery({"ku_every", "record", "x{}", "{}", "{}y", "{ }", "{}"});
    EXPECT_EQ(result.status, 0) << result.err;
    std::vector<std::string> expected;
    for (const std::string &login : users) {
        if (login != "carol" && login != "carol2" && login != "bob")
            expected.push_back("record|x{}|" + login + "|{}y|{ }|" + login);
    }
    EXPECT_THAT(programRuns(), ElementsAreArray(expected));
}

TEST_F(Every, PassesTheBaseNameAsArgumentZeroAndGoesOnWhenACommandCannotStart)
{
    writeConfig("ForeachExclude root\n");
    mkdir("/tmp/bin", 0755);
    // cat names itself after its argument 0 when it cannot open a file.
    writeFile("/tmp/bin/named", readFile("/bin/cat"), 0755);
    Result result = run({"ku_every", "/tmp/bin/named", "{}"});
    EXPECT_EQ(result.status, 0);
    std::string expected;
    for (const std::string &login : users)
        expected += "named: " + login + ": No such file or directory\n";
    EXPECT_EQ(result.err, expected);
    result = run({"ku_every", "nosuchcommand"});
    EXPECT_EQ(result.status, 0);
    std::string failures;
    for (std::size_t i = 0; i < users.size(); ++i)
        failures += "exec: No such file or directory\n";
    EXPECT_EQ(result.err, failures);
}

TEST_F(Every, ExcludesALoginByItsWholeId)
{
    // bigid's id cut to 16 bits is wrapped's: only bigid stays out.
    writeConfig("ForeachExclude bigid\n");
    EXPECT_EQ(runEvery({"ku_every", "record", "{}"}).status, 0);
    std::vector<std::string> expected;
    for (const std::string &login : users) {
        if (login != "bigid")
            expected.push_back("record|" + login);
    }
    expected.insert(expected.begin(), "record|root");
    EXPECT_THAT(programRuns(), ElementsAreArray(expected));
}

TEST_F(Every, TakesAtMostSixtyTwoArgumentsAfterTheCommand)
{
    writeConfig("ForeachExclude root daemon alice bob guest maximilian maximili carol wrapped\n");
    std::vector<std::string> argv{"ku_every", "record"};
    argv.resize(2 + 62, "a");
    EXPECT_EQ(runEvery(argv).status, 0);
    std::vector<std::string> runs = programRuns();
    std::string whole = "record";
    for (int i = 0; i < 62; ++i)
        whole += "|a";
    EXPECT_THAT(runs, ::testing::Each(whole));
    EXPECT_FALSE(runs.empty());
    argv.push_back("a");
    expectRefused(runEvery(argv), "usage: ku_every <command>");
    expectRefused(runEvery({"ku_every"}), "usage: ku_every <command>");
    EXPECT_EQ(programRuns(), runs);
}

} // namespace
