// Tvwrapd::Protocol: the bytes exchanged with the crontab front end, and nothing else.
//
// One request per connection: a JSON object with exactly the seven members below, followed by the
// four-byte end-of-request marker. parse_request() checks the version, the shape and the type of
// every member and either yields a Request the daemon can serve or says why it cannot; it never
// throws for any input. The answer builders write the only JSON the daemon ever sends.
//
// This is the one module of the daemon that knows JSON. Requests are parsed with the codec
// directly, so that a member given twice is refused instead of silently taking the last value;
// answers go through the project's JSON layer.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>

#include "CrontabCheck.hpp"
#include "Tarvok/Wire.hpp"

namespace Tvwrapd::Protocol {

// The wire contract's names and keys: Tarvok/Wire.hpp, shared with the client.
namespace Wire = Tarvok::Wire;
/// The longest request (JSON text, marker not counted) the daemon reads: the largest crontab
/// with every byte in JSON's widest escape (six bytes, "\u0001"), and room for the rest.
inline constexpr std::size_t MAX_REQUEST_LENGTH = 6 * CrontabCheck::MAX_LENGTH + 64 * 1024;

enum class Function { fetch, save };

struct Request {
    Function function;
    /// The new crontab of a save; empty for a fetch.
    std::string crontab;
};

struct BadRequest {
    std::string reason;
    /// The function the request named, when it named one as a text (for the audit line).
    std::string function;
    /// What went wrong inside the daemon, for the log only.
    std::string detail;
};

/// Parses one request: the JSON text without the end-of-request marker.
std::variant<Request, BadRequest> parse_request(std::string_view json);

/// {"status":1,"statusmsg":"OK","data":{"crontab":TEXT,"denied":0|1}}
std::string fetch_answer(std::string_view crontab, bool denied);
/// {"status":1,"statusmsg":"OK","data":{"status":1|0,"statusmsg":REASON}}
std::string save_answer(bool installed, std::string_view reason);
/// {"status":0,"error":1,"statusmsg":REASON,"data":null}
std::string error_answer(std::string_view reason);

}  // namespace Tvwrapd::Protocol
