// ku_enrol, run as installed: the record it appends, byte for byte, the
// order in which its checks refuse, and enrolments that race each other.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <ctime>
#include <functional>

#include <gmock/gmock.h>

#include "sandbox.h"

using namespace sandbox;
using ::testing::Contains;
using ::testing::StartsWith;

namespace
{

const std::string localFormat = "PhNoLocalFormat 3-4\n";

// bob dials from (555) 555-1234, carol from nowhere; (555) 555-0000 and
// every number that begins with 1900 are banned.
void writeSite(const std::string &config = localFormat)
{
    UserRecord bobs = accountFor(bob.uid);
    bobs.phoneArea = 555;
    bobs.phoneLocal = 5551234;
    writeConfig(config);
    writeAccounts({bobs, accountFor(carol.uid)});
    writeBans({BanRecord{0, 555, 5550000, 0}, BanRecord{1, 1900, 0, 0}});
}

class EnrolRefusals : public SystemTest, public ::testing::WithParamInterface<CommandRefusal>
{
};

TEST_P(EnrolRefusals, ComeInOrderAndChangeNothing)
{
    writeSite();
    std::string accounts = readAccounts();
    std::string bans = readBans();
    expectRefused(run(GetParam().argv), GetParam().message);
    EXPECT_EQ(readAccounts(), accounts);
    EXPECT_EQ(readBans(), bans);
}

std::vector<std::string> enrol(std::vector<std::string> args)
{
    args.insert(args.begin(), "ku_enrol");
    return args;
}

INSTANTIATE_TEST_SUITE_P(
    Enrol, EnrolRefusals,
    ::testing::Values(
        CommandRefusal{enrol({"alice", "30"}),
                       "usage: ku_enrol <login> <expire> <time_limit> [session_limit] [priority]\n"
                       "                   [phone_no] {class_limit}"},
        CommandRefusal{enrol({"ghost", "0", "-5"}), "invalid session_limit: -5"},
        CommandRefusal{enrol({"alice", "0", "600", "700", "9"}), "invalid session_limit: 700"},
        CommandRefusal{enrol({"alice", "0", "600", "600", "-1", "555"}), "invalid priority: -1"},
        CommandRefusal{enrol({"alice", "0", "600", "600", "4", "555"}),
                       "invalid phone number: 555"},
        CommandRefusal{enrol({"bob", "0", "600", "600", "4", "(555) 555-1234"}),
                       "phone number is already in use: (555) 555-1234"},
        CommandRefusal{enrol({"alice", "0", "600", "600", "4", "000"}),
                       "phone number is already in use: 000"},
        CommandRefusal{enrol({"ghost", "0", "600", "600", "4", "555 555 0000"}),
                       "phone number is banned: 555 555 0000"},
        CommandRefusal{enrol({"alice", "0", "600", "600", "4", "(1900) 123-4567"}),
                       "phone number is banned: (1900) 123-4567"},
        CommandRefusal{enrol({"ghost", "0", "600"}), "user does not exist: ghost"},
        // Cut to 16 bits this id would be wrapped's.
        CommandRefusal{enrol({"70000", "0", "600"}), "user does not exist: 70000"},
        // A user whose id does not fit a record exists all the same.
        CommandRefusal{enrol({"bigid", "0", "600"}), "user id too large for an account: bigid"},
        CommandRefusal{enrol({"edge", "0", "600"}), "user id too large for an account: edge"},
        CommandRefusal{enrol({"1002", "0", "600", "600", "4", "-1"}),
                       "user already exists: 1002"}));

struct Enrolment {
    const char *name;
    std::string config;
    std::vector<std::string> args; // after "ku_enrol alice 0 600"
    std::function<void(UserRecord &)> expect;
};

class Enrolments : public SystemTest, public ::testing::WithParamInterface<Enrolment>
{
};

TEST_P(Enrolments, AppendTheRecord)
{
    writeSite(GetParam().config);
    std::string before = readAccounts();
    std::vector<std::string> argv = enrol({"alice", "0", "600"});
    argv.insert(argv.end(), GetParam().args.begin(), GetParam().args.end());
    auto earliest = std::time(nullptr);
    Result result = run(argv);
    auto latest = std::time(nullptr);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "user added: alice\n");

    UserRecord expected;
    expected.uid = static_cast<std::uint16_t>(alice.uid);
    expected.flags = 0x8000;
    expected.tLeft = expected.tLimit = expected.sLeft = expected.sLimit = 600;
    expected.cLeft = expected.cLimit = {-1, -1, -1, -1};
    GetParam().expect(expected);
    expected.stamp = accountRecords().back().stamp;
    EXPECT_GE(expected.stamp, earliest);
    EXPECT_LE(expected.stamp, latest);
    EXPECT_EQ(readAccounts(), before + userRecordImage({expected}));
}

