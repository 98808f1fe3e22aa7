// ku_enrol: gives an existing system user a dial-in account, with the
// site's default boot flags and an optional registered phone number.
#include <cstdio>
#include <ctime>

#include "common.h"

namespace
{

[[noreturn]] void usage()
{
    errorExit("usage: ku_enrol <login> <expire> <time_limit> [session_limit] [priority]\n"
              "                   [phone_no] {class_limit}");
}

// The number to register, as typed and as split; none when `text` is null.
struct Phone {
    const char *text = nullptr;
    std::uint32_t area = 0;
    std::uint32_t local = 0;
};

// The open account file already lists the number on some account.
bool phoneInUse(const Phone &phone)
{
    std::rewind(userFile);
    UserRecord record;
    while (userFileRead(&record) == 0) {
        if (record.phoneArea == phone.area && record.phoneLocal == phone.local)
            return true;
    }
    return false;
}

void refuseIfInUse(const Phone &phone)
{
    if (phone.text != nullptr && phoneInUse(phone))
        errorExit("phone number is already in use: %s", phone.text);
}

// A negative number in the phone position stands for no phone number, so
// that class limits can follow it.
Phone checkedPhone(const char *text)
{
    Phone phone;
    if (text == nullptr || decimalArgument(text) < 0)
        return phone;
    phone.text = text;
    if (parseFullPhone(phone.area, phone.local, text, Settings.localDigits) != 0)
        errorExit("invalid phone number: %s", text);
    userFileOpen();
    refuseIfInUse(phone);
    userFileClose();
    banFileOpen();
    BanRecord ban;
    if (banFileFind(&ban, phone.area, phone.local) == 0)
        errorExit("phone number is banned: %s", text);
    banFileClose();
    return phone;
}

// A login that begins with a digit is taken as the user id itself.
std::uint16_t enrolledUid(const char *login)
{
    if (!isDigit(*login))
        return accountHolderUid(login);
    long uid = leadingDecimal<long>(login);
    // Cut to 16 bits, a larger id would name some other user's account.
    if (uid >= unknownUid)
        errorExit("user does not exist: %s", login);
    return static_cast<std::uint16_t>(uid);
}

std::uint16_t defaultBootFlags()
{
    std::uint16_t flags = 0;
    if (Settings.SmartBoot)
        flags |= flagSmartBoot;
    if (Settings.SessionSmartBoot)
        flags |= flagSessionSmartBoot;
    if (Settings.IdleBoot != 0)
        flags |= flagIdleBoot;
    if (Settings.IdleSmartBoot)
        flags |= flagIdleSmartBoot;
    if (Settings.TimeClassSmartBoot)
        flags |= flagTimeClassSmartBoot;
    return flags;
}

// The checks are made again under the lock that covers the append, so that
// an enrolment running at the same moment cannot register the same number
// or the same user in between.
void append(const UserRecord &record, const Phone &phone, const char *login)
{
    userFileOpen();
    refuseIfInUse(phone);
    UserRecord existing;
    if (userFileFind(&existing, record.uid) == 0)
        errorExit("user already exists: %s", login);
    if (userFileAppend(&record) != 0)
        writeFailed(userFilePath);
    userFileClose();
}

} // namespace

int main(int argc, char **argv)
{
    checkOutputAtExit();
    if (argc < 4)
        usage();
    std::span<char *const> args(argv + 1, static_cast<std::size_t>(argc - 1));
    const char *login = args[0];
    readConfig();
    Allowances allowances = readAllowances(argumentsFrom(args, 2), argumentsFrom(args, 6));
    Phone phone = checkedPhone(args.size() > 5 ? args[5] : nullptr);

    UserRecord record;
    record.uid = enrolledUid(login);
    record.flags = defaultBootFlags();
    applyAllowances(record, allowances);
    record.phoneArea = phone.area;
    record.phoneLocal = phone.local;
    record.expire = parseExpire(args[1]);
    record.stamp = static_cast<std::int32_t>(std::time(nullptr));
    append(record, phone, login);
    std::printf("user added: %s\n", login);
    return 0;
}
