#include "Tarvok/NSCD/Check.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "Tarvok/ErrnoGuard.hpp"
#include "Tarvok/NSCD/Constants.hpp"
#include "Tarvok/Socket/UNIX/Micro.hpp"
#include "Tarvok/SysRoot.hpp"
#include "Tarvok/UniqueFd.hpp"

namespace Tarvok::NSCD::Check {
namespace {

struct State {
    std::function<std::time_t()> clock;
    std::optional<std::time_t> probed_at;
    int answer = 0;
};

State& _state() {
    static State state;
    return state;
}

/// Whether something accepts a connection at nscd's socket within PROBE_LIMIT. A listener that
/// has stopped taking connections fills its queue, and a plain connect() would wait for room
/// for as long as it hangs: the probe never waits, it tries again until the limit.
bool _accepts_within_limit(const std::string& path) {
    UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!probe) return false;
    const auto address = Socket::UNIX::Micro::unix_address(path);
    const auto deadline = std::chrono::steady_clock::now() + PROBE_LIMIT;
    for (;;) {
        if (::connect(probe.get(), address.get(), address.length) == 0) {
            return true;
        }
        if (errno == EINPROGRESS) {
            pollfd ready{probe.get(), POLLOUT, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            int error = 0;
            socklen_t size = sizeof error;
            return ::poll(&ready, 1, static_cast<int>(std::max<long>(left.count(), 0))) == 1 &&
                   ::getsockopt(probe.get(), SOL_SOCKET, SO_ERROR, &error, &size) == 0 &&
                   error == 0;
        }
        if (errno != EAGAIN && errno != EINTR) return false;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(PROBE_LIMIT / 20);
    }
}

std::time_t _now() {
    const State& state = _state();
    return state.clock ? state.clock() : std::time(nullptr);
}

}  // namespace

int nscd_is_running() {
    State& state = _state();
    const std::time_t now = _now();
    if (state.probed_at && *state.probed_at + CACHE_TTL > now) return state.answer;
    state.probed_at = now;
    // A refused connect is the usual answer on hosts without nscd; it must not leave its errno
    // behind for the caller. An nscd that does not answer in time counts as absent: the
    // lookups then read the files.
    ErrnoGuard keep;
    state.answer = _accepts_within_limit(SysRoot::path(Constants::NSCD_SOCKET)) ? 1 : 0;
    return state.answer;
}

void set_clock(std::function<std::time_t()> clock) {
    _state().clock = std::move(clock);
}

void reset() {
    _state().probed_at.reset();
    _state().answer = 0;
}

}  // namespace Tarvok::NSCD::Check
