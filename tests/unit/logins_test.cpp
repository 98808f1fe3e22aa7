// The pieces of the login table that need no logind: naming the source,
// the line of a terminal's device number, and the terminals of sessions
// for which logind names none.
#include <gmock/gmock.h>

#include <sys/sysmacros.h>

#include "common.h"
#include "internal.h"

using ::testing::ElementsAre;

namespace
{

// ---------------------------------------------------------------- the source

TEST(LoginSourceNamed, TakesTheThreeNamesInAnyCaseAndNothingElse)
{
    EXPECT_EQ(loginSourceNamed("utmp"), LoginSource::utmp);
    EXPECT_EQ(loginSourceNamed("LOGIND"), LoginSource::logind);
    EXPECT_EQ(loginSourceNamed("Auto"), LoginSource::automatic);
    for (const char *word : {"", "automatic", "wtmp", "utmpx", "log", "logind1", " utmp"})
        EXPECT_EQ(loginSourceNamed(word), std::nullopt) << '"' << word << '"';
}

// The key as the configuration file's reader applies its lines.
struct SettingCase {
    std::vector<const char *> lines;
    LoginSource expected;
};

class LoginSourceKey : public ::testing::TestWithParam<SettingCase>
{
};

TEST_P(LoginSourceKey, SetsTheSourceAndLeavesItOnAnUnknownValue)
{
    Settings = SiteSettings{};
    for (const char *line : GetParam().lines)
        applyConfigLine(line);
    EXPECT_EQ(Settings.Logins, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LoginSourceKey,
    ::testing::Values(
        SettingCase{{}, LoginSource::automatic},
        SettingCase{{"LoginSource utmp\n"}, LoginSource::utmp},
        SettingCase{{"loginsource LogInd\n"}, LoginSource::logind},
        SettingCase{{"LoginSource\tutmp   \n"}, LoginSource::utmp},
        SettingCase{{"LoginSource logind\n", "LoginSource auto\n"}, LoginSource::automatic},
        SettingCase{{"LoginSource utmp\n", "LoginSource sometimes\n"}, LoginSource::utmp},
        SettingCase{{"LoginSource utmp\n", "LoginSource\n"}, LoginSource::utmp},
        SettingCase{{"LoginSources utmp\n"}, LoginSource::automatic}));

// ---------------------------------------------------------------- lines

struct DeviceCase {
    unsigned major;
    unsigned minor;
    const char *line; // nullptr for none
};

class LineOfDevice : public ::testing::TestWithParam<DeviceCase>
{
};

TEST_P(LineOfDevice, NamesTerminalsOfLoginLinesOnly)
{
    const DeviceCase &device = GetParam();
    std::optional<std::string> line =
        lineOfDevice(deviceNumberOf(makedev(device.major, device.minor)));
    if (device.line == nullptr)
        EXPECT_EQ(line, std::nullopt) << device.major << ":" << device.minor;
    else
        EXPECT_EQ(line, std::optional<std::string>(device.line))
            << device.major << ":" << device.minor;
}

INSTANTIATE_TEST_SUITE_P(
    Devices, LineOfDevice,
    ::testing::Values(
        // Pseudo-terminals: one major with a million minors on a kernel of
        // today, eight majors of 256 on older ones.
        DeviceCase{136, 0, "pts/0"}, DeviceCase{136, 7, "pts/7"}, DeviceCase{136, 255, "pts/255"},
        DeviceCase{136, 256, "pts/256"}, DeviceCase{136, 4099, "pts/4099"},
        DeviceCase{136, 1048575, "pts/1048575"}, DeviceCase{137, 0, "pts/256"},
        DeviceCase{137, 4, "pts/260"}, DeviceCase{143, 255, "pts/2047"},
        // Virtual consoles and serial lines.
        DeviceCase{4, 1, "tty1"}, DeviceCase{4, 63, "tty63"}, DeviceCase{4, 64, "ttyS0"},
        DeviceCase{4, 65, "ttyS1"}, DeviceCase{4, 255, "ttyS191"},
        // The foreground console, /dev/tty, /dev/console, the masters' and
        // other drivers' majors: no line anyone logs in on.
        DeviceCase{4, 0, nullptr}, DeviceCase{4, 256, nullptr}, DeviceCase{5, 0, nullptr},
        DeviceCase{5, 1, nullptr}, DeviceCase{5, 2, nullptr}, DeviceCase{128, 0, nullptr},
        DeviceCase{135, 0, nullptr}, DeviceCase{144, 0, nullptr}, DeviceCase{188, 0, nullptr},
        DeviceCase{0, 0, nullptr}));

// ---------------------------------------------------------------- session terminals

constexpr DeviceNumber pts(unsigned n)
{
    return (136u << 8) | (n & 0xFF) | ((n & ~0xFFu) << 12);
}

ProcEntry process(pid_t pid, pid_t ppid, DeviceNumber tty = 0)
{
    ProcEntry entry;
    entry.pid = pid;
    entry.ppid = ppid;
    entry.uid = entry.euid = 1001;
    entry.tty = tty;
    return entry;
}

LoginEntry session(pid_t leader, const char *line = "")
{
    LoginEntry login;
    login.uid = 1001;
    copyText(login.line, line);
    login.session = "s" + std::to_string(leader);
    login.leader = leader;
    return login;
}

std::vector<std::string> linesOf(const LoginTable &logins)
{
    std::vector<std::string> lines;
    for (const LoginEntry &login : logins)
        lines.emplace_back(login.line.data());
    return lines;
}

TEST(FillSessionTerminals, TakesTheLeadersOwnTerminal)
{
    LoginTable logins{session(100)};
    fillSessionTerminals(logins, {process(1, 0), process(100, 1, pts(4))});
    EXPECT_THAT(linesOf(logins), ElementsAre("pts/4"));
}

TEST(FillSessionTerminals, TakesTheTerminalOfADescendantAsSshdLeavesIt)
{
    // sshd's session process, its child on the terminal, the shell below.
    LoginTable logins{session(100), session(200)};
    fillSessionTerminals(logins, {process(1, 0), process(100, 1), process(101, 100, pts(300)),
                                  process(200, 1), process(201, 200), process(202, 201, pts(5))});
    EXPECT_THAT(linesOf(logins), ElementsAre("pts/300", "pts/5"));
}

TEST(FillSessionTerminals, TakesTheNearestDescendantsTerminal)
{
    // The table lists the deeper process first.
    LoginTable logins{session(100)};
    fillSessionTerminals(logins, {process(1, 0), process(100, 1), process(101, 100),
                                  process(102, 101, pts(8)), process(103, 100, pts(9))});
    EXPECT_THAT(linesOf(logins), ElementsAre("pts/9"));
}

TEST(FillSessionTerminals, LeavesASessionWithoutOneWithout)
{
    // sftp, port forwarding: nothing in the session holds a terminal; other
    // sessions' processes do.
    LoginTable logins{session(100), session(300)};
    fillSessionTerminals(logins, {process(1, 0, pts(1)), process(100, 1), process(101, 100),
                                  process(200, 1, pts(2))});
    EXPECT_THAT(linesOf(logins), ElementsAre("", ""));
}

TEST(FillSessionTerminals, LeavesTheTerminalLogindNamesAndTheLoginRecordsAlone)
{
    // A login record has no leader: its empty line must not take the
    // terminal of the namespace's first process, whose parent is 0.
    LoginEntry record;
    record.uid = 1002;
    LoginTable logins{session(100, "tty3"), record};
    fillSessionTerminals(logins,
                         {process(1, 0, pts(1)), process(100, 1, pts(4)), process(2, 0, pts(2))});
    EXPECT_THAT(linesOf(logins), ElementsAre("tty3", ""));
}

TEST(FillSessionTerminals, EndsOnParentsThatFormACycle)
{
    // Ids reused while the table was read can make two processes each
    // other's parent.
    LoginTable logins{session(100)};
    fillSessionTerminals(logins, {process(100, 101), process(101, 100), process(102, 101)});
    EXPECT_THAT(linesOf(logins), ElementsAre(""));
}

} // namespace
