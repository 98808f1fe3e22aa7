// formatPhone and formatBytes: a layout is written within the caller's
// buffer or not at all (null, the buffer empty), holds the digits of the
// parts in order and nothing else of them, does not depend on the room it
// was given when it fits, and fits 52 bytes with formats of 15 characters;
// formatDigitCount adds up the format's numbers; a byte count prints in the
// unit its size calls for, with the value it has in that unit.
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "check.h"
#include "common.h"

namespace
{

std::string digitsOf(std::string_view text)
{
    std::string digits;
    for (char c : text) {
        if (fuzz::isDigit(c))
            digits += c;
    }
    return digits;
}

int digitCount(std::string_view format)
{
    long long total = 0;
    long long group = -1;
    for (std::size_t i = 0; i <= format.size(); ++i) {
        if (i < format.size() && fuzz::isDigit(format[i])) {
            group = std::min<long long>((group < 0 ? 0 : group) * 10 + (format[i] - '0'), INT_MAX);
            continue;
        }
        if (group >= 0)
            total = std::min<long long>(total + group, INT_MAX);
        group = -1;
    }
    return static_cast<int>(total);
}

void checkPhone(FuzzedDataProvider &input)
{
    auto area = input.ConsumeIntegral<std::uint32_t>();
    auto local = input.ConsumeIntegral<std::uint32_t>();
    std::size_t room = input.ConsumeIntegralInRange<std::size_t>(0, 80);
    std::string areaFormat = fuzz::text(input.ConsumeRandomLengthString(40));
    std::string localFormat = fuzz::text(input.ConsumeRandomLengthString(40));

    FUZZ_CHECK(formatDigitCount(areaFormat) == digitCount(areaFormat));
    FUZZ_CHECK(formatDigitCount(localFormat) == digitCount(localFormat));

    // Exactly the room given, so that the sanitizer sees any write past it.
    std::unique_ptr<char[]> out(new char[room]);
    std::memset(out.get(), 'x', room);
    const char *text = formatPhone({out.get(), room}, area, local, areaFormat, localFormat);
    char roomy[256];
    const char *unbounded = formatPhone(roomy, area, local, areaFormat, localFormat);

    if (text == nullptr) {
        FUZZ_CHECK(room == 0 || out[0] == '\0');
        // Null only because it does not fit, or not at all.
        FUZZ_CHECK(unbounded == nullptr || std::strlen(unbounded) >= room);
    } else {
        FUZZ_CHECK(text == out.get());
        FUZZ_CHECK(std::strlen(text) < room);
        FUZZ_CHECK(unbounded != nullptr && std::strcmp(text, unbounded) == 0);
    }
    if (unbounded == nullptr) {
        FUZZ_CHECK(roomy[0] == '\0');
        return;
    }
    std::string areaDigits = std::to_string(area);
    std::string localDigits = std::to_string(local);
    if (local == 0)
        FUZZ_CHECK(unbounded == areaDigits);
    else
        FUZZ_CHECK(digitsOf(unbounded) == (area == 0 ? "" : areaDigits) + localDigits);
    if (areaFormat.size() < phoneFormatSize && localFormat.size() < phoneFormatSize)
        FUZZ_CHECK(std::strlen(unbounded) < 52);
}

void checkBytes(FuzzedDataProvider &input)
{
    auto bytes = input.ConsumeIntegral<std::uint64_t>();
    std::unique_ptr<char[]> out(new char[byteTextSize]);
    const char *text = formatBytes({out.get(), byteTextSize}, bytes);
    FUZZ_CHECK(text == out.get());
    std::size_t length = strnlen(text, byteTextSize);
    FUZZ_CHECK(length < byteTextSize && length > 3);

    std::string_view unit(text + length - 3, 3);
    long double divisor = 1024;
    if (bytes >= 1073741824) {
        FUZZ_CHECK(unit == " GB");
        divisor = 1073741824;
    } else if (bytes >= 1048576) {
        FUZZ_CHECK(unit == " MB");
        divisor = 1048576;
    } else {
        FUZZ_CHECK(unit == " KB");
    }
    char *end = nullptr;
    long double shown = std::strtold(text, &end);
    FUZZ_CHECK(end == text + length - 3);
    // Two decimals, of a value taken in single precision.
    long double value = static_cast<long double>(bytes) / divisor;
    FUZZ_CHECK(std::fabs(shown - value) <= 0.005L + value * 1e-6L);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    if (input.ConsumeBool())
        checkPhone(input);
    else
        checkBytes(input);
    return 0;
}
