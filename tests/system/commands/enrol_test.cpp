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
using ::testing::IsEmpty;
using ::testing::StartsWith;

namespace
{

const std::string localFormat = "PhNoLocalFormat 3-4\n";

UserRecord withPhone(UserRecord record, std::uint32_t area, std::uint32_t local)
{
    record.phoneArea = area;
    record.phoneLocal = local;
    return record;
}

// bob dials from (555) 555-1234, carol from nowhere; (555) 555-0000 and
// every number that begins with 1900 are banned.
void writeSite(const std::string &config = localFormat)
{
    writeConfig(config);
    writeAccounts({withPhone(accountFor(bob.uid), 555, 5551234), accountFor(carol.uid)});
    writeBans({BanRecord{0, 555, 5550000, 0}, BanRecord{1, 1900, 0, 0}});
}

// What ku_enrol writes for `uid` with a time limit of 600 and nothing else
// given; expire and stamp are filled in from the run.
UserRecord enrolment(uid_t uid)
{
    UserRecord record;
    record.uid = static_cast<std::uint16_t>(uid);
    record.flags = 0x8000;
    record.tLeft = record.tLimit = 600;
    record.sLeft = record.sLimit = 600;
    record.cLeft.fill(-1);
    record.cLimit.fill(-1);
    return record;
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
    EXPECT_THAT(listDirectory("/tmp"), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Enrol, EnrolRefusals,
    ::testing::Values(
        CommandRefusal{{"ku_enrol"},
                       "usage: ku_enrol <login> <expire> <time_limit> [session_limit] [priority]\n"
                       "                   [phone_no] {class_limit}"},
        CommandRefusal{{"ku_enrol", "alice", "30"},
                       "usage: ku_enrol <login> <expire> <time_limit> [session_limit] [priority]\n"
                       "                   [phone_no] {class_limit}"},
        CommandRefusal{{"ku_enrol", "alice", "30", "600", "700"}, "invalid session_limit: 700"},
        CommandRefusal{{"ku_enrol", "alice", "30", "-5"}, "invalid session_limit: -5"},
        CommandRefusal{{"ku_enrol", "alice", "30", "600", "-1"}, "invalid session_limit: -1"},
        CommandRefusal{{"ku_enrol", "alice", "30", "600", "700", "9"},
                       "invalid session_limit: 700"},
        CommandRefusal{{"ku_enrol", "alice", "30", "600", "600", "8"}, "invalid priority: 8"},
        CommandRefusal{{"ku_enrol", "alice", "30", "600", "600", "-1"}, "invalid priority: -1"},
        // A priority that only a cut to 32 bits would bring into range.
        CommandRefusal{{"ku_enrol", "alice", "30", "600", "600", "4294967300"},
                       "invalid priority: 2147483647"},
        CommandRefusal{{"ku_enrol", "alice", "30", "600", "600", "9", "555"},
                       "invalid priority: 9"},
        CommandRefusal{{"ku_enrol", "alice", "30", "600", "600", "4", "555"},
                       "invalid phone number: 555"},
        CommandRefusal{{"ku_enrol", "alice", "30", "600", "600", "4", "no digits"},
                       "invalid phone number: no digits"},
        CommandRefusal{{"ku_enrol", "alice", "30", "600", "600", "4", "1234567890123456789"},
                       "invalid phone number: 1234567890123456789"},
        CommandRefusal{{"ku_enrol", "alice", "30", "600", "600", "4", "(555) 555-1234"},
                       "phone number is already in use: (555) 555-1234"},
        CommandRefusal{{"ku_enrol", "alice", "30", "600", "600", "4", "000"},
                       "phone number is already in use: 000"},
        CommandRefusal{{"ku_enrol", "alice", "30", "600", "600", "4", "555 555 0000"},
                       "phone number is banned: 555 555 0000"},
        CommandRefusal{{"ku_enrol", "alice", "30", "600", "600", "4", "(1900) 123-4567"},
                       "phone number is banned: (1900) 123-4567"},
        CommandRefusal{{"ku_enrol", "ghost", "30", "600", "600", "4", "(555) 555-0000"},
                       "phone number is banned: (555) 555-0000"},
        CommandRefusal{{"ku_enrol", "bob", "30", "600", "600", "4", "(555) 555-1234"},
                       "phone number is already in use: (555) 555-1234"},
        CommandRefusal{{"ku_enrol", "ghost", "30", "600"}, "user does not exist: ghost"},
        CommandRefusal{{"ku_enrol", "bigid", "30", "600"}, "user does not exist: bigid"},
        CommandRefusal{{"ku_enrol", "70000", "30", "600"}, "user does not exist: 70000"},
        CommandRefusal{{"ku_enrol", "65535", "30", "600"}, "user does not exist: 65535"},
        CommandRefusal{{"ku_enrol", "bob", "30", "600"}, "user already exists: bob"},
        CommandRefusal{{"ku_enrol", "carol2", "30", "600"}, "user already exists: carol2"},
        CommandRefusal{{"ku_enrol", "1002", "30", "600", "600", "4", "-1"},
                       "user already exists: 1002"}));

struct Enrolment {
    const char *name;
    std::string config;
    std::vector<std::string> argv;
    std::function<void(UserRecord &)> expect; // changes from enrolment(alice)
};

class Enrolments : public SystemTest, public ::testing::WithParamInterface<Enrolment>
{
};

TEST_P(Enrolments, AppendTheRecord)
{
    writeSite(GetParam().config);
    std::string before = readAccounts();
    std::vector<std::string> argv = GetParam().argv;
    auto earliest = std::time(nullptr);
    Result result = run(argv);
    auto latest = std::time(nullptr);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "user added: " + argv[1] + "\n");
    EXPECT_EQ(result.err, "");

    std::vector<UserRecord> records = accountRecords();
    ASSERT_EQ(records.size(), 3u);
    UserRecord expected = enrolment(alice.uid);
    GetParam().expect(expected);
    const UserRecord &added = records.back();
    EXPECT_GE(added.stamp, earliest);
    EXPECT_LE(added.stamp, latest);
    EXPECT_THAT((std::vector{parseExpireAt(argv[2], earliest), parseExpireAt(argv[2], latest)}),
                Contains(added.expire));
    expected.stamp = added.stamp;
    expected.expire = added.expire;
    EXPECT_EQ(readAccounts(), before + userRecordImage({expected}));
}

INSTANTIATE_TEST_SUITE_P(
    Enrol, Enrolments,
    ::testing::Values(
        Enrolment{"Defaults", localFormat, {"ku_enrol", "alice", "30", "600"}, [](auto &) {}},
        Enrolment{"BootFlagsOfTheSite",
                  "SmartBoot\nIdleBoot 10\n",
                  {"ku_enrol", "alice", "30", "600"},
                  [](auto &r) { r.flags = 0x9400; }},
        Enrolment{"NoIdleBootForAnIdleLimitOfZero",
                  "SmartBoot\nIdleBoot 0\n",
                  {"ku_enrol", "alice", "30", "600"},
                  [](auto &r) { r.flags = 0x9000; }},
        Enrolment{"EveryBootFlag",
                  "SmartBoot\nSessionSmartBoot\nIdleBoot 5\nIdleSmartBoot\nTimeClassSmartBoot\n",
                  {"ku_enrol", "alice", "30", "600"},
                  [](auto &r) { r.flags = 0x9F00; }},
        Enrolment{"NoSessionTimeAndPriorityZero",
                  localFormat,
                  {"ku_enrol", "alice", "30", "600", "0", "0"},
                  [](auto &r) {
                      r.flags = 0;
                      r.sLeft = r.sLimit = 0;
                  }},
        Enrolment{"PrioritySeven",
                  localFormat,
                  {"ku_enrol", "alice", "30", "600", "120", "7"},
                  [](auto &r) {
                      r.flags = 0xE000;
                      r.sLeft = r.sLimit = 120;
                  }},
        Enrolment{"NumbersReadAsStrtolDoes",
                  localFormat,
                  {"ku_enrol", "alice", "30", " +600min", "120x", "2"},
                  [](auto &r) {
                      r.flags = 0x4000;
                      r.sLeft = r.sLimit = 120;
                  }},
        Enrolment{"PhoneWithArea",
                  localFormat,
                  {"ku_enrol", "alice", "30", "600", "600", "4", "(555) 555-4321"},
                  [](auto &r) { r = withPhone(r, 555, 5554321); }},
        Enrolment{"PhoneWithoutArea",
                  localFormat,
                  {"ku_enrol", "alice", "30", "600", "600", "4", "555-4321"},
                  [](auto &r) { r = withPhone(r, 0, 5554321); }},
        // Cut to 31 characters this text would be another, unbanned number.
        Enrolment{
            "PhoneLongerThanThirtyOneCharacters",
            localFormat,
            {"ku_enrol", "alice", "30", "600", "600", "4", "(555) 555-4321                  9"},
            [](auto &r) { r = withPhone(r, 5555, 5543219); }},
        Enrolment{"ClassLimitsAfterNoPhone",
                  localFormat,
                  {"ku_enrol", "alice", "30", "600", "600", "4", "-1", "100", "-2", "70000",
                   "65535", "99"},
                  [](auto &r) {
                      r.cLeft = r.cLimit = {100, -2, 4464, -1};
                  }},
        Enrolment{"ClassLimitsAfterAPhone",
                  localFormat,
                  {"ku_enrol", "alice", "30", "600", "600", "4", "5554321", "-3", "32768"},
                  [](auto &r) {
                      r = withPhone(r, 0, 5554321);
                      r.cLeft = r.cLimit = {-3, -32768, -1, -1};
                  }},
        Enrolment{"ExpiryZeroNeverExpires",
                  localFormat,
                  {"ku_enrol", "alice", "0", "600"},
                  [](auto &) {}},
        Enrolment{"UnreadableExpiryNeverExpires",
                  localFormat,
                  {"ku_enrol", "alice", "x", "600"},
                  [](auto &) {}},
        Enrolment{
            "ExpiryInMonths", localFormat, {"ku_enrol", "alice", "2m", "600"}, [](auto &) {}}),
    [](const auto &test) { return test.param.name; });

using Enrol = SystemTest;

TEST_F(Enrol, ANumericLoginIsTheUserIdItself)
{
    writeSite();
    Result result = run({"ku_enrol", "1234", "0", "600"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "user added: 1234\n");
    EXPECT_EQ(accountRecords().back().uid, 1234);
}

TEST_F(Enrol, WithoutAConfigurationNothingIsChecked)
{
    writeAccounts({});
    expectRefused(run({"ku_enrol", "alice", "30", "600", "900"}), "couldn't open config file");
    EXPECT_EQ(readAccounts(), "");
}

TEST_F(Enrol, AnOrdinaryUserIsToldAndNothingIsAdded)
{
    writeSite();
    std::string before = readAccounts();
    for (auto argv :
         {std::vector<std::string>{"ku_enrol", "alice", "30", "600"},
          std::vector<std::string>{"ku_enrol", "alice", "30", "600", "600", "4", "555-4321"}}) {
        expectRefused(run(argv, alice.uid), "must be root");
        EXPECT_EQ(readAccounts(), before);
    }
}

TEST_F(Enrol, AFullDiskIsReportedNotConfirmed)
{
    writeConfig(localFormat);
    // 45 records fill all but 46 bytes of a page, so the next cannot fit.
    std::vector<UserRecord> records(45, accountFor(bob.uid));
    writeAccounts(records);
    std::string before = readAccounts();
    Result result;
    {
        FullProductDirectory full;
        result = run({"ku_enrol", "alice", "30", "600"});
        EXPECT_EQ(readAccounts(), before) << "a piece of the record was left";
    }
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "/usr/lib/Kestrune/kestrune_users: No space left on device\n");
}

// Holds a record file's exclusive lock, as a writer at work does.
class Held
{
  public:
    explicit Held(const char *path) : fd_(open(path, O_RDWR | O_CLOEXEC))
    {
        EXPECT_EQ(flock(fd_, LOCK_EX), 0);
    }
    ~Held() { close(fd_); }

