// Tarvok::FHUtils::Handle: a borrowed file handle, the type that tells a descriptor from a path.
//
// The system passes descriptors around as Handle values: a Handle names a descriptor that someone
// else owns (a Tarvok::UniqueFd, or one of the standard streams) and never closes it. A plain
// `int` is a descriptor *number*, not a handle; turning one into a handle is spelt out:
//
//     Tarvok::UniqueFd file(open(path, O_RDONLY | O_CLOEXEC));
//     set_non_blocking(file);                        // an owner lends itself as a Handle
//     set_non_blocking(Tarvok::FHUtils::Handle{0});  // standard input, said so explicitly
//
// A value that may be either a path or a handle is a std::variant<std::string, Handle>;
// Tarvok::FHUtils::Tiny::is_a tells which it holds.
#pragma once

#include "Tarvok/UniqueFd.hpp"

namespace Tarvok::FHUtils {

class Handle {
  public:
    constexpr explicit Handle(int fd) noexcept : fd_(fd) {}
    /// Borrows the owner's descriptor; the owner must outlive the Handle.
    Handle(const UniqueFd& owner) noexcept : fd_(owner.get()) {}
    /// A temporary owner would close the descriptor before the Handle is used.
    Handle(UniqueFd&&) = delete;

    /// The descriptor number; -1 when borrowed from an empty owner.
    constexpr int fd() const noexcept { return fd_; }

  private:
    int fd_;
};

}  // namespace Tarvok::FHUtils
