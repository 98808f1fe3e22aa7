// Little-endian field access for the on-disk record layouts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace bytes
{

template <typename T> void put(std::span<std::uint8_t> out, std::size_t offset, T value)
{
    auto bits = static_cast<std::uint64_t>(value);
    for (std::size_t i = 0; i < sizeof(T); ++i)
        out[offset + i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

template <typename T> T get(std::span<const std::uint8_t> in, std::size_t offset)
{
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i)
        bits |= static_cast<std::uint64_t>(in[offset + i]) << (8 * i);
    return static_cast<T>(bits); // two's complement for the signed fields
}

} // namespace bytes
