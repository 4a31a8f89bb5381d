// Tarvok::Wrap: the only road from this program to the privileged daemon tvwrapd.
//
// Each send_tvwrapd_request opens a new connection to the daemon's UNIX socket, writes one
// request (a compact JSON object of seven members, then the marker "\r\n\r\n"), shuts down its
// sending direction, reads the whole answer until the daemon closes, decodes it and returns a
// Result. It never ends the process and never prints to standard output. Failures come back
// three ways: in the Result, in Tarvok::TVERROR under the current Tarvok::context, and as
// warnings (the process logger, or standard error for failed system calls).
//
//     using namespace Tarvok;
//     Wrap::Result fetched = Wrap::send_tvwrapd_request({
//         .namespace_ = "Tarvok", .module = "Cron", .function = "fetch",
//         .env = Wrap::Config::safe_hashref_of_allowed_env()});
//     if (!fetched.status()) return fail(fetched.statusmsg());
//     std::string_view crontab = fetched.data_text("crontab");
//     bool denied = fetched.data_true("denied");
//
//     Wrap::Result saved = Wrap::send_tvwrapd_request({
//         .namespace_ = "Tarvok", .module = "Cron", .function = "save",
//         .data = JSON::ObjectBuilder().add("crontab", text).release(),
//         .env = Wrap::Config::safe_hashref_of_allowed_env()});
//     if (saved.status() && saved.data_true("status")) ...; else saved.data_text("statusmsg");
//
// What the caller gets:
// - the daemon's answer object, unchanged, when it sent one (with response_ref when its
//   `status` is true);
// - {"status":0,"error":1,"statusmsg":...} when the daemon cannot be reached or its socket
//   cannot be trusted (Tarvok::SafePath: nothing is sent then), when it answers
//   null, 0, "" or "0", when it closes the connection without an answer or in the middle of one
//   (the text ends before the JSON does), or when the exchange runs past its limit;
// - {"status":1,"error":0,"stream_complete":1} in stream mode once the request went out whole
//   and an answer came back; the failure record when the request could not be written whole,
//   nothing came back, or the limit was passed.
// It raises Tarvok::Exception::JSONDecodeFailure for an answer that is not JSON, the escape
// errors of Tarvok::JSON::Unicode for a misplaced surrogate escape, and Tarvok::Error for an
// answer that is a list, a boolean, a non-zero number or any other non-empty text.
//
// Time limit: one exchange (connect, write, read) may take at most RequestOptions::limit,
// EXCHANGE_LIMIT (5 minutes) unless the caller says otherwise. A daemon that accepts and never
// answers, or never reads, or a listener whose queue stays full, then yields the failure record
// with a `statusmsg` that says the exchange ran out of time. The limit is generous on purpose:
// the daemon may legitimately be slow (it runs the system's crontab checks).
//
// While the request is written the broken-pipe signal is caught, so a daemon that goes away
// early cannot kill the program; the previous disposition comes back when the exchange ends,
// also when it raises.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Tarvok/FHUtils/Handle.hpp"
#include "Tarvok/JSON.hpp"
#include "Tarvok/Wire.hpp"
#include "Tarvok/Wrap/Config.hpp"

namespace Tarvok::Wrap {

// The wire contract (Tarvok/Wire.hpp), under the names this module has always had.
using Wire::END_OF_REQUEST_MARKER;
using Wire::NOWAIT_ANSWER;
using Wire::TVWRAPD_SOCKET_PATH;
/// Also used in exit messages when the request names no namespace.
inline constexpr std::string_view DEFAULT_NAMESPACE = Wire::NAMESPACE;
/// The context name a connection failure is entered under when none is set.
inline constexpr std::string_view DEFAULT_CONTEXT = "main";
/// Bytes copied per read in stream mode.
inline constexpr std::size_t STREAM_CHUNK = 262144;
/// Above this Tarvok::Debug::level, requests and answers are copied to standard error.
inline constexpr int DEBUG_COPY_ABOVE_LEVEL = 2;
/// The longest one exchange may take by default.
inline constexpr std::chrono::milliseconds EXCHANGE_LIMIT = std::chrono::minutes(5);

/// Entered in TVERROR when a failure brings no text of its own.
inline constexpr std::string_view GENERIC_FAILURE_TEXT = "The privileged request failed.";
/// The text of an error map that carries no message.
inline constexpr std::string_view MAP_WITHOUT_MESSAGE_TEXT = "unknown error";
/// Begins every warning about a failure the daemon reported.
inline constexpr std::string_view LOGGER_PREFIX = "[tvwrapd] ";

/// One request. Members not given are sent as JSON null (`action` and `data` are null when
/// left alone). Copy with copy(): the JSON members own their memory.
struct RequestOptions {
    std::optional<std::string> namespace_{};
    std::optional<std::string> module{};
    std::optional<std::string> function{};
    /// Sent as given; the front end never sets it.
    JSON::Document action{};
    /// The operation's arguments, usually an object.
    JSON::Document data{};
    /// The allow-listed environment (Config::safe_hashref_of_allowed_env()).
    std::optional<Config::Env> env{};
    /// Failures are not entered in TVERROR, and the daemon-failure warnings are shorter.
    bool no_tverror = false;
    /// Passed to the daemon over the socket before the request is written.
    std::optional<FHUtils::Handle> fdpass{};
    /// The answer is copied here as it arrives instead of being decoded.
    std::optional<FHUtils::Handle> stream{};
    /// No answer is read: the request is written and the connection closed.
    bool nowait = false;
    /// The longest the whole exchange may take.
    std::chrono::milliseconds limit = EXCHANGE_LIMIT;

    RequestOptions copy() const;
};

/// What send_tvwrapd_request returns: a JSON object, and the answer text when `status` is true.
struct Result {
    /// The answer object as decoded, or a record made by the client. Always an object.
    JSON::Document record;
    /// The `response_ref` member: the answer text exactly as decoded (after the escape pass
    /// rewrote \u escapes into UTF-8 bytes). Set only when the record's `status` is true.
    std::shared_ptr<std::string> response_ref;

    /// The member `key` of the record, or nullptr.
    const JSON::Value* get(std::string_view key) const;
    /// The truth of `status` (null, false, 0, "" and "0" are false; absent is false).
    bool status() const;
    bool error() const;
    /// `statusmsg` as text: a string's bytes, any other value as JSON, "" when absent or null.
    std::string statusmsg() const;
    /// The member `key` of the `data` object, or nullptr (also when `data` is no object).
    const JSON::Value* data(std::string_view key) const;
    /// The bytes of the string `data.key`; empty when it is absent or no string.
    std::string_view data_text(std::string_view key) const;
    /// The truth of `data.key`.
    bool data_true(std::string_view key) const;
};

/// Sends one request and returns the result (see above). Blocks until the daemon closes the
/// connection, or until options.limit has passed.
Result send_tvwrapd_request(const RequestOptions& options);

/// send_tvwrapd_request with `no_tverror` set in its own copy of the options.
Result send_tvwrapd_request_no_tverror(RequestOptions options);

}  // namespace Tarvok::Wrap
