// ku_list: one line per account, for every account or for the logins
// named, showing what the expiry runner will do when the account expires.
#include <algorithm>
#include <array>
#include <cstdio>

#include "common.h"

namespace
{

const char *expiryAction(const UserRecord &record)
{
    if (record.expire == 0)
        return "N/A";
    return (record.flags & flagSubscribed) != 0 ? "UNSUBSCRIBE" : "DELETE";
}

void printAccount(PasswordTable &passwords, const UserRecord &record)
{
    const char *login = passwords.nameOf(record.uid);
    if (login == nullptr)
        return;
    std::array<char, phoneTextSize> phone{"N/A"};
    // A number the formats cannot lay out shows as an empty field.
    if (record.phoneLocal != 0)
        formatPhone(phone, record.phoneArea, record.phoneLocal, Settings.PhNoAreaFormat.data(),
                    Settings.PhNoLocalFormat.data());
    std::array<char, byteTextSize> traffic;
    formatBytes(traffic, record.totalBytes);
    // The times are the fields' 32 bits read as unsigned.
    std::printf("%s %s %d %d %d %d %d %s %s %lu %lu\n", login, phone.data(),
                priorityOf(record.flags), record.tLeft, record.tLimit, record.sLeft, record.sLimit,
                traffic.data(), expiryAction(record),
                static_cast<unsigned long>(static_cast<std::uint32_t>(record.expire)),
                static_cast<unsigned long>(static_cast<std::uint32_t>(record.stamp)));
}

void listAll(PasswordTable &passwords, const std::vector<UserRecord> &accounts)
{
    for (const UserRecord &record : accounts)
        printAccount(passwords, record);
}

// As userFileFind would: the first record of the login's id.
void listNamed(PasswordTable &passwords, const std::vector<UserRecord> &accounts,
               std::span<char *const> logins)
{
    for (const char *login : logins) {
        std::uint16_t uid = nameToUid(login);
        auto record = std::find_if(accounts.begin(), accounts.end(),
                                   [uid](const UserRecord &r) { return r.uid == uid; });
        if (uid != unknownUid && record != accounts.end())
            printAccount(passwords, *record);
    }
}

} // namespace

int main(int argc, char **argv)
{
    checkOutputAtExit();
    readConfig();
    PasswordTable passwords;
    // Read before the lock is taken, so that the monitor waits less.
    passwords.load();
    // Printed once the file is closed again: a listing piped into a pager
    // that nobody reads must not hold up the monitor.
    std::vector<UserRecord> accounts = loadAccounts();
    std::span<char *const> logins(argv + 1, static_cast<std::size_t>(argc - 1));
    if (logins.empty())
        listAll(passwords, accounts);
    else
        listNamed(passwords, accounts, logins);
    return 0;
}
