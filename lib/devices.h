// Terminal device numbers, in the one encoding the whole suite compares.
#pragma once

#include <sys/types.h>

#include <cstdint>

// Device numbers are kept whole, in the kernel's encoding of a process's
// controlling terminal, so that two terminals never compare equal.
using DeviceNumber = std::uint32_t;
DeviceNumber deviceNumberOf(dev_t rdev);
