// How the teardown is noticed: exit() first runs the destructors of the calling thread's
// thread_local objects, before any atexit handler and before any object with static storage is
// destroyed (main returning calls exit() too). A thread_local sentinel created in the main thread
// at start-up therefore marks the beginning of the teardown ahead of everything that may ask.
// An exit handler registered at start-up marks it as well, for an exit() from another thread.
#include "Tarvok/Destruct.hpp"

#include <unistd.h>

#include <cstdlib>

namespace Tarvok::Destruct {
namespace {

// Plain values with constant initialisation: usable before and after every dynamic initialiser.
bool g_exiting = false;
bool g_teardown_seen = false;
bool g_test_harness_loaded = false;

// The self-check module is linked into every program of this system.
constexpr bool kBinCheckPresent = true;

void _begin_teardown() {
    g_exiting = true;
}

struct Sentinel {
    ~Sentinel() {
        // Only the main thread's exit: another thread that ends also runs these destructors.
        if (gettid() == getpid()) _begin_teardown();
    }
};

thread_local Sentinel t_sentinel;

bool _watch() {
    (void)&t_sentinel;  // constructs the main thread's sentinel
    std::atexit(_begin_teardown);
    return true;
}

[[maybe_unused]] const bool g_watching = _watch();

}  // namespace

std::string_view global_phase() {
    return g_exiting ? "DESTRUCT" : "RUN";
}

bool in_global_destruction() {
    if (!g_teardown_seen && global_phase() == "DESTRUCT") g_teardown_seen = true;
    return g_teardown_seen;
}

bool in_dangerous_global_destruction() {
    return !g_test_harness_loaded && in_global_destruction() && kBinCheckPresent;
}

void set_test_harness_loaded(bool loaded) {
    g_test_harness_loaded = loaded;
}

}  // namespace Tarvok::Destruct
