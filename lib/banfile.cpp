// The ban file: a flat sequence of 13-byte little-endian records of banned
// phone numbers and number prefixes, kept by the superuser alone.
#include <string_view>

#include <unistd.h>

#include "bytes.h"
#include "common.h"
#include "internal.h"

std::FILE *banFile = nullptr;
int banFileFD = -1;

BanRecordBytes encodeBanRecord(const BanRecord &r)
{
    BanRecordBytes b{};
    bytes::put(b, 0, r.prefix);
    bytes::put(b, 1, r.phoneArea);
    bytes::put(b, 5, r.phoneLocal);
    bytes::put(b, 9, r.expire);
    return b;
}

BanRecord decodeBanRecord(const BanRecordBytes &b)
{
    BanRecord r;
    r.prefix = bytes::get<std::uint8_t>(b, 0);
    r.phoneArea = bytes::get<std::uint32_t>(b, 1);
    r.phoneLocal = bytes::get<std::uint32_t>(b, 5);
    r.expire = bytes::get<std::int32_t>(b, 9);
    return r;
}

namespace
{

const RecordFileNames banFileNames{banFilePath, "ban file", fixedText::banFileOpen,
                                   fixedText::banFileOpened};

} // namespace

void banFileOpen()
{
    if (geteuid() != 0)
        errorExit("must be root");
    banFile = openRecordFile(banFileNames, RecordAccess::write, banFileFD);
}

std::vector<BanRecord> loadBans()
{
    if (geteuid() != 0)
        errorExit("must be root");
    banFile = openRecordFile(banFileNames, RecordAccess::read, banFileFD);
    std::vector<BanRecord> records;
    BanRecord record;
    while (banFileRead(&record) == 0)
        records.push_back(record);
    banFileClose();
    return records;
}

void banFileClose()
{
    closeRecordFile(banFile, banFileFD);
}

int banFileRead(BanRecord *record)
{
    BanRecordBytes b;
    if (readRecordBytes(banFile, b) != 0)
        return 1;
    *record = decodeBanRecord(b);
    return 0;
}

int banFileWrite(const BanRecord *record)
{
    return writeRecordBytes(banFile, banFileFD, encodeBanRecord(*record));
}

int banFileAppend(const BanRecord *record)
{
    return appendRecordBytes(banFile, banFileFD, encodeBanRecord(*record));
}

namespace
{

bool banMatches(const BanRecord &ban, std::uint32_t area, std::uint32_t local)
{
    if (ban.prefix == 0)
        return ban.phoneArea == area && ban.phoneLocal == local;
    DecimalText prefix(ban.phoneArea);
    if (area != 0 && DecimalText(area).view().starts_with(prefix.view()))
        return true;
    if (local != 0 && DecimalText(local).view().starts_with(prefix.view()))
        return true;
    return area == 0 && local == 0 && ban.phoneArea == 0 && ban.phoneLocal == 0;
}

} // namespace

int banFileFind(BanRecord *record, std::uint32_t area, std::uint32_t local)
{
    std::rewind(banFile);
    while (banFileRead(record) == 0) {
        if (banMatches(*record, area, local))
            return 0;
    }
    return 1;
}
