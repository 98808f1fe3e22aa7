// The record decoders: each field of an account record (90 bytes) and of a
// ban record (13 bytes) is read little-endian from its own offset, and a
// decoded record encodes back to the very same bytes.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "check.h"
#include "common.h"

namespace
{

template <typename T> T at(const std::uint8_t *bytes, std::size_t offset)
{
    std::uint64_t value = 0;
    for (std::size_t i = sizeof(T); i-- > 0;)
        value = value << 8 | bytes[offset + i];
    T field;
    std::memcpy(&field, &value, sizeof field); // the low bytes, on this little-endian host
    return field;
}

void checkUserRecord(const UserRecordBytes &bytes)
{
    UserRecord r = decodeUserRecord(bytes);
    const std::uint8_t *b = bytes.data();
    FUZZ_CHECK(r.uid == at<std::uint16_t>(b, 0) && r.flags == at<std::uint16_t>(b, 2));
    FUZZ_CHECK(r.phoneArea == at<std::uint32_t>(b, 4) && r.phoneLocal == at<std::uint32_t>(b, 8));
    FUZZ_CHECK(r.tLeft == at<std::int32_t>(b, 12) && r.tLimit == at<std::int32_t>(b, 16));
    FUZZ_CHECK(r.sLeft == at<std::int32_t>(b, 20) && r.sLimit == at<std::int32_t>(b, 24));
    for (std::size_t i = 0; i < 4; ++i) {
        FUZZ_CHECK(r.cLeft[i] == at<std::int16_t>(b, 28 + 2 * i));
        FUZZ_CHECK(r.cLimit[i] == at<std::int16_t>(b, 36 + 2 * i));
        FUZZ_CHECK(r.savedClass[i] == at<std::int16_t>(b, 58 + 2 * i));
    }
    FUZZ_CHECK(r.savedExpire == at<std::int32_t>(b, 44) &&
               r.savedFlags == at<std::uint16_t>(b, 48));
    FUZZ_CHECK(r.savedTime == at<std::int32_t>(b, 50) && r.savedSession == at<std::int32_t>(b, 54));
    FUZZ_CHECK(r.lastBytes == at<std::uint64_t>(b, 66) && r.totalBytes == at<std::uint64_t>(b, 74));
    FUZZ_CHECK(r.expire == at<std::int32_t>(b, 82) && r.stamp == at<std::int32_t>(b, 86));
    FUZZ_CHECK(encodeUserRecord(r) == bytes);
    FUZZ_CHECK(decodeUserRecord(encodeUserRecord(r)) == r);
}

void checkBanRecord(const BanRecordBytes &bytes)
{
    BanRecord r = decodeBanRecord(bytes);
    const std::uint8_t *b = bytes.data();
    FUZZ_CHECK(r.prefix == b[0] && r.phoneArea == at<std::uint32_t>(b, 1));
    FUZZ_CHECK(r.phoneLocal == at<std::uint32_t>(b, 5) && r.expire == at<std::int32_t>(b, 9));
    FUZZ_CHECK(encodeBanRecord(r) == bytes);
    FUZZ_CHECK(decodeBanRecord(encodeBanRecord(r)) == r);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // Every input is read as either record, short ones padded with zeros.
    UserRecordBytes user{};
    std::copy_n(data, std::min(size, user.size()), user.begin());
    checkUserRecord(user);
    BanRecordBytes ban{};
    std::copy_n(data, std::min(size, ban.size()), ban.begin());
    checkBanRecord(ban);
    return 0;
}
