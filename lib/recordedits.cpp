// How the account and ban commands put their changes into the record
// files: a write that fails ends the command instead of being confirmed, and
// records are dropped by writing the others to a fresh file that takes the
// file's place under the file's own lock, so that no other writer's change
// can slip in and be lost, and a crash leaves the old file or the new one.
#include <cerrno>
#include <cstdio>

#include <unistd.h>

#include "common.h"
#include "internal.h"

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

// What differs between dropping accounts and dropping bans.
struct RecordFile {
    std::FILE *&stream;
    int &fd;
    std::size_t recordSize;
    const char *path;
};

[[noreturn]] void copyFailed(Replacement &replacement)
{
    abandonReplacement(replacement);
    perrorExit(replacement.name.c_str());
}

// Writes every whole record that is not dropped to the fresh file; a
// trailing piece of a record is not one and goes.
void copyKept(const RecordFile &file, const RecordFilter &dropped, Replacement &replacement)
{
    std::rewind(file.stream);
    std::array<char, userRecordSize> record; // the larger of the two sizes
    for (long index = 0; std::fread(record.data(), file.recordSize, 1, file.stream) == 1; ++index) {
        if (!dropped(index) &&
            std::fwrite(record.data(), file.recordSize, 1, replacement.stream) != 1)
            copyFailed(replacement);
    }
    // A write that fails late must still be told as the fresh file's.
    if (std::ferror(file.stream) || std::fflush(replacement.stream) != 0)
        copyFailed(replacement);
}

void drop(const RecordFile &file, const RecordFilter &dropped, const char *program,
          const char *condition)
{
    Replacement replacement;
    if (std::fflush(file.stream) != 0 || !beginReplacement(file.path, file.fd, replacement)) {
        // A file open for reading only cannot be replaced by this process.
        if (errno == EBADF)
            perrorExit(file.path);
        checkFailed(program, fixedText::commandMain, condition);
    }
    copyKept(file, dropped, replacement);
    if (!commitReplacement(file.path, file.stream, file.fd, replacement))
        perrorExit(file.path);
}

} // namespace

void userFileDropIf(const RecordFilter &dropped, const char *program, const char *condition)
{
    drop({userFile, userFileFD, userRecordSize, userFilePath}, dropped, program, condition);
}

void userFileDrop(long index, const char *program)
{
    userFileDropIf([index](long at) { return at == index; }, program,
                   fixedText::userFileCopyCreated);
}

void banFileDrop(long index, const char *program)
{
    static_assert(banRecordSize <= userRecordSize);
    drop(
        {banFile, banFileFD, banRecordSize, banFilePath}, [index](long at) { return at == index; },
        program, fixedText::banFileCopyCreated);
}

void removeAccount(const char *login, const char *program)
{
    UserRecord record;
    openAccountOf(&record, existingUserUid(login), login);
    long dropped = std::ftell(userFile) / static_cast<long>(userRecordSize) - 1;
    userFileDrop(dropped, program);
    userFileClose();
}
