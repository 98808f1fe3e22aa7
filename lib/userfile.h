// The account file: the 90-byte account record, its layout on disk, and the
// process-wide open file that every command and the monitor read and write.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

#include <sys/types.h>

inline constexpr std::size_t userRecordSize = 90;

struct UserRecord {
    std::uint16_t uid = 0;
    std::uint16_t flags = 0;
    std::uint32_t phoneArea = 0;
    std::uint32_t phoneLocal = 0;
    std::int32_t tLeft = 0;
    std::int32_t tLimit = 0;
    std::int32_t sLeft = 0;
    std::int32_t sLimit = 0;
    std::array<std::int16_t, 4> cLeft{};
    std::array<std::int16_t, 4> cLimit{};
    std::int32_t savedExpire = 0;
    std::uint16_t savedFlags = 0;
    std::int32_t savedTime = 0;
    std::int32_t savedSession = 0;
    std::array<std::int16_t, 4> savedClass{};
    std::uint64_t lastBytes = 0;
    std::uint64_t totalBytes = 0;
    std::int32_t expire = 0;
    std::int32_t stamp = 0;

    bool operator==(const UserRecord &) const = default;
};

using UserRecordBytes = std::array<std::uint8_t, userRecordSize>;
UserRecordBytes encodeUserRecord(const UserRecord &record);
UserRecord decodeUserRecord(const UserRecordBytes &bytes);

// The flag word: priority in bits 13-15, the boot flags below it.
inline constexpr std::uint16_t flagSmartBoot = 0x1000;
inline constexpr std::uint16_t flagSessionSmartBoot = 0x0800;
inline constexpr std::uint16_t flagIdleBoot = 0x0400;
inline constexpr std::uint16_t flagIdleSmartBoot = 0x0200;
inline constexpr std::uint16_t flagTimeClassSmartBoot = 0x0100;
inline constexpr std::uint16_t flagSubscribed = 0x0080;
inline constexpr int priorityShift = 13;

inline int priorityOf(std::uint16_t flags)
{
    return flags >> priorityShift;
}
inline std::uint16_t withPriority(std::uint16_t flags, int priority)
{
    return static_cast<std::uint16_t>((flags & 0x1FFF) | ((priority & 7) << priorityShift));
}

// cLimit sentinels.
inline constexpr std::int16_t classUnlimited = -1;
inline constexpr std::int16_t classNotSession = -2;
inline constexpr std::int16_t classFree = -3;

extern std::FILE *userFile;
extern int userFileFD;

void userFileOpen();
// Opens the account file for reading only, whoever the caller: root, too,
// reads it so (a read-only product directory will do), waiting only for
// root's own writers; a file not made yet reads as empty for root.
void userFileOpenForReading();
void userFileClose();
// Every whole record of the account file, read as userFileOpenForReading
// reads it, the file closed again before the caller sees them: a caller that
// takes its time with them (a pager that is never read) holds up nobody.
std::vector<UserRecord> loadAccounts();
// The first record of a user, read as loadAccounts reads, the file closed
// again before it returns; none for an id that no record can hold.
std::optional<UserRecord> readAccountOf(uid_t uid);
// For a writer of many records in one go, the monitor's pass: until the
// open account file is closed, its writes are synced to the disk together,
// by userFileClose before it gives up the lock, and no longer one by one.
void userFileSyncOnClose();
int userFileRead(UserRecord *record);
// Writes the record at the current position. 0 once it is on the disk (or,
// after userFileSyncOnClose, in the file); 1 when not, and the file is then
// as it was.
int userFileWrite(const UserRecord *record);
// Writes the record over the one just read, as userFileWrite. 0 when
// written; 1 when not, and the file position is then after that record all
// the same.
int userFileRewrite(const UserRecord *record);
int userFileFind(UserRecord *record, std::uint16_t uid);
// Adds a record after the last whole one, cutting off a piece of a record
// that an interrupted append left at the end. 0 when written, as
// userFileWrite; 1 when not.
int userFileAppend(const UserRecord *record);

// Opens the account file and finds the user's record, or ends the command
// with "user not found: %s".
void openAccountOf(UserRecord *record, std::uint16_t uid, const char *login);
