// The process scan's parsers. A stat line is taken as it comes, reading
// nothing past its end: its command name is what stands between the first
// "(" and the last ")", cut to 15 characters; the state is the first letter
// of field 0 after it, and the parent, terminal, kernel flags and start time
// are fields 1, 4, 6 and 19, whole numbers or the line is refused; a line as
// the kernel writes it, whatever the name holds, gives back what was
// written. The status file's user ids are the first two words
// of its first line labelled "Uid:", whole unsigned numbers or it is refused.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "check.h"
#include "common.h"
#include "internal.h"

namespace
{

constexpr unsigned kernelThreadFlag = 0x00200000; // PF_KTHREAD

// A whole decimal number between the bounds, as the kernel writes one.
bool numberIn(std::string_view text, long double low, long double high, long double &value)
{
    bool negative = !text.empty() && text[0] == '-';
    text.remove_prefix(negative ? 1 : 0);
    if (text.empty())
        return false;
    value = 0;
    for (char c : text) {
        if (!fuzz::isDigit(c))
            return false;
        value = value * 10 + (c - '0'); // exact while it can still be in range
        if (value > high + 1 && value > -low + 1)
            return false;
    }
    value = negative ? -value : value;
    return value >= low && value <= high;
}

void checkComm(const ProcEntry &entry, std::string_view name)
{
    FUZZ_CHECK(entry.comm[commSize - 1] == '\0');
    std::size_t kept = std::min(name.size(), commSize - 1);
    FUZZ_CHECK(std::memcmp(entry.comm.data(), name.data(), kept) == 0 && entry.comm[kept] == '\0');
}

void checkRawStat(std::string_view line)
{
    ProcEntry entry;
    bool parsed = parseStat(line, entry);
    std::size_t open = line.find('(');
    std::size_t close = line.rfind(')');
    if (open == line.npos || close == line.npos || close < open) {
        FUZZ_CHECK(!parsed);
        return;
    }
    std::vector<std::string_view> fields = fuzz::tokensOf(line.substr(close + 1));
    long double ppid = 0, tty = 0, flags = 0, start = 0;
    bool whole = fields.size() >= 20 && numberIn(fields[1], INT_MIN, INT_MAX, ppid) &&
                 numberIn(fields[4], INT_MIN, INT_MAX, tty) &&
                 numberIn(fields[6], 0, UINT_MAX, flags) && fields[6][0] != '-' &&
                 numberIn(fields[19], 0, static_cast<long double>(UINT64_MAX), start) &&
                 fields[19][0] != '-';
    FUZZ_CHECK(parsed == whole);
    if (!parsed)
        return;
    checkComm(entry, line.substr(open + 1, close - open - 1));
    FUZZ_CHECK(entry.ppid == static_cast<pid_t>(ppid));
    FUZZ_CHECK(entry.tty == static_cast<DeviceNumber>(static_cast<int>(tty)));
    FUZZ_CHECK(entry.startTime == static_cast<std::uint64_t>(start));
    FUZZ_CHECK(entry.state == fields[0][0]);
    FUZZ_CHECK(entry.kernelThread == ((static_cast<unsigned>(flags) & kernelThreadFlag) != 0));
}

void checkKernelStat(FuzzedDataProvider &input)
{
    // The kernel's own form: any name of up to 15 bytes but NUL, a state
    // letter, numbers.
    std::string name = fuzz::text(input.ConsumeRandomLengthString(commSize - 1));
    auto pid = input.ConsumeIntegralInRange<int>(1, INT_MAX);
    const char *states = "RSDZTtXIPWK";
    char state = states[input.ConsumeIntegralInRange<std::size_t>(0, std::strlen(states) - 1)];
    auto ppid = input.ConsumeIntegralInRange<int>(0, INT_MAX);
    auto tty = input.ConsumeIntegral<int>();
    auto start = input.ConsumeIntegral<std::uint64_t>();
    std::string line = std::to_string(pid) + " (" + name + ") " + state + " " +
                       std::to_string(ppid) + " " + std::to_string(pid) + " " +
                       std::to_string(pid) + " " + std::to_string(tty);
    auto flags = input.ConsumeIntegral<std::uint32_t>();
    for (int field = 5; field < 19; ++field)
        line += " " + std::to_string(field == 6 ? flags : input.ConsumeIntegral<std::uint32_t>());
    line += " " + std::to_string(start) + " 1234567 89 18446744073709551615\n";

    ProcEntry entry;
    FUZZ_CHECK(parseStat(line, entry));
    checkComm(entry, name);
    FUZZ_CHECK(entry.ppid == ppid && entry.tty == static_cast<DeviceNumber>(tty) &&
               entry.startTime == start && entry.state == state &&
               entry.kernelThread == ((flags & kernelThreadFlag) != 0));
}

void checkStatus(std::string_view status)
{
    ProcEntry entry;
    entry.uid = entry.euid = 12345;
    bool parsed = parseStatus(status, entry);
    bool first = status.starts_with("Uid:");
    std::size_t at = first ? 0 : status.find("\nUid:");
    if (at == status.npos) {
        FUZZ_CHECK(!parsed);
        return;
    }
    std::string_view line = status.substr(first ? 0 : at + 1);
    line = line.substr(4, line.find('\n') - 4);
    std::vector<std::string_view> ids = fuzz::tokensOf(line);
    long double real = 0, effective = 0;
    bool whole = ids.size() >= 2 && ids[0][0] != '-' && ids[1][0] != '-' &&
                 numberIn(ids[0], 0, UINT_MAX, real) && numberIn(ids[1], 0, UINT_MAX, effective);
    FUZZ_CHECK(parsed == whole);
    if (parsed)
        FUZZ_CHECK(entry.uid == static_cast<uid_t>(real) &&
                   entry.euid == static_cast<uid_t>(effective));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    // The rest of the input, exactly as long as it is, so that the sanitizer
    // sees any read past its end.
    std::string_view rest(reinterpret_cast<const char *>(data) + 1, size - 1);
    switch (data[0] % 3) {
    case 0:
        checkRawStat(rest);
        break;
    case 1: {
        FuzzedDataProvider input(data + 1, size - 1);
        checkKernelStat(input);
        break;
    }
    default:
        checkStatus(rest);
    }
    return 0;
}
