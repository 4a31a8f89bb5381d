#include "Tarvok/FHUtils/Tiny.hpp"

#include <fcntl.h>

#include "Tarvok/ErrnoGuard.hpp"
#include "Tarvok/Error.hpp"

namespace Tarvok::FHUtils::Tiny {
namespace {

bool _is_open(int fd) {
    if (fd < 0) return false;
    ErrnoGuard keep;
    return ::fcntl(fd, F_GETFD) != -1;
}

bool _same_number(int a, int b) {
    return a > 0 && a == b;
}

}  // namespace

bool is_a(Handle handle) {
    return _is_open(handle.fd());
}

bool is_a(const UniqueFd& owner) {
    return _is_open(owner.get());
}

bool are_same(const UniqueFd& a, const UniqueFd& b) {
    return &a == &b || _same_number(a.get(), b.get());
}

bool are_same(Handle a, Handle b) {
    return _same_number(a.fd(), b.fd());
}

namespace detail {

void set_bit(std::string& mask, int fd) {
    if (fd < 0) {
        throw Tarvok::Error("Cannot put descriptor " + std::to_string(fd) +
                            " into a descriptor bit mask: it is not open");
    }
    const auto byte = static_cast<std::size_t>(fd) / 8;
    if (mask.size() <= byte) mask.resize(byte + 1, '\0');
    mask[byte] = static_cast<char>(static_cast<unsigned char>(mask[byte]) | (1u << (fd % 8)));
}

}  // namespace detail

}  // namespace Tarvok::FHUtils::Tiny
