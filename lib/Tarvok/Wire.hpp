// Tarvok::Wire: the contract between the crontab front end and the privileged daemon tvwrapd.
//
// Every value the two sides must agree on stands here, once: the request client (Tarvok::Wrap),
// the front end's operations (bin/), the reference daemon (daemon/Protocol) and the tests all
// include this header, so the two sides cannot drift apart. Nothing else may be assumed by either.
//
// One exchange per connection to TVWRAPD_SOCKET_PATH:
//
//     request: {"serializer_version":"1.0","namespace":"Tarvok","module":"Cron",
//               "function":"fetch"|"save","action":null,"env":{...},
//               "data":null|{"crontab":TEXT}}\r\n\r\n        then the client shuts down writing
//     fetch:   {"status":1,"statusmsg":"OK","data":{"crontab":TEXT,"denied":0|1}}
//     save:    {"status":1,"statusmsg":"OK","data":{"status":1|0,"statusmsg":REASON}}
//     refused: {"status":0,"error":1,"statusmsg":REASON,"data":null}
//
// and the daemon closes after its answer.
#pragma once

#include <array>
#include <string_view>

namespace Tarvok::Wire {

/// Where the daemon listens (reached through Tarvok::SysRoot::path).
inline constexpr std::string_view TVWRAPD_SOCKET_PATH = "/usr/local/tarvok/var/tvwrapd.sock";
/// Ends every request, right after the JSON text.
inline constexpr std::string_view END_OF_REQUEST_MARKER = "\r\n\r\n";
/// Sent as `serializer_version`; the daemon refuses any other.
inline constexpr std::string_view SERIALIZER_VERSION = "1.0";
/// The namespace of the system's own operations (also the default namespace).
inline constexpr std::string_view NAMESPACE = "Tarvok";
/// The crontab module and its two functions.
inline constexpr std::string_view CRON_MODULE = "Cron";
inline constexpr std::string_view FETCH_FUNCTION = "fetch";
inline constexpr std::string_view SAVE_FUNCTION = "save";
/// What a client that does not wait for the answer decodes in its place.
inline constexpr std::string_view NOWAIT_ANSWER = "{}";

/// Member names of requests and answers.
namespace Key {
inline constexpr std::string_view SERIALIZER_VERSION = "serializer_version";
inline constexpr std::string_view NAMESPACE = "namespace";
inline constexpr std::string_view MODULE = "module";
inline constexpr std::string_view FUNCTION = "function";
inline constexpr std::string_view ACTION = "action";
inline constexpr std::string_view ENV = "env";
inline constexpr std::string_view DATA = "data";

inline constexpr std::string_view STATUS = "status";
inline constexpr std::string_view STATUSMSG = "statusmsg";
inline constexpr std::string_view ERROR = "error";
/// The crontab text: the one member of a save's `data`, and of a fetch answer's `data` (the
/// system command's name).
inline constexpr std::string_view CRONTAB = "crontab";
/// In a fetch answer's `data`: 1 for an account that may not use cron.
inline constexpr std::string_view DENIED = "denied";
}  // namespace Key

/// The seven members of every request, each exactly once, in the order they are sent.
inline constexpr std::array<std::string_view, 7> REQUEST_MEMBERS = {Key::SERIALIZER_VERSION,
                                                                    Key::NAMESPACE,
                                                                    Key::MODULE,
                                                                    Key::FUNCTION,
                                                                    Key::ACTION,
                                                                    Key::ENV,
                                                                    Key::DATA};

}  // namespace Tarvok::Wire
