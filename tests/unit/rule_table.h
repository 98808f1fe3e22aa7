// The table of the monitor's limit rules: the rules' own test weighs each
// case, and the login gate's test checks that it refuses exactly the cases
// the monitor cuts off.
#pragma once

#include <cctype>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "monitor.h"

namespace ruletable
{

inline UserRecord account(std::int32_t tLeft, std::int32_t sLeft = 100, std::uint16_t flags = 0)
{
    UserRecord record;
    record.uid = 1001;
    record.flags = withPriority(flags, 4);
    record.tLeft = tLeft;
    record.tLimit = 600;
    record.sLeft = sLeft;
    record.sLimit = 120;
    record.cLeft.fill(classUnlimited);
    record.cLimit.fill(classUnlimited);
    return record;
}

struct RuleCase {
    const char *name;
    UserRecord record;
    int timeClass;
    bool busy;
    int minutesLeft;
    bool disconnect;
    Cause cause;
};

inline UserRecord withClass(UserRecord record, int timeClass, std::int16_t limit, std::int16_t left)
{
    record.cLimit[timeClass] = limit;
    record.cLeft[timeClass] = left;
    return record;
}

inline UserRecord withLimits(std::int32_t tLimit, std::int32_t sLimit, UserRecord record)
{
    record.tLimit = tLimit;
    record.sLimit = sLimit;
    return record;
}

inline UserRecord withPriorityOf(int priority, UserRecord record)
{
    record.flags = withPriority(record.flags, priority);
    return record;
}

// Records as a pass leaves them once charged, with the class in force and
// whether every line is busy.
inline const std::vector<RuleCase> &ruleCases()
{
    static const std::vector<RuleCase> cases{
        RuleCase{"time left", account(30, 100), -1, false, 30, false, Cause::total},
        RuleCase{"spent to zero", account(0, 100), -1, false, 0, true, Cause::total},
        RuleCase{"no limits at all", withLimits(-1, -1, account(-5, -5)), -1, true, INT_MAX, false,
                 Cause::total},
        RuleCase{"session lower", account(30, 10), -1, false, 10, false, Cause::total},
        RuleCase{"session spent", account(30, -2), -1, false, -2, true, Cause::session},
        RuleCase{"total below session", account(-4, -2), -1, false, -4, true, Cause::total},
        RuleCase{"smart total, a line free", withLimits(600, -1, account(-3, 0, flagSmartBoot)), -1,
                 false, INT_MAX, false, Cause::total},
        RuleCase{"smart total, lines busy", withLimits(600, -1, account(-3, 0, flagSmartBoot)), -1,
                 true, -3, true, Cause::total},
        RuleCase{"smart session, a line free", account(30, -1, flagSessionSmartBoot), -1, false, 30,
                 false, Cause::total},
        RuleCase{"smart session, lines busy", account(30, -1, flagSessionSmartBoot), -1, true, -1,
                 true, Cause::session},
        RuleCase{"class spent", withClass(account(30), 2, 20, 0), 2, false, 0, true,
                 Cause::timeClass},
        RuleCase{"class of another time", withClass(account(30), 2, 20, 0), 1, false, 30, false,
                 Cause::total},
        RuleCase{"class not limited", withClass(account(30), 2, -1, -9), 2, false, 30, false,
                 Cause::total},
        RuleCase{"class not the session's", withClass(account(30), 2, -2, -9), 2, false, 30, false,
                 Cause::total},
        RuleCase{"class free", withClass(account(30), 2, -3, -9), 2, false, 30, false,
                 Cause::total},
        RuleCase{"smart class, a line free",
                 withClass(account(30, 100, flagTimeClassSmartBoot), 0, 5, -1), 0, false, 30, false,
                 Cause::total},
        RuleCase{"smart class, lines busy",
                 withClass(account(30, 100, flagTimeClassSmartBoot), 0, 5, -1), 0, true, -1, true,
                 Cause::timeClass},
        RuleCase{"priority 0, lines busy", withPriorityOf(0, account(30)), -1, true, 0, true,
                 Cause::busyLines},
        RuleCase{"priority 0, a line free", withPriorityOf(0, account(30)), -1, false, 30, false,
                 Cause::total},
        RuleCase{"priority 1, lines busy", withPriorityOf(1, account(30)), -1, true, 30, false,
                 Cause::total},
        RuleCase{"priority 0 already spent", withPriorityOf(0, account(-2)), -1, true, -2, true,
                 Cause::total}};
    return cases;
}

// A case's name as a test name: "smart total, a line free" gives
// smart_total__a_line_free.
inline std::string ruleCaseName(const ::testing::TestParamInfo<RuleCase> &rule)
{
    std::string name = rule.param.name;
    for (char &c : name)
        c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

} // namespace ruletable
