// How the account and ban commands put their changes into the record
// files: a write that fails ends the command instead of being confirmed, and
// records are dropped or all changed at once by writing a fresh file that
// takes the file's place under the file's own lock, so that no other
// writer's change can slip in and be lost, and a crash leaves the old file or
// the new one.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <span>

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

// What differs between the account file and the ban file.
struct RecordFile {
    std::FILE *&stream;
    int &fd;
    std::size_t recordSize;
    const char *path;
};

// What a whole-file rewrite makes of one record, as bytes: false drops it;
// true keeps it, as the edit left it.
using RecordEdit = std::function<bool(long index, std::span<std::uint8_t> record)>;

[[noreturn]] void copyFailed(Replacement &replacement)
{
    abandonReplacement(replacement);
    perrorExit(replacement.name.c_str());
}

// Writes what the edit makes of every whole record to the fresh file; a
// trailing piece of a record is not one and goes.
void copyEdited(const RecordFile &file, const RecordEdit &edit, Replacement &replacement)
{
    std::rewind(file.stream);
    std::array<std::uint8_t, userRecordSize> buffer; // the larger of the two sizes
    std::span<std::uint8_t> record(buffer.data(), file.recordSize);
    for (long index = 0; std::fread(record.data(), record.size(), 1, file.stream) == 1; ++index) {
        if (edit(index, record) &&
            std::fwrite(record.data(), record.size(), 1, replacement.stream) != 1)
            copyFailed(replacement);
    }
    // A write that fails late must still be told as the fresh file's.
    if (std::ferror(file.stream) || std::fflush(replacement.stream) != 0)
        copyFailed(replacement);
}

// The one way the commands change many records at once: all of the new
// file is written beside the old one, then takes its place, so that a
// crash leaves one or the other and never a mixture.
void rewriteAll(const RecordFile &file, const RecordEdit &edit, const char *program,
                const char *condition)
{
    Replacement replacement;
    if (std::fflush(file.stream) != 0 || !beginReplacement(file.path, file.fd, replacement)) {
        // A file open for reading only cannot be replaced by this process.
        if (errno == EBADF)
            perrorExit(file.path);
        checkFailed(program, fixedText::commandMain, condition);
    }
    copyEdited(file, edit, replacement);
    if (!commitReplacement(file.path, file.stream, file.fd, replacement))
        perrorExit(file.path);
}

RecordEdit dropping(const RecordFilter &dropped)
{
    return [dropped](long index, std::span<std::uint8_t>) { return !dropped(index); };
}

} // namespace

void userFileRewriteAll(const AccountEdit &edit, const char *program, const char *condition)
{
    auto editBytes = [&edit](long index, std::span<std::uint8_t> bytes) {
        UserRecordBytes image;
        std::copy(bytes.begin(), bytes.end(), image.begin());
        std::optional<UserRecord> kept = edit(index, decodeUserRecord(image));
        if (!kept)
            return false;
        image = encodeUserRecord(*kept);
        std::copy(image.begin(), image.end(), bytes.begin());
        return true;
    };
    rewriteAll({userFile, userFileFD, userRecordSize, userFilePath}, editBytes, program, condition);
}

void userFileDropIf(const RecordFilter &dropped, const char *program, const char *condition)
{
    rewriteAll({userFile, userFileFD, userRecordSize, userFilePath}, dropping(dropped), program,
               condition);
}

void userFileDrop(long index, const char *program)
{
    userFileDropIf([index](long at) { return at == index; }, program,
                   fixedText::userFileCopyCreated);
}

void banFileDrop(long index, const char *program)
{
    static_assert(banRecordSize <= userRecordSize);
    rewriteAll({banFile, banFileFD, banRecordSize, banFilePath},
               dropping([index](long at) { return at == index; }), program,
               fixedText::banFileCopyCreated);
}

void removeAccount(const char *login, const char *program)
{
    UserRecord record;
    openAccountOf(&record, existingUserUid(login), login);
    long dropped = std::ftell(userFile) / static_cast<long>(userRecordSize) - 1;
    userFileDrop(dropped, program);
    userFileClose();
}
