// ku_stamp: renews the time an account was last used.
#include <cstdio>
#include <ctime>

#include "common.h"

int main(int argc, char **argv)
{
    checkOutputAtExit();
    if (argc != 2)
        errorExit("usage: ku_stamp <login>");
    const char *login = argv[1];
    UserRecord record;
    openAccountOf(&record, existingUserUid(login), login);
    record.stamp = static_cast<std::int32_t>(std::time(nullptr));
    if (userFileRewrite(&record) != 0)
        perrorExit(userFilePath);
    std::printf("user touched: %s\n", login);
    userFileClose();
    return 0;
}
