// Reading the site's configuration file.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include "sandbox.h"

using namespace sandbox;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace
{

class Config : public SystemTest
{
  protected:
    void SetUp() override
    {
        SystemTest::SetUp();
        Settings = SiteSettings{};
    }
};

std::vector<int> warnings()
{
    return {Settings.WarnBoot.begin(), Settings.WarnBoot.end()};
}
std::vector<uid_t> excluded()
{
    return {Settings.ForeachExclude.begin(), Settings.ForeachExclude.end()};
}

TEST_F(Config, AnEmptyFileGivesTheDefaults)
{
    writeConfig("");
    Settings.SendMail = true;
    Settings.GuestTime = 99;
    readConfig();
    EXPECT_EQ(Settings.Devices.first, 0u);
    EXPECT_EQ(Settings.Devices.lines, 0);
    EXPECT_FALSE(Settings.SendMail || Settings.SmartBoot || Settings.BootOne ||
                 Settings.IdleSmartBoot || Settings.SessionSmartBoot ||
                 Settings.TimeClassSmartBoot);
    EXPECT_EQ(Settings.GuestTime, 15);
    EXPECT_EQ(Settings.GuestPriority, 4);
    EXPECT_EQ(Settings.IdleBoot, 0);
    EXPECT_EQ(Settings.WarnBoot.count + Settings.TimeClass.count + Settings.ForeachExclude.count,
              0u);
    EXPECT_STREQ(Settings.ModemDial.data(), "\\r\\dATZ\\r\\dATDT");
    EXPECT_STREQ(Settings.PhNoAreaFormat.data(), "3 (3)");
    EXPECT_STREQ(Settings.PhNoLocalFormat.data(), "3-4");
    EXPECT_EQ(Settings.localDigits, 0);
}

TEST_F(Config, AMissingFileEndsTheProgram)
{
    Result result = runFunction([] { readConfig(); });
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "couldn't open config file\n");
}

TEST_F(Config, KeysIgnoreCaseAndNumbersTakeTheirLeadingDigits)
{
    writeConfig("guesttime 30\n"
                "GUESTPRIORITY 2x\n"
                "IdleBoot abc\n"
                "ReturnDelay -7\n"
                "SendMail off\n"
                "smartboot\n"
                "BootOne\n"
                "IdleSmartBoot\n"
                "SessionSmartBoot\n"
                "TimeClassSmartBoot\n"
                "# GuestTime 45\n"
                "NoSuchKey 12\n"
                "GuestTime\n"
                "\n");
    readConfig();
    EXPECT_EQ(Settings.GuestTime, 30);
    EXPECT_EQ(Settings.GuestPriority, 2);
    EXPECT_EQ(Settings.IdleBoot, 0);
    EXPECT_EQ(Settings.ReturnDelay, -7);
    EXPECT_TRUE(Settings.SendMail && Settings.SmartBoot && Settings.BootOne &&
                Settings.IdleSmartBoot && Settings.SessionSmartBoot && Settings.TimeClassSmartBoot);
}

TEST_F(Config, DevicesNamesTheFirstLineByItsDeviceNode)
{
    UserProcess onTerminal({.uid = alice.uid, .terminal = true, .name = ""});
    writeConfig("devices " + onTerminal.line() + " 4\n");
    readConfig();
    // The number is the one the kernel gives for a process on that line.
    EXPECT_EQ(Settings.Devices.first, onTerminal.terminal());
    EXPECT_NE(Settings.Devices.first, 0u);
    EXPECT_EQ(Settings.Devices.lines, 4);

    writeConfig("Devices " + onTerminal.line() + " 4\nDevices null\n");
    readConfig();
    struct stat null;
    ASSERT_EQ(stat("/dev/null", &null), 0);
    EXPECT_EQ(Settings.Devices.first, deviceNumberOf(null.st_rdev));
    EXPECT_EQ(Settings.Devices.lines, 4) << "a line without a count keeps the count";
}

TEST_F(Config, DevicesFollowsLinksUnderDev)
{
    UserProcess onTerminal({.uid = alice.uid, .terminal = true, .name = ""});
    ASSERT_EQ(symlink(onTerminal.line().c_str(), "/dev/modem"), 0);
    writeConfig("Devices modem 2\n");
    readConfig();
    unlink("/dev/modem");
    EXPECT_EQ(Settings.Devices.first, onTerminal.terminal());
}

TEST_F(Config, AMissingDeviceEndsTheProgramWithTheStatError)
{
    writeConfig("GuestTime 20\nDevices ttyNoSuch 4\nBootOne\n");
    Result result = runFunction([] { readConfig(); });
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "stat: No such file or directory\n");
}

