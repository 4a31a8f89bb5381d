// The production root: the empty root, with no run-time override.
#include "Tarvok/SysRoot.hpp"

namespace Tarvok::SysRoot {

std::optional<std::string> init() { return std::nullopt; }

const std::string& root() {
    static const std::string empty;
    return empty;
}

std::string path(std::string_view absolute) { return std::string(absolute); }

bool is_sandbox() { return false; }

void reset() {}

}  // namespace Tarvok::SysRoot
