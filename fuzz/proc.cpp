// The process scan's parsers. A stat line is taken as it comes, reading
// nothing past its end: its command name is what stands between the first
// "(" and the last ")", cut to 15 characters; the state is the first letter
// of field 0 after it, and the parent, terminal, kernel flags and start time
// are fields 1, 4, 6 and 19, whole numbers (as the C library reads them and
// they write back) or the line is refused, and no other field refuses it; a line as
// the kernel writes it, whatever the name holds, gives back what was
// written. The status file's user ids are the first two words
// of its first line labelled "Uid:", whole unsigned numbers or it is refused.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "check.h"
#include "common.h"
#include "internal.h"

namespace
{

constexpr unsigned kernelThreadFlag = 0x00200000; // PF_KTHREAD

// A number as written without leading zeros (and without the sign of 0).
std::string withoutLeadingZeros(std::string_view text)
{
    bool negative = text.starts_with('-');
    text.remove_prefix(negative ? 1 : 0);
    while (text.size() > 1 && text[0] == '0')
        text.remove_prefix(1);
    return (negative && text != "0" ? "-" : "") + std::string(text);
}

// A whole decimal number of type T, as the kernel writes one: what the C
// library reads of the whole word, in range, and written back the same but
// for leading zeros. Unsigned fields take no sign.
template <typename T> bool wholeNumber(std::string_view word, T &value)
{
    std::string text(word);
    char *end = nullptr;
    errno = 0;
    if constexpr (std::is_signed_v<T>) {
        long long read = std::strtoll(text.c_str(), &end, 10);
        if (read < std::numeric_limits<T>::min() || read > std::numeric_limits<T>::max())
            return false;
        value = static_cast<T>(read);
    } else {
        unsigned long long read = std::strtoull(text.c_str(), &end, 10);
        if (text.starts_with('-') || read > std::numeric_limits<T>::max())
            return false;
        value = static_cast<T>(read);
    }
    return errno == 0 && *end == '\0' && withoutLeadingZeros(text) == std::to_string(value);
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
    pid_t ppid = 0;
    int tty = 0;
    unsigned flags = 0;
    std::uint64_t start = 0;
    bool whole = fields.size() >= 20 && wholeNumber(fields[1], ppid) &&
                 wholeNumber(fields[4], tty) && wholeNumber(fields[6], flags) &&
                 wholeNumber(fields[19], start);
    FUZZ_CHECK(parsed == whole);
    if (fields.size() >= 20) {
        // Only those four fields decide: written as plain numbers, the line
        // is taken whatever the others hold.
        std::vector<std::string_view> plain = fields;
        plain[1] = plain[4] = plain[6] = plain[19] = "0";
        ProcEntry again;
        std::string rewritten = std::string(line.substr(0, close + 1)) + " " + fuzz::joined(plain);
        FUZZ_CHECK(parseStat(rewritten, again) && again.state == fields[0][0]);
    }
    if (!parsed)
        return;
    checkComm(entry, line.substr(open + 1, close - open - 1));
    FUZZ_CHECK(entry.ppid == ppid && entry.tty == static_cast<DeviceNumber>(tty) &&
               entry.startTime == start && entry.state == fields[0][0]);
    FUZZ_CHECK(entry.kernelThread == ((flags & kernelThreadFlag) != 0));
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
    uid_t real = 0, effective = 0;
    bool whole = ids.size() >= 2 && wholeNumber(ids[0], real) && wholeNumber(ids[1], effective);
    FUZZ_CHECK(parsed == whole);
    if (parsed)
        FUZZ_CHECK(entry.uid == real && entry.euid == effective);
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