TEST_F(Config, ListsAddUpToTheirCapacity)
{
    writeConfig("WarnBoot 1 2 3 4 5 6 7 8 9 10\n"
                "WarnBoot 11 12 13 14 15 16 17 18 19 20\n"
                "ForeachExclude root nosuchuser daemon bigid\n");
    readConfig();
    EXPECT_THAT(warnings(), ElementsAre(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16));
    EXPECT_THAT(excluded(), ElementsAre(0, 1, bigid.uid));
}

TEST_F(Config, TimeClassesTakeAnySeparatorAndAnExclusiveEndHour)
{
    writeConfig("TimeClass 1-5 8-18 0-6 18-8\n"
                "TimeClass 1,5,8,18 6 0 22 0 3 4\n"
                "TimeClass 2 2 2 2\n");
    readConfig();
    ASSERT_EQ(Settings.TimeClass.count, 4u);
    auto is = [](const TimeClassEntry &e, int dayFrom, int dayTo, int hourFrom, int hourTo) {
        return e.dayFrom == dayFrom && e.dayTo == dayTo && e.hourFrom == hourFrom &&
               e.hourTo == hourTo;
    };
    EXPECT_TRUE(is(Settings.TimeClass[0], 1, 5, 8, 17));
    EXPECT_TRUE(is(Settings.TimeClass[1], 0, 6, 18, 7));
    EXPECT_TRUE(is(Settings.TimeClass[2], 1, 5, 8, 17));
    EXPECT_TRUE(is(Settings.TimeClass[3], 6, 0, 22, 23)) << "an end hour of 0 means midnight";
}

TEST_F(Config, PhoneFormatsJoinTheirTokens)
{
    writeConfig("PhNoLocalFormat 2 2 3\nPhNoAreaFormat (4)\nPhNoAreaFormat\n");
    readConfig();
    EXPECT_STREQ(Settings.PhNoLocalFormat.data(), "2 2 3");
    EXPECT_EQ(Settings.localDigits, 7);
    EXPECT_STREQ(Settings.PhNoAreaFormat.data(), "(4)");
}

TEST_F(Config, OverlongTextsAreCutToTheirSettingsRoom)
{
    writeConfig("ModemDial " + std::string(40, 'D') +
                "\n"
                "PhNoLocalFormat 1 1 1 1 1 1 1 1 1 1\n"
                "PhNoAreaFormat 3333333333333333333333\n");
    readConfig();
    EXPECT_EQ(std::string(Settings.ModemDial.data()), std::string(31, 'D'));
    EXPECT_STREQ(Settings.PhNoLocalFormat.data(), "1 1 1 1 1 1 1 1");
    EXPECT_EQ(Settings.localDigits, 8) << "parsing must agree with the stored format";
    EXPECT_EQ(std::string(Settings.PhNoAreaFormat.data()), std::string(15, '3'));
}

TEST_F(Config, AnOverlongLineGoesOnAsANewLine)
{
    writeConfig("GuestTime 20" + std::string(243, ' ') + "SendMail\n");
    readConfig();
    EXPECT_EQ(Settings.GuestTime, 20);
    EXPECT_TRUE(Settings.SendMail);
}

TEST_F(Config, TheSampleConfigurationReadsAsItSays)
{
    ASSERT_FALSE(sampleConfig().empty());
    writeConfig(sampleConfig());
    readConfig();
    EXPECT_EQ(Settings.GuestTime, 15);
    EXPECT_THAT(warnings(), ElementsAre(10, 5, 2, 1));
    EXPECT_THAT(excluded(), ElementsAre(0));
    EXPECT_STREQ(Settings.PhNoAreaFormat.data(), "3 (3)");
    EXPECT_STREQ(Settings.PhNoLocalFormat.data(), "3-4");
    EXPECT_EQ(Settings.localDigits, 7);
    EXPECT_FALSE(Settings.SendMail || Settings.BootOne);
    EXPECT_EQ(Settings.TimeClass.count, 0u);
}

TEST_F(Config, ReReadingStartsFromTheDefaults)
{
    writeConfig("IdleSmartBoot\nForeachExclude root\nWarnBoot 5\nPhNoLocalFormat 4\n");
    readConfig();
    ASSERT_TRUE(Settings.IdleSmartBoot);
    writeConfig("WarnBoot 3\n");
    readConfig();
    EXPECT_FALSE(Settings.IdleSmartBoot);
    EXPECT_EQ(Settings.ForeachExclude.count, 0u);
    EXPECT_THAT(warnings(), ElementsAre(3));
    EXPECT_EQ(Settings.localDigits, 0);
    EXPECT_STREQ(Settings.PhNoLocalFormat.data(), "3-4");
}

} // namespace
