#include "Answer.hpp"

namespace PenSafeCrontab {

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
