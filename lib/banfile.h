// The ban file: the 13-byte record of a banned phone number or prefix, its
// layout on disk, and the process-wide open file the ban commands use.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

inline constexpr std::size_t banRecordSize = 13;

struct BanRecord {
    std::uint8_t prefix = 0;
    std::uint32_t phoneArea = 0;
    std::uint32_t phoneLocal = 0;
    std::int32_t expire = 0;

    bool operator==(const BanRecord &) const = default;
};

using BanRecordBytes = std::array<std::uint8_t, banRecordSize>;
BanRecordBytes encodeBanRecord(const BanRecord &record);
BanRecord decodeBanRecord(const BanRecordBytes &bytes);

extern std::FILE *banFile;
extern int banFileFD;

void banFileOpen();
void banFileClose();
// As loadAccounts, for the ban file; "must be root" for anyone else.
std::vector<BanRecord> loadBans();
int banFileRead(BanRecord *record);
// As userFileWrite, for the open ban file.
int banFileWrite(const BanRecord *record);
int banFileFind(BanRecord *record, std::uint32_t area, std::uint32_t local);
// As userFileAppend, for the open ban file.
int banFileAppend(const BanRecord *record);
