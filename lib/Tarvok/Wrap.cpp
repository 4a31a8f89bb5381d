#include "Tarvok/Wrap.hpp"

#include <poll.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "Tarvok/AdminBin/Serializer.hpp"
#include "Tarvok/AdminBin/Utils/Exit.hpp"
#include "Tarvok/Autodie.hpp"
#include "Tarvok/Debug.hpp"
#include "Tarvok/ErrnoGuard.hpp"
#include "Tarvok/Error.hpp"
#include "Tarvok/Exception.hpp"
#include "Tarvok/FDPass.hpp"
#include "Tarvok/FHUtils/Blocking.hpp"
#include "Tarvok/FHUtils/WholeIO.hpp"
#include "Tarvok/SafePath.hpp"
#include "Tarvok/Socket/UNIX/Micro.hpp"
#include "Tarvok/SysRoot.hpp"
#include "Tarvok/TVERROR.hpp"

namespace Tarvok::Wrap {

using Clock = std::chrono::steady_clock;
using FHUtils::Handle;
namespace WholeIO = FHUtils::WholeIO;

namespace {

namespace Key = Wire::Key;

// Lowered by the broken-pipe handler while a request is being written.
volatile sig_atomic_t g_sent = 1;

void _on_broken_pipe(int) {
    g_sent = 0;
}

// Catches SIGPIPE for as long as it lives, then puts back whatever disposition was there.
class BrokenPipeCatcher {
  public:
    BrokenPipeCatcher() {
        struct sigaction catcher {};
        catcher.sa_handler = _on_broken_pipe;
        sigemptyset(&catcher.sa_mask);
        catcher.sa_flags = SA_RESTART;
        installed_ = ::sigaction(SIGPIPE, &catcher, &previous_) == 0;
    }
    ~BrokenPipeCatcher() {
        if (installed_) ::sigaction(SIGPIPE, &previous_, nullptr);
    }
    BrokenPipeCatcher(const BrokenPipeCatcher&) = delete;
    BrokenPipeCatcher& operator=(const BrokenPipeCatcher&) = delete;

