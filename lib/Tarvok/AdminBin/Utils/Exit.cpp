#include "Tarvok/AdminBin/Utils/Exit.hpp"

#include "Tarvok/ChildErrorStringifier.hpp"

namespace Tarvok::AdminBin::Utils::Exit {

std::string call_key(const Call& call) {
    return call.namespace_ + CALL_KEY_SEPARATOR + call.module + CALL_KEY_SEPARATOR + call.function;
}

std::string exit_msg(int child_status, const Call& call) {
    const std::string description = ChildErrorStringifier(child_status).terse_autopsy();
    return "Daemon call " + call_key(call) + " failed: " + description;
}

}  // namespace Tarvok::AdminBin::Utils::Exit
