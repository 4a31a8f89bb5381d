#include "Tarvok/ChildErrorStringifier.hpp"

#include <string.h>

namespace Tarvok {

int ChildErrorStringifier::error_code() const {
    return (wait_status_ >> 8) & 0xff;
}

int ChildErrorStringifier::signal_code() const {
    return wait_status_ & 0x7f;
}

bool ChildErrorStringifier::dumped_core() const {
    return (wait_status_ & 0x80) != 0;
}

std::string ChildErrorStringifier::terse_autopsy() const {
    const int signal = signal_code();
    if (signal == 0) return "exit code " + std::to_string(error_code());
    std::string text = "killed by signal ";
    // Statuses come from the daemon's answer, so the number may name no signal at all.
    if (const char* name = ::sigabbrev_np(signal); name != nullptr) {
        text += "SIG";
        text += name;
        text += " (" + std::to_string(signal) + ")";
    } else {
        text += std::to_string(signal);
    }
    if (dumped_core()) text += ", core dumped";
    return text;
}

}  // namespace Tarvok