INSTANTIATE_TEST_SUITE_P(
    Enrol, Enrolments,
    ::testing::Values(
        Enrolment{"Defaults", localFormat, {}, [](auto &) {}},
        Enrolment{"BootFlagsOfTheSite",
                  "SmartBoot\nIdleBoot 10\n",
                  {},
                  [](auto &r) { r.flags = 0x9400; }},
        Enrolment{"NoIdleBootForAnIdleLimitOfZero",
                  "SmartBoot\nIdleBoot 0\n",
                  {},
                  [](auto &r) { r.flags = 0x9000; }},
        Enrolment{"EveryBootFlag",
                  "SmartBoot\nSessionSmartBoot\nIdleBoot 5\nIdleSmartBoot\nTimeClassSmartBoot\n",
                  {"0", "7"},
                  [](auto &r) {
                      r.flags = 0xFF00;
                      r.sLeft = r.sLimit = 0;
                  }},
        Enrolment{"PhoneWithArea",
                  localFormat,
                  {"600", "4", "(555) 555-4321"},
                  [](auto &r) { r.phoneArea = 555, r.phoneLocal = 5554321; }},
        // Cut to 31 characters this text would be (555) 555-4321.
        Enrolment{"PhoneLongerThanThirtyOneCharacters",
                  localFormat,
                  {"600", "4", "(555) 555-4321" + std::string(18, ' ') + "9"},
                  [](auto &r) { r.phoneArea = 5555, r.phoneLocal = 5543219; }},
        Enrolment{"ClassLimitsAfterNoPhone",
                  localFormat,
                  {"120", "0", "-1", "100", "-2", "70000", "65535", "99"},
                  [](auto &r) {
                      r.flags = 0;
                      r.sLeft = r.sLimit = 120;
                      r.cLeft = r.cLimit = {100, -2, 4464, -1};
                  }}),
    [](const auto &test) { return test.param.name; });

using Enrol = SystemTest;

TEST_F(Enrol, TheExpiryAndANumericLoginAreTakenAsGiven)
{
    writeSite();
    auto earliest = std::time(nullptr);
    Result result = run(enrol({"1234", "30", "600"}));
    auto latest = std::time(nullptr);
    EXPECT_EQ(result.out, "user added: 1234\n");
    UserRecord added = accountRecords().back();
    EXPECT_EQ(added.uid, 1234);
    expectExpiry(added.expire, "30", earliest, latest);
}

TEST_F(Enrol, AFullDiskIsReportedNotConfirmed)
{
    writeConfig(localFormat);
    // 45 records fill all but 46 bytes of a page, so the next cannot fit.
    writeAccounts(std::vector<UserRecord>(45, accountFor(bob.uid)));
    std::string before = readAccounts();
    Result result;
    {
        FullProductDirectory full;
        result = run(enrol({"alice", "0", "600"}));
        EXPECT_EQ(readAccounts(), before) << "a piece of the record was left";
    }
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "/usr/lib/Kestrune/kestrune_users: No space left on device\n");
}

// Starts every enrolment while the ban file is held, so that each has
// passed its first look at the account file before any of them appends.
std::vector<std::string> enrolAtOnce(const std::vector<std::vector<std::string>> &enrolments)
{
    std::vector<Running> running;
    int bans = open(banFilePath, O_RDWR | O_CLOEXEC);
    EXPECT_EQ(flock(bans, LOCK_EX), 0);
    for (const auto &args : enrolments)
        running.push_back(start(enrol(args)));
    usleep(300000);
    for (Running &enrolment : running)
        EXPECT_FALSE(enrolment.finished()) << "an enrolment did not wait for the ban file";
    close(bans);
    std::vector<std::string> outputs;
    for (Running &enrolment : running)
        outputs.push_back(finish(enrolment).out);
    return outputs;
}

TEST_F(Enrol, SimultaneousEnrolmentsRegisterOneNumberOnce)
{
    writeSite();
    std::vector<std::string> outputs =
        enrolAtOnce({{"alice", "0", "600", "600", "4", "5554321"},
                     {"guest", "0", "600", "600", "4", "5554321"},
                     {"maximili", "0", "600", "600", "4", "5554321"}});
    EXPECT_THAT(outputs, Contains(StartsWith("user added: ")).Times(1));
    EXPECT_THAT(outputs, Contains("phone number is already in use: 5554321\n").Times(2));
    ASSERT_EQ(accountRecords().size(), 3u);
}

TEST_F(Enrol, SimultaneousEnrolmentsAddOneUserOnce)
{
    writeSite();
    std::vector<std::string> outputs = enrolAtOnce({{"alice", "0", "600", "600", "4", "5554321"},
                                                    {"alice", "0", "600", "600", "4", "5554322"}});
    EXPECT_THAT(outputs, Contains("user added: alice\n").Times(1));
    EXPECT_THAT(outputs, Contains("user already exists: alice\n").Times(1));
    EXPECT_EQ(accountRecords().size(), 3u);
}

} // namespace
