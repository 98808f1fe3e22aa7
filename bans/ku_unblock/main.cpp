// ku_unblock: lifts the first ban that covers a phone number.
#include <cstdio>
#include <string>

#include "common.h"

int main(int argc, char **argv)
{
    checkOutputAtExit();
    readConfig();
    if (argc < 2)
        errorExit("usage: ku_unblock <phone_no>");
    // Any length: the expiry runner passes numbers laid out by the formats.
    std::string phone =
        joinWords(std::span<char *const>(argv + 1, static_cast<std::size_t>(argc - 1)));
    std::uint32_t area = 0;
    std::uint32_t local = 0;
    if (parsePhone(area, local, phone, Settings.localDigits) != 0)
        errorExit("invalid phone number: %s", phone.c_str());

    banFileOpen();
    BanRecord ban;
    if (banFileFind(&ban, area, local) != 0)
        errorExit("phone number not found: %s", phone.c_str());
    long matched = std::ftell(banFile) / static_cast<long>(banRecordSize) - 1;
    // The copy goes back before the lock is let go, so that a ban added
    // meanwhile is not overwritten.
    banFileDrop(matched, "ku_unblock");
    banFileClose();
    std::printf("phone number unbanned: %s\n", phone.c_str());
    return 0;
}