  private:
    struct sigaction previous_ {};
    bool installed_ = false;
};

// What one exchange over a connected socket produced.
struct Exchange {
    int sent = 1;
    // The answer text; absent in stream mode and after running out of time.
    std::shared_ptr<std::string> answer;
    std::optional<Handle> stream;
    bool timed_out = false;
    // The request could not be written whole (the answer may still say why).
    bool write_failed = false;
    // Bytes copied to the stream handle in stream mode.
    std::size_t streamed = 0;
};

std::string _os_error(int error) {
    return std::strerror(error);
}

// Unbuffered, whole, and never disturbing errno: these lines go out while a failure is being
// handled.
void _to_stderr(std::string_view text) {
    WholeIO::write_all(Handle{STDERR_FILENO}, text);
}

void _warn_on_stderr(std::string text) {
    text.push_back('\n');
    _to_stderr(text);
}

std::string _text_of(const JSON::Value* value) {
    if (value == nullptr || value->IsNull()) return {};
    if (value->IsString()) return std::string(JSON::view(*value));
    return JSON::Dump(*value);
}

std::string _error_as_text(const JSON::Value* value) {
    if (value != nullptr && value->IsObject()) {
        for (const char* key : {"statusmsg", "message", "error"}) {
            const JSON::Value* found = JSON::member(*value, key);
            if (JSON::is_true(found)) return _text_of(found);
        }
        return std::string(MAP_WITHOUT_MESSAGE_TEXT);
    }
    if (value != nullptr && value->IsArray()) {
        return value->Empty() ? std::string() : _text_of(&(*value)[0]);
    }
    return _text_of(value);
}

// The process logger; a logger that cannot be made is reported as such.
Logger& _logger() {
    try {
        return Debug::logger();
    } catch (const std::exception& failure) {
        throw Error("Could not load the logger: " + std::string(failure.what()));
    }
}

void _log_warning(const std::string& text) {
    ErrnoGuard keep;
    _logger().warn(text);
}

std::string _call_description(const RequestOptions& options) {
    return "(namespace '" + options.namespace_.value_or("") + "', module '" +
           options.module.value_or("") + "', function '" + options.function.value_or("") + "'";
}

std::string _duration(std::chrono::milliseconds limit) {
    const long long count = limit.count();
    if (count % 1000 != 0) return std::to_string(count) + " milliseconds";
    return std::to_string(count / 1000) + (count == 1000 ? " second" : " seconds");
}

// Connection failures are entered even when no context was named, under the default one.
void _enter_under_defaulted_context(const std::string& text) {
    if (!context || context->empty()) context = std::string(DEFAULT_CONTEXT);
    TVERROR[*context] = text;
}

Result _failure_record(std::string_view statusmsg) {
    return {JSON::ObjectBuilder()
                .add(Key::STATUS, 0)
                .add(Key::ERROR, 1)
                .add(Key::STATUSMSG, statusmsg)
                .release(),
            nullptr};
}

// Waits until `fd` is ready for `events`; false once the deadline has passed. A failing poll
// counts as ready, so that the call that follows reports the error.
bool _wait_for(int fd, short events, Clock::time_point deadline) {
    pollfd watch{fd, events, 0};
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        const int timeout = static_cast<int>(std::min<long long>(left.count(), INT_MAX));
        const int ready = ::poll(&watch, 1, timeout);
        if (ready > 0 || (ready < 0 && errno != EINTR)) return true;
    }
}

// A listener whose queue is full makes connect() wait for room; for UNIX sockets that wait is
// bounded by the send timeout.
void _bound_connect_wait(int fd, Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::microseconds>(deadline - Clock::now());
    const long long micros = std::max<long long>(left.count(), 1);
    timeval limit{static_cast<time_t>(micros / 1000000),
                  static_cast<suseconds_t>(micros % 1000000)};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

// A connected socket, or the `statusmsg` of the connection-failure record.
struct Connection {
    std::optional<UniqueFd> socket;
    std::string failure;
};

// Nothing goes to a socket that an account other than root could have put there, or to a
// listener that is not root's: it would get the allow-listed environment (passwords, tokens)
// and could answer with a crontab of its own.
std::optional<std::string> _untrusted(const SafePath::Verdict& verdict, const std::string& path) {
    if (verdict.error != 0 || verdict.trusted()) return std::nullopt;
    return "Refusing to send anything to '" + path + "': " + verdict.problem +
           ", so it need not be the privileged daemon tvwrapd; the socket and every directory "
           "above it must belong to root and be writable by root only";
}

Connection _get_tvwrapd_connection(const RequestOptions& options, Clock::time_point deadline) {
    const std::string path = SysRoot::path(TVWRAPD_SOCKET_PATH);
    const SafePath::Owners owners = SafePath::Owners::client();
    SafePath::Verdict verdict = SafePath::check_socket(path, owners);
    int error = verdict.error;
    if (verdict.trusted()) {
        UniqueFd sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!sock) _warn_on_stderr("Could not create a socket: " + _os_error(errno));
        const Socket::UNIX::Micro::Address address = Socket::UNIX::Micro::unix_address(path);
        if (sock) _bound_connect_wait(sock.get(), deadline);
        int result;
        do {
            result = ::connect(sock.get(), address.get(), address.length);
        } while (result != 0 && errno == EINTR);
        if (result == 0) {
            verdict = SafePath::check_peer(sock.get(), path, owners);
            if (verdict.trusted()) return {std::move(sock), {}};
            error = verdict.error;
        } else {
            error = errno;
            // On a blocking socket this is the bounded wait for room running out: say so.
            if (error == EAGAIN) error = ETIMEDOUT;
        }
    }

    std::string message;
    std::string failure;
    if (auto refusal = _untrusted(verdict, path)) {
        message = failure = *refusal + ".";
    } else {
        message = "Could not connect to the privileged daemon tvwrapd at '" + path +
                  "': " + _os_error(error);
        failure = "Could not reach the privileged daemon at '" + path + "': " + _os_error(error);
    }
    if (!options.no_tverror) _enter_under_defaulted_context(message);
    _log_warning(message);
    return {std::nullopt, failure};
}

JSON::Document _request_record(const RequestOptions& options) {
    return JSON::ObjectBuilder()
        .add(Key::SERIALIZER_VERSION, Wire::SERIALIZER_VERSION)
        .add(Key::NAMESPACE, options.namespace_)
        .add(Key::MODULE, options.module)
        .add(Key::FUNCTION, options.function)
        .add(Key::ACTION, static_cast<const JSON::Value&>(options.action))
        .add(Key::ENV, options.env)
        .add(Key::DATA, static_cast<const JSON::Value&>(options.data))
        .release();
}

// Copies the answer to the stream handle as it arrives, counting the bytes in `copied`.
// Returns 0 at the daemon's close, or ETIMEDOUT; read and write failures raise.
int _copy_answer(Handle socket, Handle stream, Clock::time_point deadline, std::size_t& copied) {
    std::string chunk;
    for (;;) {
        if (!_wait_for(socket.fd(), POLLIN, deadline)) return ETIMEDOUT;
        if (Autodie::sysread_sigguard(socket, chunk, STREAM_CHUNK) == 0) return 0;
        Autodie::syswrite_sigguard(stream, chunk);
        copied += chunk.size();
    }
}

Exchange _send_request_over_socket(Handle socket, const RequestOptions& options,
                                   Clock::time_point deadline) {
    Exchange exchange;
    // A daemon that refuses a request early answers, then stops reading: the write fails, and
    // the read may end in a reset once the answer is in. Neither is news when an answer came.
    int write_error = 0;
    g_sent = 1;
    const BrokenPipeCatcher catcher;

    if (options.fdpass) FDPass::send(socket, *options.fdpass);
    // From here on nothing blocks, so that a daemon which stops reading or never answers cannot
    // hold us past the deadline.
    FHUtils::Blocking::set_non_blocking(socket);
    std::string request = AdminBin::Serializer::Dump(_request_record(options));
    request += END_OF_REQUEST_MARKER;
    if (Debug::level > DEBUG_COPY_ABOVE_LEVEL) {
        _to_stderr("Request to tvwrapd, marker included:\n[" + request + "]\n");
    }
    if (const auto sent = WholeIO::write_all(socket, request, deadline); !sent) {
        if (sent.error == ETIMEDOUT) {
            exchange.timed_out = true;
            return exchange;
        }
        exchange.write_failed = true;
        write_error = sent.error;
    }
    ::shutdown(socket.fd(), SHUT_WR);

    exchange.stream = options.stream;
    if (options.nowait) {
        if (exchange.write_failed) {
            _warn_on_stderr("Could not send the request: " + _os_error(write_error));
        }
        exchange.sent = g_sent;
        exchange.answer = std::make_shared<std::string>(NOWAIT_ANSWER);
        return exchange;
    }
    if (options.stream) {
        if (const int error = _copy_answer(socket, *options.stream, deadline, exchange.streamed);
            error != 0) {
            _warn_on_stderr("Could not copy the answer: " + _os_error(error));
            exchange.timed_out = error == ETIMEDOUT;
        }
    } else {
        exchange.answer = std::make_shared<std::string>();
        const auto got =
            WholeIO::read_to_end(socket, *exchange.answer, WholeIO::NO_LIMIT, deadline);
        const bool reset_after_answer =
            exchange.write_failed && got.error == ECONNRESET && !exchange.answer->empty();
        if (!got && !reset_after_answer) {
            _warn_on_stderr("Could not read the answer: " + _os_error(got.error));
            exchange.timed_out = got.error == ETIMEDOUT;
        }
    }
    if (exchange.write_failed && exchange.streamed == 0 &&
        (!exchange.answer || exchange.answer->empty())) {
        _warn_on_stderr("Could not send the request: " + _os_error(write_error));
    }
    if (Debug::level > DEBUG_COPY_ABOVE_LEVEL) {
        const std::string_view answer = exchange.answer ? *exchange.answer : std::string_view();
        _to_stderr("Answer from tvwrapd, as received:\n[" + std::string(answer) + "]\n");
    }
    exchange.sent = g_sent;
    return exchange;
}

Result _ran_out_of_time(const RequestOptions& options) {
    const std::string message = "The privileged daemon did not complete the request within " +
                                _duration(options.limit) + " " + _call_description(options) + ").";
    if (!options.no_tverror) _enter_under_defaulted_context(message);
    _log_warning(message);
    return _failure_record(message);
}

// A daemon that went away without an answer, or in the middle of one: a failure like any other
// for the caller, not a decoding problem.
Result _no_usable_answer(const RequestOptions& options, std::string_view why) {
    const std::string message = "The privileged daemon gave no usable answer " +
                                _call_description(options) + "): " + std::string(why) + ".";
    if (!options.no_tverror) _enter_under_defaulted_context(message);
    _log_warning(message);
    return _failure_record(message);
}

// True when `text` is no complete JSON text because it ends too soon: the beginning of an
// answer whose end never came (nothing at all included).
bool _broke_off(const std::string& text) {
    rapidjson::MemoryStream stream(text.data(), text.size());
    rapidjson::BaseReaderHandler<> ignore;
    rapidjson::Reader reader;
    const rapidjson::ParseResult result =
        reader.Parse<rapidjson::kParseIterativeFlag>(stream, ignore);
    return result.IsError() && result.Offset() >= text.size();
}

// The daemon reports a failed child as its wait status; take it as a number whatever its form.
int _wait_status(const JSON::Value& exit_code) {
    if (exit_code.IsInt()) return exit_code.GetInt();
    if (exit_code.IsInt64()) return static_cast<int>(exit_code.GetInt64() & 0xffff);
    if (exit_code.IsUint64()) return static_cast<int>(exit_code.GetUint64() & 0xffff);
    if (exit_code.IsNumber()) return static_cast<int>(exit_code.GetDouble());
    if (exit_code.IsString()) {
        return static_cast<int>(
            std::strtol(std::string(JSON::view(exit_code)).c_str(), nullptr, 10));
    }
    return JSON::is_true(exit_code) ? 1 : 0;
}

// Logs and records the failures the daemon reported in its answer. Never changes the answer.
void _report_daemon_failures(const JSON::Value& answer, const std::string& answer_text,
                             const RequestOptions& options) {
    const std::string call = _call_description(options);
    const std::string context_name = context.value_or("");
    const std::string prefix(LOGGER_PREFIX);

    std::optional<std::string> exit_message;
    if (const JSON::Value* exit_code = JSON::member(answer, "exit_code");
        JSON::is_true(exit_code)) {
        std::string namespace_ = options.namespace_.value_or("");
        if (namespace_.empty()) namespace_ = DEFAULT_NAMESPACE;
        exit_message = AdminBin::Utils::Exit::exit_msg(
            _wait_status(*exit_code),
            {namespace_, options.module.value_or(""), options.function.value_or("")});
        if (!options.no_tverror) {
            _log_warning(prefix + "A daemon child failed: " + *exit_message + " " + call +
                         "; recorded under context '" + context_name +
                         "'; full answer: " + answer_text + ")");
            TVERROR[context_name] =
                exit_message->empty() ? std::string(GENERIC_FAILURE_TEXT) : *exit_message;
        } else {
            _log_warning(prefix + "A daemon child failed: " + *exit_message + " " + call +
                         "; full answer: " + answer_text + ")");
        }
    }

    if (!JSON::is_true(JSON::member(answer, Key::ERROR))) return;
    const JSON::Value* statusmsg = JSON::member(answer, Key::STATUSMSG);
    if (options.no_tverror) {
        _log_warning(prefix + "The daemon reported that the request failed " + call +
                     "): " + _text_of(statusmsg) + ".");
        return;
    }
    _log_warning(prefix + "The daemon reported that the request failed " + call +
                 "; recorded under context '" + context_name + "'): " + _text_of(statusmsg) + ".");
    // The operation's own account of the failure is the most precise, the summary next.
    if (const JSON::Value* data = JSON::member(answer, Key::DATA); JSON::is_true(data)) {
        TVERROR[context_name] = _error_as_text(data);
    } else if (JSON::is_true(statusmsg)) {
        TVERROR[context_name] = _error_as_text(statusmsg);
    } else if (exit_message && !exit_message->empty() && *exit_message != "0") {
        TVERROR[context_name] = *exit_message;
    } else {
        TVERROR[context_name] = GENERIC_FAILURE_TEXT;
    }
}

// Long answers are cut in error texts; the whole text is in the debug copy.
std::string _excerpt(std::string_view text) {
    constexpr std::size_t kMax = 200;
    if (text.size() <= kMax) return std::string(text);
    return std::string(text.substr(0, kMax)) + "...";
}

}  // namespace

