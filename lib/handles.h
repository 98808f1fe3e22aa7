// Owners of the descriptors and streams a function opens and closes itself,
// so that every way out of it closes them.
#pragma once

#include <cstdio>
#include <memory>

// A file descriptor, closed when its owner goes. Closing keeps errno, so that
// the reason of a failure just met outlives the cleanup after it.
class UniqueFd
{
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Gives the descriptor up to the caller, who closes it.
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the descriptor held, if any, and holds `fd` instead.
    void reset(int fd = -1);

  private:
    int fd_ = -1;
};

// A stream, closed when its owner goes.
struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;
