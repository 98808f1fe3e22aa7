// How the account and ban commands put their changes into the record
// files: a write that fails ends the command instead of being confirmed, and
// a record is dropped through a temporary copy that goes back under the
// file's own lock, so no other writer's change can slip in and be lost.
#include <cerrno>
#include <cstdio>

#include <unistd.h>

#include "common.h"

void writeFailed(const char *path)
{
    // Only the superuser gets a record file opened for writing.
    if (geteuid() != 0)
        errorExit("must be root");
    perrorExit(path);
}

void rewriteAccount(const UserRecord &record)
{
    if (userFileRewrite(&record) != 0)
        writeFailed(userFilePath);
}

namespace
{

// What differs between dropping an account and dropping a ban.
struct RecordFile {
    std::FILE *stream;
    std::size_t recordSize;
    const char *path;
    const char *copyCondition; // quoted when the copy cannot be made
    int (*replace)(const char *source);
};

[[noreturn]] void copyFailed(const char *copyName, const char *label)
{
    int reason = errno;
    unlink(copyName);
    errno = reason;
    perrorExit(label);
}

// Writes every whole record but the one at `dropped` to the copy; a
// trailing piece of a record is not one and goes.
void copyAllBut(const RecordFile &file, long dropped, std::FILE *copy, const char *copyName)
{
    std::rewind(file.stream);
    std::array<char, userRecordSize> record; // the larger of the two sizes
    for (long index = 0; std::fread(record.data(), file.recordSize, 1, file.stream) == 1; ++index) {
        if (index != dropped && std::fwrite(record.data(), file.recordSize, 1, copy) != 1)
            copyFailed(copyName, copyName);
    }
    if (std::fclose(copy) != 0)
        copyFailed(copyName, copyName);
}

void drop(const RecordFile &file, long index, const char *program)
{
    char copyName[] = "/tmp/XXXXXX";
    std::FILE *copy = createTempFile(copyName);
    if (copy == nullptr)
        checkFailed(program, "main", file.copyCondition);
    copyAllBut(file, index, copy, copyName);
    if (file.replace(copyName) != 0)
        copyFailed(copyName, file.path);
    unlink(copyName);
}

} // namespace

void userFileDrop(long index, const char *program)
{
    drop({userFile, userRecordSize, userFilePath, "tUserFile != ((void *) 0)", userFileReplace},
         index, program);
}

void banFileDrop(long index, const char *program)
{
    static_assert(banRecordSize <= userRecordSize);
    drop({banFile, banRecordSize, banFilePath, "tBanFile != ((void *)0)", banFileReplace}, index,
         program);
}

void removeAccount(const char *login, const char *program)
{
    UserRecord record;
    openAccountOf(&record, existingUserUid(login), login);
    long dropped = std::ftell(userFile) / static_cast<long>(userRecordSize) - 1;
    userFileDrop(dropped, program);
    userFileClose();
    std::printf("user deleted: %s\n", login);
}
