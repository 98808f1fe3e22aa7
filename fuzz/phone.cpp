// parsePhone and formatPhone together: a number of 1 to 18 digits splits into
// the parts its digits say, the last localDigits of them the local part, each
// held to 2147483647; anything else is refused with the parts untouched; and
// a number laid out by the formats, whenever it can be, reads back to the
// same parts, unless its local part is 0 and its area as long as a local
// part (its area alone is then laid out).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "check.h"
#include "common.h"

namespace
{

constexpr std::uint32_t untouched = 0xDEADBEEF;

std::uint32_t partOf(const std::string &digits)
{
    unsigned long long value = std::strtoull(digits.c_str(), nullptr, 10); // "" is 0
    return static_cast<std::uint32_t>(std::min<unsigned long long>(value, INT32_MAX));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    // Formats as the settings hold them: texts of at most 15 characters.
    std::string areaFormat = fuzz::text(input.ConsumeRandomLengthString(phoneFormatSize - 1));
    std::string localFormat = fuzz::text(input.ConsumeRandomLengthString(phoneFormatSize - 1));
    // Without a local format line the digit count stays 0.
    int localDigits = input.ConsumeBool() ? formatDigitCount(localFormat) : 0;
    std::string text = input.ConsumeRemainingBytesAsString();

    std::uint32_t area = untouched;
    std::uint32_t local = untouched;
    int result = parsePhone(area, local, text, localDigits);

    std::string digits;
    for (char c : text) {
        if (fuzz::isDigit(c))
            digits += c;
    }
    if (digits.empty() || digits.size() > 18) {
        FUZZ_CHECK(result == 1 && area == untouched && local == untouched);
        return 0;
    }
    FUZZ_CHECK(result == 0);
    std::size_t localCount = static_cast<std::size_t>(localDigits);
    std::size_t areaCount = localCount > digits.size() ? digits.size() : digits.size() - localCount;
    FUZZ_CHECK(area == partOf(digits.substr(0, areaCount)));
    FUZZ_CHECK(local == partOf(digits.substr(areaCount)));

    char laidOut[phoneTextSize];
    if (formatPhone(laidOut, area, local, areaFormat, localFormat) == nullptr)
        return 0;
    // A local part of 0 lays out as the area alone, which reads back as the
    // same parts only while it is shorter than a local part.
    if (local == 0 && localCount > 0 && std::to_string(area).size() >= localCount)
        return 0;
    std::uint32_t areaAgain = untouched;
    std::uint32_t localAgain = untouched;
    FUZZ_CHECK(parsePhone(areaAgain, localAgain, laidOut, localDigits) == 0);
    FUZZ_CHECK(areaAgain == area && localAgain == local);
    return 0;
}
