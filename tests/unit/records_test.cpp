// The on-disk layouts of both record files, pinned byte by byte.
#include <gtest/gtest.h>

#include "common.h"

namespace
{

UserRecord distinctiveUser()
{
    UserRecord r;
    r.uid = 0x1234;
    r.flags = 0x9400; // priority 4, SmartBoot, IdleBoot
    r.phoneArea = 555;
    r.phoneLocal = 5551234;
    r.tLeft = -1;
    r.tLimit = 600;
    r.sLeft = 0x01020304;
    r.sLimit = -2;
    r.cLeft = {1, -1, 0x7FFF, -32768};
    r.cLimit = {-1, -2, -3, 300};
    r.savedExpire = 0x11223344;
    r.savedFlags = 0xA080;
    r.savedTime = 0x0A0B0C0D;
    r.savedSession = -100;
    r.savedClass = {5, 6, 7, 8};
    r.lastBytes = 0x0102030405060708ULL;
    r.totalBytes = 0xFFEEDDCCBBAA9988ULL;
    r.expire = 0x7FFFFFFF;
    r.stamp = 1700000000;
    return r;
}

const UserRecordBytes distinctiveUserImage = {
    0x34, 0x12,                                     // 0 uid
    0x00, 0x94,                                     // 2 flags
    0x2B, 0x02, 0x00, 0x00,                         // 4 phoneArea
    0x82, 0xB4, 0x54, 0x00,                         // 8 phoneLocal
    0xFF, 0xFF, 0xFF, 0xFF,                         // 12 tLeft
    0x58, 0x02, 0x00, 0x00,                         // 16 tLimit
    0x04, 0x03, 0x02, 0x01,                         // 20 sLeft
    0xFE, 0xFF, 0xFF, 0xFF,                         // 24 sLimit
    0x01, 0x00, 0xFF, 0xFF, 0xFF, 0x7F, 0x00, 0x80, // 28 cLeft
    0xFF, 0xFF, 0xFE, 0xFF, 0xFD, 0xFF, 0x2C, 0x01, // 36 cLimit
    0x44, 0x33, 0x22, 0x11,                         // 44 savedExpire
    0x80, 0xA0,                                     // 48 savedFlags
    0x0D, 0x0C, 0x0B, 0x0A,                         // 50 savedTime
    0x9C, 0xFF, 0xFF, 0xFF,                         // 54 savedSession
    0x05, 0x00, 0x06, 0x00, 0x07, 0x00, 0x08, 0x00, // 58 savedClass
    0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, // 66 lastBytes
    0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, // 74 totalBytes
    0xFF, 0xFF, 0xFF, 0x7F,                         // 82 expire
    0x00, 0xF1, 0x53, 0x65,                         // 86 stamp
};

TEST(RecordLayout, UserRecordEncodesToItsByteImage)
{
    EXPECT_EQ(encodeUserRecord(distinctiveUser()), distinctiveUserImage);
}

TEST(RecordLayout, UserRecordDecodesFromItsByteImage)
{
    EXPECT_EQ(decodeUserRecord(distinctiveUserImage), distinctiveUser());
}

TEST(RecordLayout, BanRecordRoundTripsThroughItsByteImage)
{
    BanRecord ban{1, 1900, 0x00ABCDEF, -5};
    const BanRecordBytes image = {
        0x01,                   // 0 prefix
        0x6C, 0x07, 0x00, 0x00, // 1 phoneArea
        0xEF, 0xCD, 0xAB, 0x00, // 5 phoneLocal
        0xFB, 0xFF, 0xFF, 0xFF, // 9 expire
    };
    EXPECT_EQ(encodeBanRecord(ban), image);
    EXPECT_EQ(decodeBanRecord(image), ban);
}

TEST(RecordLayout, PriorityLivesInTheTopThreeBitsOfTheFlags)
{
    EXPECT_EQ(priorityOf(0xE000), 7);
    EXPECT_EQ(priorityOf(flagSmartBoot | flagSubscribed), 0);
    EXPECT_EQ(withPriority(flagIdleBoot | 0xE000, 2), flagIdleBoot | 0x4000);
}

} // namespace
