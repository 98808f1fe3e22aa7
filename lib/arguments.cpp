// Reading the account and ban commands' arguments: numbers, allowance sets
// and phone numbers typed as one or several words.
#include "common.h"

int decimalArgument(const char *text)
{
    // A number beyond int must not come out as some unrelated smaller one.
    return leadingDecimal<int>(text);
}

std::span<char *const> argumentsFrom(std::span<char *const> arguments, std::size_t from)
{
    return from < arguments.size() ? arguments.subspan(from) : std::span<char *const>{};
}

Allowances readAllowances(std::span<char *const> limits, std::span<char *const> classLimits)
{
    Allowances allowances;
    allowances.time = decimalArgument(limits[0]);
    allowances.session = limits.size() > 1 ? decimalArgument(limits[1]) : allowances.time;
    if (allowances.session < 0 || allowances.session > allowances.time)
        errorExit("invalid session_limit: %d", allowances.session);
    if (limits.size() > 2)
        allowances.priority = decimalArgument(limits[2]);
    if (static_cast<unsigned>(allowances.priority) > 7)
        errorExit("invalid priority: %d", allowances.priority);
    for (std::size_t k = 0; k < allowances.classes.size() && k < classLimits.size(); ++k)
        allowances.classes[k] = static_cast<std::int16_t>(decimalArgument(classLimits[k]));
    return allowances;
}

void applyAllowances(UserRecord &record, const Allowances &allowances)
{
    record.tLeft = record.tLimit = allowances.time;
    record.sLeft = record.sLimit = allowances.session;
    record.cLeft = record.cLimit = allowances.classes;
    record.flags = withPriority(record.flags, allowances.priority);
}

int parseFullPhone(std::uint32_t &area, std::uint32_t &local, std::string_view text,
                   int localDigits)
{
    std::uint32_t parsedArea = 0;
    std::uint32_t parsedLocal = 0;
    if (parsePhone(parsedArea, parsedLocal, text, localDigits) != 0)
        return 1;
    // Fewer digits than a local number (or only zeros in its place) is a
    // prefix, not a number someone dials from.
    if (parsedArea != 0 && parsedLocal == 0)
        return 1;
    area = parsedArea;
    local = parsedLocal;
    return 0;
}

std::string joinWords(std::span<char *const> words)
{
    std::string text;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i > 0)
            text += ' ';
        text += words[i];
    }
    return text;
}
