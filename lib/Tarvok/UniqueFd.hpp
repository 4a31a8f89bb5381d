// Tarvok::UniqueFd: the one owner of a file descriptor. Move-only; closes on destruction and never
// retries close() on EINTR (Linux has already released the descriptor then).
#pragma once

#include <unistd.h>

#include <utility>

namespace Tarvok {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.acquire()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.acquire());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }

    /// Gives up ownership without closing.
    int acquire() { return std::exchange(fd_, -1); }

    /// Closes the held descriptor (if any) and takes `fd`.
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

    /// Closes now and reports close()'s result (0, or -1 with errno set).
    int close() {
        if (fd_ < 0) return 0;
        return ::close(std::exchange(fd_, -1));
    }

private:
    int fd_ = -1;
};

}  // namespace Tarvok
