#include "Protocol.hpp"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <array>
#include <optional>

#include "Printable.hpp"
#include "Tarvok/JSON.hpp"

namespace Tvwrapd::Protocol {
namespace {

using Printable::printable;
using Tarvok::JSON::Document;
using Tarvok::JSON::ObjectBuilder;

namespace Key = Tarvok::Wire::Key;
constexpr auto& MEMBERS = Tarvok::Wire::REQUEST_MEMBERS;

using Tarvok::JSON::view;

BadRequest bad(std::string reason, std::string function = {}) {
    return BadRequest{std::move(reason), std::move(function), {}};
}

// Every member present exactly once and nothing else: a client that sends more than it should
// is not one we know how to serve.
std::optional<BadRequest> _check_members(const rapidjson::Value& request) {
    std::array<bool, MEMBERS.size()> seen{};
    for (auto it = request.MemberBegin(); it != request.MemberEnd(); ++it) {
        const std::string_view name = view(it->name);
        std::size_t i = 0;
        while (i < MEMBERS.size() && MEMBERS[i] != name) ++i;
        if (i == MEMBERS.size()) return bad("Unexpected member '" + printable(name) + "'");
        if (seen[i]) return bad("Member '" + std::string(name) + "' appears twice");
        seen[i] = true;
    }
    for (std::size_t i = 0; i < MEMBERS.size(); ++i) {
        if (!seen[i]) return bad("Missing member '" + std::string(MEMBERS[i]) + "'");
    }
    return std::nullopt;
}

std::optional<BadRequest> _check_env(const rapidjson::Value& env) {
    if (env.IsNull()) return std::nullopt;
    if (!env.IsObject()) return bad("The env member must be a map of texts");
    for (auto it = env.MemberBegin(); it != env.MemberEnd(); ++it) {
        if (!it->value.IsString()) {
            return bad("The env value of '" + printable(view(it->name)) + "' must be a text");
        }
    }
    return std::nullopt;
}

std::variant<Request, BadRequest> _parse(std::string_view json) {
    // JSON never holds a raw NUL, and the codec would take one for the end of the text.
    if (json.find('\0') != std::string_view::npos) return bad("Request contains a NUL byte");

    rapidjson::Document doc;
    // Iterative: a request of a million opening brackets must not exhaust a worker's stack.
    doc.Parse<rapidjson::kParseIterativeFlag>(json.data(), json.size());
    if (doc.HasParseError()) {
        return bad(std::string("Request is not valid JSON: ") +
                   rapidjson::GetParseError_En(doc.GetParseError()) + " (at byte " +
                   std::to_string(doc.GetErrorOffset()) + ")");
    }
    if (!doc.IsObject()) return bad("Request is not a JSON object");
    if (auto problem = _check_members(doc)) return *problem;

    const rapidjson::Value& version = doc[Key::SERIALIZER_VERSION.data()];
    if (!version.IsString()) return bad("The serializer_version must be a text");
    if (view(version) != Wire::SERIALIZER_VERSION) {
        return bad("Unsupported serializer_version '" + printable(view(version)) + "' (expected " +
                   std::string(Wire::SERIALIZER_VERSION) + ")");
    }
    for (const std::string_view name : {Key::NAMESPACE, Key::MODULE, Key::FUNCTION}) {
        if (!doc[name.data()].IsString()) {
            return bad("The " + std::string(name) + " must be a text");
        }
    }
    const std::string_view ns = view(doc[Key::NAMESPACE.data()]);
    const std::string_view module = view(doc[Key::MODULE.data()]);
    const std::string_view function = view(doc[Key::FUNCTION.data()]);
    std::string shown_function = printable(function);

    if (!doc[Key::ACTION.data()].IsNull()) return bad("The action must be null", shown_function);
    if (auto problem = _check_env(doc[Key::ENV.data()])) {
        problem->function = shown_function;
        return *problem;
    }

    if (ns != Wire::NAMESPACE || module != Wire::CRON_MODULE ||
        (function != Wire::FETCH_FUNCTION && function != Wire::SAVE_FUNCTION)) {
        return bad("Unknown function '" + printable(ns) + "::" + printable(module) +
                       "::" + shown_function + "'",
                   shown_function);
    }

    const rapidjson::Value& data = doc[Key::DATA.data()];
    if (function == Wire::FETCH_FUNCTION) {
        if (!data.IsNull()) return bad("A fetch takes no data (data must be null)", shown_function);
        return Request{Function::fetch, {}};
    }
    if (!data.IsObject() || data.MemberCount() != 1 || !data.HasMember(Wire::Key::CRONTAB.data()) ||
        !data[Wire::Key::CRONTAB.data()].IsString()) {
        return bad("A save needs data {\"crontab\": TEXT}", shown_function);
    }
    return Request{Function::save, std::string(view(data[Wire::Key::CRONTAB.data()]))};
}

// The envelope of every request the daemon served, whatever the operation made of it.
std::string _served(const Document& data) {
    return Tarvok::JSON::Dump(ObjectBuilder()
                                  .add(Key::STATUS, 1)
                                  .add(Key::STATUSMSG, "OK")
                                  .add(Key::DATA, data)
                                  .release());
}

}  // namespace

std::variant<Request, BadRequest> parse_request(std::string_view json) {
    try {
        return _parse(json);
    } catch (const std::exception& failure) {
        // Only memory exhaustion can get here; the caller still deserves an answer.
        BadRequest problem =
            bad("Request could not be read: the crontab service is short of memory");
        problem.detail = failure.what();
        return problem;
    }
}

std::string fetch_answer(std::string_view crontab, bool denied) {
    const Document data =
        ObjectBuilder().add(Key::CRONTAB, crontab).add(Key::DENIED, denied ? 1 : 0).release();
    return _served(data);
}

std::string save_answer(bool installed, std::string_view reason) {
    const Document data = ObjectBuilder()
                              .add(Key::STATUS, installed ? 1 : 0)
                              .add(Key::STATUSMSG, installed ? std::string_view() : reason)
                              .release();
    return _served(data);
}

std::string error_answer(std::string_view reason) {
    return Tarvok::JSON::Dump(ObjectBuilder()
                                  .add(Key::STATUS, 0)
                                  .add(Key::ERROR, 1)
                                  .add(Key::STATUSMSG, reason)
                                  .add(Key::DATA, nullptr)
                                  .release());
}

}  // namespace Tvwrapd::Protocol
