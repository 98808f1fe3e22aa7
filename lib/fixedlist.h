// A table of fixed capacity, for the settings whose stored size is fixed.
#pragma once

#include <array>
#include <cstddef>

// A table of fixed capacity that knows how many of its entries are in use.
template <typename T, std::size_t Capacity> struct FixedList {
    std::array<T, Capacity> items{};
    std::size_t count = 0;

    static constexpr std::size_t capacity() { return Capacity; }
    bool full() const { return count == Capacity; }
    void clear() { count = 0; }
    // Appends unless the table is full; says whether the value was kept.
    bool push(const T &value)
    {
        if (full())
            return false;
        items[count++] = value;
        return true;
    }
    T *begin() { return items.data(); }
    T *end() { return items.data() + count; }
    const T *begin() const { return items.data(); }
    const T *end() const { return items.data() + count; }
    T &operator[](std::size_t i) { return items[i]; }
    const T &operator[](std::size_t i) const { return items[i]; }
};
