// ku_limits: changes an account's allowances, priority, expiry or boot flags
// in place.
#include <array>
#include <cstdio>
#include <type_traits>

#include <strings.h>

#include "common.h"

namespace
{

[[noreturn]] void usage()
{
    errorExit("usage: ku_limits <login> <expire> <time_limit> [session_limit] [priority]\n"
              "                 {class_limit}\n"
              "               | <+|-><SmartBoot>|<SessionSmartBoot>|<IdleBoot>|<IdleSmartBoot>\n"
              "               | <login> <tLeft>|<tLimit>|<sLeft>|<sLimit> <+=|-=|=> <minutes>\n"
              "               | <login> <cLeft>|<cLimit> <class> <+=|-=|=> <minutes>");
}

// ---------------------------------------------------------------- flag form

struct BootFlag {
    const char *name;
    std::uint16_t bit;
};

constexpr std::array<BootFlag, 5> bootFlags{{
    {"SmartBoot", flagSmartBoot},
    {"SessionSmartBoot", flagSessionSmartBoot},
    {"IdleBoot", flagIdleBoot},
    {"IdleSmartBoot", flagIdleSmartBoot},
    {"TimeClassSmartBoot", flagTimeClassSmartBoot},
}};

// "+Name" sets a boot flag, "-Name" clears it.
void switchBootFlag(UserRecord &record, const char *argument)
{
    const char *name = argument + 1;
    for (const BootFlag &flag : bootFlags) {
        if (strcasecmp(name, flag.name) != 0)
            continue;
        if (argument[0] == '+')
            record.flags |= flag.bit;
        else
            record.flags &= static_cast<std::uint16_t>(~flag.bit);
        return;
    }
    errorExit("unknown flag: %s", name);
}

// ---------------------------------------------------------------- set form

// Resets the whole allowance set, as a new account would have it; a
// subscription keeps an end date.
void resetAllowances(UserRecord &record, const char *login, std::span<char *const> args)
{
    Allowances allowances = readAllowances(argumentsFrom(args, 1), argumentsFrom(args, 4));
    std::int32_t expire = parseExpire(args[0]);
    if ((record.flags & flagSubscribed) != 0 && expire == 0)
        errorExit("<expire> = 0 invalid (user %s has a subscription).", login);
    record.expire = expire;
    applyAllowances(record, allowances);
}

// ---------------------------------------------------------------- counter forms

enum class Operator { add, subtract, assign };

Operator operatorNamed(const char *text)
{
    std::string_view name(text);
    if (name == "+=")
        return Operator::add;
    if (name == "-=")
        return Operator::subtract;
    if (name == "=")
        return Operator::assign;
    errorExit("unknown operator: %s", text);
}

// The counters wrap in their own width, 32 or 16 bits, as stored.
template <typename Counter> Counter operated(Counter value, Operator op, int minutes)
{
    using Bits = std::make_unsigned_t<Counter>;
    auto operand = static_cast<Bits>(minutes);
    switch (op) {
    case Operator::add:
        return static_cast<Counter>(static_cast<Bits>(static_cast<Bits>(value) + operand));
    case Operator::subtract:
        return static_cast<Counter>(static_cast<Bits>(static_cast<Bits>(value) - operand));
    case Operator::assign:
        break;
    }
    return static_cast<Counter>(operand);
}

std::int32_t *counterNamed(UserRecord &record, const char *name)
{
    if (strcasecmp(name, "tLeft") == 0)
        return &record.tLeft;
    if (strcasecmp(name, "tLimit") == 0)
        return &record.tLimit;
    if (strcasecmp(name, "sLeft") == 0)
        return &record.sLeft;
    if (strcasecmp(name, "sLimit") == 0)
        return &record.sLimit;
    errorExit("unknown field: %s", name);
}

// <field> <operator> <minutes>
void adjustCounter(UserRecord &record, std::span<char *const> args)
{
    int minutes = decimalArgument(args[2]);
    std::int32_t *counter = counterNamed(record, args[0]);
    *counter = operated(*counter, operatorNamed(args[1]), minutes);
}

// Any word that begins with "cLeft" or "cLimit" names that table.
std::array<std::int16_t, 4> &classTableNamed(UserRecord &record, const char *name)
{
    if (strncasecmp(name, "cLeft", 5) == 0)
        return record.cLeft;
    if (strncasecmp(name, "cLimit", 6) == 0)
        return record.cLimit;
    errorExit("unknown field: %s", name);
}

// <cLeft|cLimit> <class> <operator> <minutes>
void adjustClass(UserRecord &record, std::span<char *const> args)
{
    int timeClass = decimalArgument(args[1]);
    int minutes = decimalArgument(args[3]);
    std::array<std::int16_t, 4> &table = classTableNamed(record, args[0]);
    if (static_cast<unsigned>(timeClass) > 3)
        errorExit("invalid time class: ");
    std::int16_t &entry = table[static_cast<std::size_t>(timeClass)];
    entry = operated(entry, operatorNamed(args[2]), minutes);
}

// ---------------------------------------------------------------- forms

// The arguments after the login choose the form.
void edit(UserRecord &record, const char *login, std::span<char *const> args)
{
    char first = args[0][0];
    if (args.size() == 1 && (first == '+' || first == '-'))
        switchBootFlag(record, args[0]);
    else if (isDigit(first) && args.size() >= 2)
        resetAllowances(record, login, args);
    else if (!isDigit(first) && args.size() == 3)
        adjustCounter(record, args);
    else if (!isDigit(first) && args.size() == 4)
        adjustClass(record, args);
    else
        usage();
}

} // namespace

int main(int argc, char **argv)
{
    checkOutputAtExit();
    if (argc < 3)
        usage();
    const char *login = argv[1];
    UserRecord record;
    openAccountOf(&record, accountHolderUid(login), login);
    edit(record, login, std::span<char *const>(argv + 2, static_cast<std::size_t>(argc - 2)));
    rewriteAccount(record);
    userFileClose();
    std::printf("user modified: %s\n", login);
    return 0;
}
