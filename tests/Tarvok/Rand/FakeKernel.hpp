// Stand-ins for the kernel's random sources: getrandom and the random device hand out the bytes
// of a chosen stream, and either can be told to fail. Installed for the lifetime of the object.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <functional>
#include <string>

#include "Tarvok/Rand/Get.hpp"

namespace TestSupport {

class FakeKernel {
  public:
    FakeKernel() {
        clear();
        Tarvok::Rand::Get::reset();
        Tarvok::Rand::Get::set_kernel_sources({&fake_getrandom, &fake_open, &fake_read});
    }
    ~FakeKernel() { Tarvok::Rand::Get::reset(); }
    FakeKernel(const FakeKernel&) = delete;

    /// Byte number n of the stream that both sources hand out.
    static inline std::function<unsigned char(std::size_t)> stream = [](std::size_t n) {
        return static_cast<unsigned char>(n % 256);
    };
    static inline std::size_t position = 0;

    static inline int getrandom_calls = 0;
    /// Non-zero: getrandom fails with this errno.
    static inline int getrandom_errno = 0;
    /// getrandom fails with EINTR this many times before it works.
    static inline int getrandom_interruptions = 0;
    /// Non-zero: getrandom writes at most this many bytes per call.
    static inline std::size_t getrandom_short = 0;

    static inline int open_calls = 0;
    /// Non-zero: opening the device fails with this errno.
    static inline int open_errno = 0;
    /// What is really opened in place of the device.
    static inline std::string device = "/dev/null";

    static inline int read_calls = 0;
    /// The device's reads return 0 bytes.
    static inline bool read_nothing = false;

  private:
    static void clear() {
        stream = [](std::size_t n) { return static_cast<unsigned char>(n % 256); };
        position = 0;
        getrandom_calls = getrandom_errno = getrandom_interruptions = 0;
        getrandom_short = 0;
        open_calls = open_errno = read_calls = 0;
        device = "/dev/null";
        read_nothing = false;
    }

    static std::size_t fill(void* buffer, std::size_t length) {
        auto* out = static_cast<unsigned char*>(buffer);
        for (std::size_t i = 0; i < length; ++i) out[i] = stream(position++);
        return length;
    }
    static long fake_getrandom(void* buffer, std::size_t length, unsigned) {
        ++getrandom_calls;
        if (getrandom_interruptions > 0) {
            --getrandom_interruptions;
            errno = EINTR;
            return -1;
        }
        if (getrandom_errno != 0) {
            errno = getrandom_errno;
            return -1;
        }
        if (getrandom_short != 0 && length > getrandom_short) length = getrandom_short;
        return static_cast<long>(fill(buffer, length));
    }
    static int fake_open(const char*, int flags) {
        ++open_calls;
        if (open_errno != 0) {
            errno = open_errno;
            return -1;
        }
        return ::open(device.c_str(), flags);
    }
    static ssize_t fake_read(int, void* buffer, std::size_t length) {
        ++read_calls;
        if (read_nothing) return 0;
        return static_cast<ssize_t>(fill(buffer, length));
    }
};

}  // namespace TestSupport
