#include "Tarvok/NSCD/Check.hpp"

#include <optional>
#include <string>

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
    // behind for the caller.
    ErrnoGuard keep;
    UniqueFd probe;
    state.answer =
        Socket::UNIX::Micro::connect(probe, SysRoot::path(Constants::NSCD_SOCKET)) ? 1 : 0;
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
