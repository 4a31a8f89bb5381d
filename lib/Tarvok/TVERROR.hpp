// Tarvok::TVERROR and Tarvok::context: the process-wide record of failures by context name.
//
// Code that talks to the privileged daemon names what it is doing in `context` ("main",
// "crontab-edit", ...); the request client enters the text of each failure in TVERROR under
// that name, replacing an earlier text of the same name. Nothing clears entries: they last until
// the process ends, for whoever wants to explain a failure after the fact.
//
//     Tarvok::context = "crontab-install";
//     auto result = Tarvok::Wrap::send_tvwrapd_request({...});
//     if (!result.status()) show(Tarvok::TVERROR[*Tarvok::context]);
#pragma once

#include <map>
#include <optional>
#include <string>

namespace Tarvok {

/// Context name to the text of the last failure recorded under it.
extern std::map<std::string, std::string> TVERROR;

/// The name failures are entered under; unset counts as the empty name.
extern std::optional<std::string> context;

}  // namespace Tarvok
