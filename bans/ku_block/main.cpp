// ku_block: bans a phone number, typed or taken from an account that it
// ends first; with -l, lists every ban.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include <unistd.h>

#include "common.h"

namespace
{

constexpr const char *deleteProgram = "/usr/sbin/ku_delete";

// ---------------------------------------------------------------- listing

// When a ban ends, as ctime writes it without its newline; "N/A" for never.
const char *expiryText(std::span<char, 64> out, std::int32_t expire)
{
    if (expire == 0)
        return "N/A";
    std::time_t at = expire;
    if (ctime_r(&at, out.data()) == nullptr)
        return "";
    std::string_view text(out.data());
    if (text.ends_with('\n'))
        out[text.size() - 1] = '\0';
    return out.data();
}

void printBan(const BanRecord &ban)
{
    std::array<char, phoneTextSize> phone;
    // A number that does not fit the formats shows as an empty column.
    formatPhone(phone, ban.phoneArea, ban.phoneLocal, Settings.PhNoAreaFormat.data(),
                Settings.PhNoLocalFormat.data());
    std::array<char, 64> expiry;
    std::printf("  %-14s%-24s%s\n", ban.prefix != 0 ? "PREFIX" : "NORMAL", phone.data(),
                expiryText(expiry, ban.expire));
}

void listBans()
{
    std::printf("   Type         Phone No.               Expiry\n"
                "------------------------------------------------------------------\n");
    // Read whole, and the file let go, before the bans are printed: output
    // nobody reads must not keep the ban file from its writers.
    std::vector<BanRecord> bans = loadBans();
    for (const BanRecord &ban : bans)
        printBan(ban);
}

// ---------------------------------------------------------------- adding a ban

// What to ban: the number, and the typed text (empty for an account's).
struct Target {
    std::string text;
    std::uint32_t area = 0;
    std::uint32_t local = 0;
};

Target typedNumber(std::span<char *const> words, bool prefix)
{
    Target target;
    target.text = joinWords(words);
    // A prefix may be shorter than a local number; a number may not.
    int invalid =
        prefix ? parsePhone(target.area, target.local, target.text, Settings.localDigits)
               : parseFullPhone(target.area, target.local, target.text, Settings.localDigits);
    if (invalid != 0)
        errorExit("invalid phone number: %s", target.text.c_str());
    return target;
}

// Takes the number registered on the account and ends the account.
Target accountNumber(const char *login)
{
    UserRecord record;
    openAccountOf(&record, existingUserUid(login), login);
    userFileClose();
    runProgram(deleteProgram, login, static_cast<const char *>(nullptr));
    Target target;
    target.area = record.phoneArea;
    target.local = record.phoneLocal;
    return target;
}

void addBan(const BanRecord &ban, const Target &target)
{
    banFileOpen();
    BanRecord existing;
    if (banFileFind(&existing, ban.phoneArea, ban.phoneLocal) == 0)
        errorExit("phone number is already banned: %s", target.text.c_str());
    if (banFileAppend(&ban) != 0)
        writeFailed(banFilePath);
    banFileClose();
}

// -l lists at once and ends the command; gives whether -p was seen.
bool readOptions(int argc, char **argv)
{
    bool prefix = false;
    int option;
    while ((option = getopt(argc, argv, "lp")) != -1) {
        if (option == 'l') {
            listBans();
            std::exit(0);
        }
        if (option == 'p')
            prefix = true;
    }
    return prefix;
}

bool isPhoneWord(const char *word)
{
    return isDigit(*word) || *word == '(';
}

} // namespace

int main(int argc, char **argv)
{
    checkOutputAtExit();
    readConfig();
    bool prefix = readOptions(argc, argv);
    if (argc - optind < 2)
        errorExit("usage: ku_block [-l] [-p] <expire> <login>|<phone_no>");
    std::span<char *const> args(argv + optind, static_cast<std::size_t>(argc - optind));
    std::int32_t expire = parseExpire(args[0]);
    // A number may be typed in several words; a login is one word.
    const char *subject = args[1];
    Target target =
        isPhoneWord(subject) ? typedNumber(argumentsFrom(args, 1), prefix) : accountNumber(subject);
    addBan(BanRecord{prefix ? std::uint8_t{1} : std::uint8_t{0}, target.area, target.local, expire},
           target);
    if (!target.text.empty())
        std::printf("phone number banned: %s%s\n", target.text.c_str(),
                    prefix ? " (prefix ban)" : "");
    else
        std::printf("user banned: %s\n", subject);
    return 0;
}
