#include "Answer.hpp"

#include "Operations.hpp"
#include "Tarvok/Wrap/Config.hpp"

namespace PenSafeCrontab {

Tarvok::Wrap::Result ask_crontab_service(std::string_view function, Tarvok::JSON::Document data) {
    return Tarvok::Wrap::send_tvwrapd_request({
        .namespace_ = std::string(Tarvok::Wire::NAMESPACE),
        .module = std::string(CRON_MODULE),
        .function = std::string(function),
        .data = std::move(data),
        .env = Tarvok::Wrap::Config::safe_hashref_of_allowed_env(),
    });
}

bool says_nothing(const Tarvok::JSON::Value* value) {
    return value == nullptr || value->IsNull() ||
           (value->IsString() && value->GetStringLength() == 0);
}

std::string_view kind_of(const Tarvok::JSON::Value& value) {
    if (value.IsArray()) return "a list";
    if (value.IsObject()) return "a map";
    if (value.IsNumber()) return "a number";
    if (value.IsBool()) return "true or false";
    if (value.IsString()) return "a text";
    return "null";
}

std::string unusable_answer(std::string_view member, const Tarvok::JSON::Value& value) {
    return "The crontab service sent an answer that cannot be used: its " + std::string(member) +
           " is " + std::string(kind_of(value)) + ".";
}

}  // namespace PenSafeCrontab
