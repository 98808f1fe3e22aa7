// The account file: a flat sequence of 90-byte little-endian records, one per
// account, opened under a whole-file lock.
#include <cerrno>
#include <cstring>

#include <unistd.h>

#include "bytes.h"
#include "common.h"
#include "internal.h"

std::FILE *userFile = nullptr;
int userFileFD = -1;

UserRecordBytes encodeUserRecord(const UserRecord &r)
{
    UserRecordBytes b{};
    bytes::put(b, 0, r.uid);
    bytes::put(b, 2, r.flags);
    bytes::put(b, 4, r.phoneArea);
    bytes::put(b, 8, r.phoneLocal);
    bytes::put(b, 12, r.tLeft);
    bytes::put(b, 16, r.tLimit);
    bytes::put(b, 20, r.sLeft);
    bytes::put(b, 24, r.sLimit);
    for (std::size_t i = 0; i < 4; ++i) {
        bytes::put(b, 28 + 2 * i, r.cLeft[i]);
        bytes::put(b, 36 + 2 * i, r.cLimit[i]);
        bytes::put(b, 58 + 2 * i, r.savedClass[i]);
    }
    bytes::put(b, 44, r.savedExpire);
    bytes::put(b, 48, r.savedFlags);
    bytes::put(b, 50, r.savedTime);
    bytes::put(b, 54, r.savedSession);
    bytes::put(b, 66, r.lastBytes);
    bytes::put(b, 74, r.totalBytes);
    bytes::put(b, 82, r.expire);
    bytes::put(b, 86, r.stamp);
    return b;
}

UserRecord decodeUserRecord(const UserRecordBytes &b)
{
    UserRecord r;
    r.uid = bytes::get<std::uint16_t>(b, 0);
    r.flags = bytes::get<std::uint16_t>(b, 2);
    r.phoneArea = bytes::get<std::uint32_t>(b, 4);
    r.phoneLocal = bytes::get<std::uint32_t>(b, 8);
    r.tLeft = bytes::get<std::int32_t>(b, 12);
    r.tLimit = bytes::get<std::int32_t>(b, 16);
    r.sLeft = bytes::get<std::int32_t>(b, 20);
    r.sLimit = bytes::get<std::int32_t>(b, 24);
    for (std::size_t i = 0; i < 4; ++i) {
        r.cLeft[i] = bytes::get<std::int16_t>(b, 28 + 2 * i);
        r.cLimit[i] = bytes::get<std::int16_t>(b, 36 + 2 * i);
        r.savedClass[i] = bytes::get<std::int16_t>(b, 58 + 2 * i);
    }
    r.savedExpire = bytes::get<std::int32_t>(b, 44);
    r.savedFlags = bytes::get<std::uint16_t>(b, 48);
    r.savedTime = bytes::get<std::int32_t>(b, 50);
    r.savedSession = bytes::get<std::int32_t>(b, 54);
    r.lastBytes = bytes::get<std::uint64_t>(b, 66);
    r.totalBytes = bytes::get<std::uint64_t>(b, 74);
    r.expire = bytes::get<std::int32_t>(b, 82);
    r.stamp = bytes::get<std::int32_t>(b, 86);
    return r;
}

namespace
{

const RecordFileNames accountFile{userFilePath, "account file", fixedText::userFileOpen,
                                  fixedText::userFileOpened};

} // namespace

void userFileOpen()
{
    // Only the superuser may change accounts; everyone else reads them.
    RecordAccess access = geteuid() == 0 ? RecordAccess::write : RecordAccess::read;
    userFile = openRecordFile(accountFile, access, userFileFD);
}

void userFileOpenForReading()
{
    userFile = openRecordFile(accountFile, RecordAccess::read, userFileFD);
}

std::vector<UserRecord> loadAccounts()
{
    userFileOpenForReading();
    std::vector<UserRecord> records;
    UserRecord record;
    while (userFileRead(&record) == 0)
        records.push_back(record);
    userFileClose();
    return records;
}

std::optional<UserRecord> readAccountOf(uid_t uid)
{
    // Ids beyond 16 bits have no record; they must not find someone else's.
    if (uid >= unknownUid)
        return std::nullopt;
    userFileOpenForReading();
    UserRecord record;
    bool found = userFileFind(&record, static_cast<std::uint16_t>(uid)) == 0;
    userFileClose();
    if (!found)
        return std::nullopt;
    return record;
}

void userFileClose()
{
    closeRecordFile(userFile, userFileFD);
}

void userFileSyncOnClose()
{
    syncRecordFileOnClose(userFileFD);
}

int userFileRead(UserRecord *record)
{
    UserRecordBytes b;
    if (readRecordBytes(userFile, b) != 0)
        return 1;
    *record = decodeUserRecord(b);
    return 0;
}

int userFileWrite(const UserRecord *record)
{
    return writeRecordBytes(userFile, userFileFD, encodeUserRecord(*record));
}

int userFileRewrite(const UserRecord *record)
{
    long next = std::ftell(userFile);
    if (next < 0 || std::fseek(userFile, -static_cast<long>(userRecordSize), SEEK_CUR) != 0)
        return 1;
    if (userFileWrite(record) == 0)
        return 0;
    // Left where the failed write began, a reader in a loop would read the
    // same record again, and again fail to write it back.
    int reason = errno;
    std::fseek(userFile, next, SEEK_SET);
    errno = reason;
    return 1;
}

int userFileFind(UserRecord *record, std::uint16_t uid)
{
    std::rewind(userFile);
    while (userFileRead(record) == 0) {
        if (record->uid == uid)
            return 0;
    }
    return 1;
}

int userFileAppend(const UserRecord *record)
{
    return appendRecordBytes(userFile, userFileFD, encodeUserRecord(*record));
}

void openAccountOf(UserRecord *record, std::uint16_t uid, const char *login)
{
    userFileOpen();
    if (userFileFind(record, uid) != 0)
        errorExit("user not found: %s", login);
}