RequestOptions RequestOptions::copy() const {
    RequestOptions twin{namespace_, module, function, {},     {},   env,
                        no_tverror, fdpass, stream,   nowait, limit};
    static_cast<JSON::Value&>(twin.action) = JSON::copy(action, twin.action.GetAllocator());
    static_cast<JSON::Value&>(twin.data) = JSON::copy(data, twin.data.GetAllocator());
    return twin;
}

const JSON::Value* Result::get(std::string_view key) const {
    return JSON::member(record, key);
}

bool Result::status() const {
    return JSON::is_true(get(Key::STATUS));
}

bool Result::error() const {
    return JSON::is_true(get(Key::ERROR));
}

std::string Result::statusmsg() const {
    return _text_of(get(Key::STATUSMSG));
}

const JSON::Value* Result::data(std::string_view key) const {
    const JSON::Value* data = get(Key::DATA);
    return data == nullptr ? nullptr : JSON::member(*data, key);
}

std::string_view Result::data_text(std::string_view key) const {
    const JSON::Value* value = data(key);
    return value == nullptr ? std::string_view() : JSON::view(*value);
}

bool Result::data_true(std::string_view key) const {
    return JSON::is_true(data(key));
}

Result send_tvwrapd_request(const RequestOptions& options) {
    const auto deadline = Clock::now() + options.limit;
    const Connection connection = _get_tvwrapd_connection(options, deadline);
    if (!connection.socket) return _failure_record(connection.failure);

    Exchange exchange = _send_request_over_socket(*connection.socket, options, deadline);
    if (exchange.timed_out) return _ran_out_of_time(options);
    if (exchange.stream) {
        // Whatever the daemon copied, it answered a request it did not get whole.
        if (exchange.write_failed || exchange.sent == 0) {
            return _no_usable_answer(options, "the request could not be sent whole");
        }
        if (exchange.streamed == 0) {
            return _no_usable_answer(options, "it closed the connection without one");
        }
        return {JSON::ObjectBuilder()
                    .add(Key::STATUS, 1)
                    .add(Key::ERROR, 0)
                    .add("stream_complete", 1)
                    .release(),
                nullptr};
    }
    if (exchange.sent == 0) {
        _log_warning(
            "The privileged daemon closed the connection before it had read the whole request.");
    }

    // Whatever the exchange left in errno has been reported; a bad answer is no OS failure.
    errno = 0;
    std::string& answer = *exchange.answer;
    JSON::Loaded decoded;
    try {
        decoded = AdminBin::Serializer::Load(answer);
    } catch (const Exception::JSONDecodeFailure&) {
        if (!_broke_off(answer)) throw;
        return _no_usable_answer(options, answer.find_first_not_of(" \t\r\n") == std::string::npos
                                              ? "it closed the connection without one"
                                              : "its answer broke off after " +
                                                    std::to_string(answer.size()) + " bytes");
    }
    if (decoded && decoded->IsObject()) {
        _report_daemon_failures(*decoded, answer, options);
        Result result{std::move(*decoded), nullptr};
        if (result.status()) result.response_ref = std::move(exchange.answer);
        return result;
    }
    // Booleans are values of their own here, neither false nor maps.
    if (!decoded || (!decoded->IsBool() && !JSON::is_true(*decoded))) {
        return _failure_record("The privileged daemon gave an empty or false answer " +
                               _call_description(options) + "): " + answer + ".");
    }
    throw Error("The answer of the privileged daemon is not a map " + _call_description(options) +
                "): " + _excerpt(answer));
}

Result send_tvwrapd_request_no_tverror(RequestOptions options) {
    options.no_tverror = true;
    return send_tvwrapd_request(options);
}

}  // namespace Tarvok::Wrap
