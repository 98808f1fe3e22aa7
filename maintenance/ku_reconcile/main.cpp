// ku_reconcile: brings the account file into line with the password
// database, dropping every record whose user id has no login and every later
// record of an id that has one already.
#include <cerrno>
#include <cstdio>

#include <unistd.h>

#include "common.h"

namespace
{

// Removes the copy, keeping the reason of the failure that made it useless.
void discard(const char *copyName)
{
    int reason = errno;
    unlink(copyName);
    errno = reason;
}

[[noreturn]] void copyFailed(const char *copyName)
{
    discard(copyName);
    perrorExit(copyName);
}

// Copies the records to keep, in file order; whether any was dropped. A
// trailing piece of a record is none and is dropped with the rest.
bool copyKept(PasswordTable &passwords, std::FILE *copy, const char *copyName)
{
    UidSet kept;
    bool dropped = false;
    UserRecord record;
    while (userFileRead(&record) == 0) {
        if (kept.test(record.uid) || passwords.nameOf(record.uid) == nullptr) {
            dropped = true;
            continue;
        }
        kept.set(record.uid);
        UserRecordBytes bytes = encodeUserRecord(record);
        if (std::fwrite(bytes.data(), bytes.size(), 1, copy) != 1)
            copyFailed(copyName);
    }
    if (std::fclose(copy) != 0)
        copyFailed(copyName);
    return dropped;
}

} // namespace

int main()
{
    PasswordTable passwords;
    passwords.load();
    // Held from the first read to the end of the copy back, so that no
    // change made meanwhile (the monitor's minute) is overwritten.
    userFileOpen();
    char copyName[] = "/tmp/XXXXXX";
    std::FILE *copy = createTempFile(copyName);
    if (copy == nullptr)
        checkFailed("ku_reconcile", "main", "tmp_user != ((void *) 0)");
    // A file with nothing to drop is not touched at all.
    if (copyKept(passwords, copy, copyName) && userFileReplace(copyName) != 0) {
        discard(copyName);
        writeFailed(userFilePath);
    }
    userFileClose();
    unlink(copyName);
    return 0;
}
