// The monitor's pacing to minute boundaries, leap seconds included: one
// cycle, and one charge, per minute.
#include <gtest/gtest.h>

#include "monitor.h"

namespace
{

std::tm at(int hour, int minute, int second)
{
    std::tm time{};
    time.tm_year = 116; // 2016, which ended with a leap second
    time.tm_yday = 365;
    time.tm_hour = hour;
    time.tm_min = minute;
    time.tm_sec = second;
    return time;
}

TEST(Pacing, SleepsToTheNextMinuteBoundary)
{
    EXPECT_EQ(secondsToNextMinute(at(12, 0, 0)), 60);
    EXPECT_EQ(secondsToNextMinute(at(12, 0, 40)), 20);
    EXPECT_EQ(secondsToNextMinute(at(12, 0, 59)), 1);
}

TEST(Pacing, ALeapSecondBelongsToTheMinuteItEnds)
{
    // The cycle of 23:59 woke again in 23:59:60: it must wait for 00:00,
    // neither run at once (a second charge) nor sleep a whole minute.
    std::tm leap = at(23, 59, 60);
    EXPECT_TRUE(sameMinute(leap, at(23, 59, 0)));
    EXPECT_EQ(secondsToNextMinute(leap), 1);
    std::tm next = at(0, 0, 0);
    next.tm_year = 117;
    next.tm_yday = 0;
    EXPECT_FALSE(sameMinute(next, at(23, 59, 0)));
}

TEST(Pacing, MinutesDifferInAnyField)
{
    std::tm noon = at(12, 0, 0);
    for (auto change :
         {&std::tm::tm_min, &std::tm::tm_hour, &std::tm::tm_yday, &std::tm::tm_year}) {
        std::tm other = noon;
        other.*change += 1;
        EXPECT_FALSE(sameMinute(noon, other));
    }
    EXPECT_TRUE(sameMinute(noon, at(12, 0, 59)));
}

} // namespace
