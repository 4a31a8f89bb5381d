#include "Tarvok/FHUtils/Blocking.hpp"

#include "Tarvok/Autodie.hpp"
#include "Tarvok/Fcntl/Constants.hpp"

namespace Tarvok::FHUtils::Blocking {
namespace {

constexpr int kGetFl = Fcntl::Constants::get("F_GETFL");
constexpr int kSetFl = Fcntl::Constants::get("F_SETFL");
constexpr int kNonBlock = Fcntl::Constants::get("O_NONBLOCK");

}  // namespace

/// The descriptor's status flags.
int _get_fl_flags(Handle handle) {
    return Autodie::fcntl(handle.fd(), kGetFl, 0);
}

bool set_non_blocking(Handle handle) {
    Autodie::fcntl(handle.fd(), kSetFl, _get_fl_flags(handle) | kNonBlock);
    return true;
}

bool set_blocking(Handle handle) {
    Autodie::fcntl(handle.fd(), kSetFl, _get_fl_flags(handle) & ~kNonBlock);
    return true;
}

bool is_set_to_block(Handle handle) {
    return (_get_fl_flags(handle) & kNonBlock) == 0;
}

}  // namespace Tarvok::FHUtils::Blocking
