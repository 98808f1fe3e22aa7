// ku_remove: deletes a user's account record; the system user stays.
#include <cerrno>
#include <cstdio>

#include <unistd.h>

#include "common.h"

namespace
{

// Writes every record but the one at `dropped` to the temporary copy.
void copyAllBut(long dropped, std::FILE *copy, const char *copyName)
{
    std::rewind(userFile);
    UserRecord record;
    for (long index = 0; userFileRead(&record) == 0; ++index) {
        if (index == dropped)
            continue;
        UserRecordBytes bytes = encodeUserRecord(record);
        if (std::fwrite(bytes.data(), bytes.size(), 1, copy) != 1) {
            unlink(copyName);
            perrorExit(copyName);
        }
    }
    if (std::fclose(copy) != 0) {
        unlink(copyName);
        perrorExit(copyName);
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2)
        errorExit("usage: ku_remove <login>");
    const char *login = argv[1];
    UserRecord record;
    openAccountOf(&record, existingUserUid(login), login);
    long dropped = std::ftell(userFile) / static_cast<long>(userRecordSize) - 1;

    char copyName[] = "/tmp/XXXXXX";
    std::FILE *copy = createTempFile(copyName);
    if (copy == nullptr)
        checkFailed("ku_remove", "main", "tUserFile != ((void *) 0)");
    copyAllBut(dropped, copy, copyName);

    // The copy goes back while the lock taken at open is still held, so no
    // other writer's change can slip in between and be lost.
    if (userFileReplace(copyName) != 0) {
        int reason = errno;
        unlink(copyName);
        errno = reason;
        perrorExit(userFilePath);
    }
    userFileClose();
    unlink(copyName);
    std::printf("user deleted: %s\n", login);
    return 0;
}
