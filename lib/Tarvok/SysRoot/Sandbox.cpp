// The sandbox root: TARVOK_SANDBOX_ROOT, read once, must name an existing absolute directory.
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Tarvok/SysRoot.hpp"

namespace Tarvok::SysRoot {
namespace {

struct State {
    bool settled = false;
    std::string root;
    std::optional<std::string> error;
};

State& state() {
    static State s;
    return s;
}

void settle() {
    State& s = state();
    if (s.settled) return;
    s.settled = true;
    s.root.clear();
    s.error.reset();
    const char* value = std::getenv("TARVOK_SANDBOX_ROOT");
    if (value == nullptr || *value == '\0') {
        s.error = "TARVOK_SANDBOX_ROOT is not set: this sandbox build needs the directory that "
                  "stands in for the system root";
        return;
    }
    std::string root(value);
    if (root.front() != '/') {
        s.error = "TARVOK_SANDBOX_ROOT '" + root + "' is not an absolute path";
        return;
    }
    struct stat st {};
    if (stat(root.c_str(), &st) != 0) {
        s.error = "TARVOK_SANDBOX_ROOT '" + root + "': " + std::strerror(errno);
        return;
    }
    if (!S_ISDIR(st.st_mode)) {
        s.error = "TARVOK_SANDBOX_ROOT '" + root + "' is not a directory";
        return;
    }
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    if (root == "/") root.clear();
    s.root = std::move(root);
}

}  // namespace

std::optional<std::string> init() {
    settle();
    return state().error;
}

const std::string& root() {
    settle();
    // Without a usable root nothing may reach the real system: every path then lies below a
    // file, so every open fails.
    static const std::string nowhere = "/dev/null/no-sandbox-root";
    return state().error ? nowhere : state().root;
}

std::string path(std::string_view absolute) {
    if (absolute.empty() || absolute.front() != '/' || absolute.starts_with("/proc/") ||
        absolute == "/dev/urandom" || absolute == "/dev/random") {
        return std::string(absolute);
    }
    return root() + std::string(absolute);
}

bool is_sandbox() { return true; }

void reset() { state().settled = false; }

}  // namespace Tarvok::SysRoot