  private:
    int fd_;
};

// Starts every enrolment while the ban file is held, so that each has
// passed its first look at the account file before any of them appends.
std::vector<Result> enrolAtOnce(const std::vector<std::vector<std::string>> &enrolments)
{
    std::vector<Running> running;
    {
        Held bans(banFilePath);
        for (const auto &argv : enrolments)
            running.push_back(start(argv));
        usleep(300000);
        for (Running &enrolment : running)
            EXPECT_FALSE(enrolment.finished()) << "an enrolment did not wait for the ban file";
    }
    std::vector<Result> results;
    for (Running &enrolment : running)
        results.push_back(finish(enrolment));
    return results;
}

std::vector<std::string> outputsOf(const std::vector<Result> &results)
{
    std::vector<std::string> outputs;
    for (const Result &result : results)
        outputs.push_back(result.out);
    return outputs;
}

TEST_F(Enrol, SimultaneousEnrolmentsRegisterOneNumberOnce)
{
    writeSite();
    std::vector<std::vector<std::string>> enrolments;
    for (const char *login : {"alice", "guest", "maximilian", "maximili"})
        enrolments.push_back({"ku_enrol", login, "30", "600", "600", "4", "555-4321"});
    std::vector<std::string> outputs = outputsOf(enrolAtOnce(enrolments));

    EXPECT_THAT(outputs, Contains(StartsWith("user added: ")).Times(1));
    EXPECT_THAT(outputs, Contains("phone number is already in use: 555-4321\n").Times(3));
    std::vector<UserRecord> records = accountRecords();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[2].phoneLocal, 5554321u);
}

TEST_F(Enrol, SimultaneousEnrolmentsAddOneUserOnce)
{
    writeSite();
    std::vector<std::vector<std::string>> enrolments;
    for (const char *phone : {"555-4321", "555-4322", "555-4323"})
        enrolments.push_back({"ku_enrol", "alice", "30", "600", "600", "4", phone});
    std::vector<std::string> outputs = outputsOf(enrolAtOnce(enrolments));

    EXPECT_THAT(outputs, Contains("user added: alice\n").Times(1));
    EXPECT_THAT(outputs, Contains("user already exists: alice\n").Times(2));
    EXPECT_EQ(accountRecords().size(), 3u);
}

} // namespace
