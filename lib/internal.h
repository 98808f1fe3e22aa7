// Declarations shared between the library's own modules only.
#pragma once

#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string_view>

#include <sys/types.h>

// Closes whichever record file is open, the account file first; the error
// exits call it so that no lock outlives a failing command.
void closeRecordFiles();

// Ends the process after a file operation failed, naming the operation, the
// file and the system's reason.
[[noreturn]] void fileFailure(const char *operation, const char *path);

// Opens a record file and waits for its whole-file lock: read-write,
// exclusive and close-on-exec when `writable`, else read-only and shared.
// Ends the process with the open diagnostic when the file cannot be opened.
std::FILE *openRecordFile(const char *path, bool writable, int &fd, const char *operation,
                          const char *condition);
void closeRecordFile(std::FILE *&stream, int &fd);
int readRecordBytes(std::FILE *stream, std::span<std::uint8_t> record);
int writeRecordBytes(std::FILE *stream, int fd, std::span<const std::uint8_t> record);
// Puts the content of `source` into the open record file through the
// descriptor that holds its lock. False, with errno set, when that fails.
bool replaceRecordFile(std::FILE *stream, int fd, const char *source);

// Writes all of `size` bytes at `offset`; false, with errno set, if not.
bool writeAllAt(int fd, const void *data, std::size_t size, off_t offset);

// Writes the content of the open file `sourceFd` over `destinationFd` from
// its start, cuts the destination to the new length and syncs it. False,
// with errno set, when any step fails.
bool copyOver(int sourceFd, int destinationFd);

// The password database's id for a login, whole.
std::optional<uid_t> lookupUid(const char *login);

// The decimal text of a number, in a small buffer of its own.
struct DecimalText {
    std::array<char, 12> digits{};
    std::size_t length = 0;

    explicit DecimalText(std::uint32_t value)
    {
        auto result = std::to_chars(digits.data(), digits.data() + digits.size(), value);
        length = static_cast<std::size_t>(result.ptr - digits.data());
    }
    std::string_view view() const { return {digits.data(), length}; }
};
