// Tarvok::AdminBin::Utils::Exit: the text for a daemon operation whose child process failed.
//
// The daemon reports a failed child as its wait status (`exit_code` in the answer); exit_msg
// names the operation and says how the child ended:
//
//     exit_msg(256, {"Tarvok", "Cron", "save"});
//     // "Daemon call Tarvok/Cron/save failed: exit code 1"
#pragma once

#include <string>

namespace Tarvok::AdminBin::Utils::Exit {

/// The daemon operation a status belongs to; an empty part counts as empty in the call key.
struct Call {
    std::string namespace_;
    std::string module;
    std::string function;
};

/// Joins the three parts of a call key.
inline constexpr char CALL_KEY_SEPARATOR = '/';

/// "namespace/module/function".
std::string call_key(const Call& call);

/// The message for `child_status` (a wait status) reported by the operation `call`.
std::string exit_msg(int child_status, const Call& call);

}  // namespace Tarvok::AdminBin::Utils::Exit
