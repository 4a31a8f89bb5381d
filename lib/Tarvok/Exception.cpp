#include "Tarvok/Exception.hpp"

#include <cerrno>
#include <cstring>

namespace Tarvok::Exception {
namespace {

constexpr std::string_view kFamily = "Tarvok::Exception";

std::string value_text(const Value& value, bool as_error) {
    if (const auto* text = std::get_if<std::string>(&value)) return *text;
    const long long number = std::get<long long>(value);
    if (as_error) return std::strerror(static_cast<int>(number));
    return std::to_string(number);
}

std::string param_text(const Base& e, std::string_view name) {
    const Value* v = e.get(name);
    return v ? value_text(*v, name == "error") : std::string();
}

std::string describe(const Base& e) {
    const std::string& cls = e.short_name();
    const std::string path = param_text(e, "path");
    const std::string error = param_text(e, "error");
    if (cls == "TempCreateFailed")
        return "Could not create a temporary file at '" + path + "': " + error;
    if (cls == "DirCreateFailed") return "Could not create the directory '" + path + "': " + error;
    if (cls == "FcntlFailed") return "The fcntl system call failed: " + error;
    if (cls == "JSONDecodeFailure") {
        std::string text = "Could not decode JSON";
        if (!path.empty()) text += " from '" + path + "'";
        return text + ": " + error;
    }
    if (cls == "OpenFailed")
        return "Could not open '" + path + "' for " + param_text(e, "mode") + ": " + error;
    if (cls == "SeekFailed")
        return "Could not seek to position " + param_text(e, "position") + " in '" + path +
               "': " + error;
    if (cls == "ReadFailed") return "Could not read '" + path + "': " + error;
    if (cls == "FileNotFound") return "The file '" + path + "' does not exist: " + error;
    std::string text = cls;
    for (const Param& p : e.params()) text += " " + p.name + "=" + value_text(p.value, false);
    return text;
}

}  // namespace

Base::Base(const char* short_name, Params params)
    : short_name_(short_name), params_(std::move(params)), saved_errno_(errno) {}

Base::Base(const char* short_name, std::string message)
    : short_name_(short_name),
      message_(std::move(message)),
      has_message_(true),
      saved_errno_(errno) {}

std::string Base::full_name() const { return std::string(kFamily) + "::" + short_name_; }

const Value* Base::get(std::string_view name) const {
    for (const Param& p : params_) {
        if (p.name == name) return &p.value;
    }
    return nullptr;
}

std::string Base::to_string() const { return has_message_ ? message_ : describe(*this); }

const char* Base::what() const noexcept {
    try {
        if (text_.empty()) text_ = to_string();
        return text_.c_str();
    } catch (...) {
        return "Tarvok::Exception";
    }
}

std::string fill_template(std::string_view message_template,
                          const std::vector<std::string>& values) {
    std::string out;
    size_t next = 0;
    for (size_t i = 0; i < message_template.size(); ++i) {
        if (message_template[i] == '%' && i + 1 < message_template.size() &&
            message_template[i + 1] == 's') {
            if (next < values.size()) out += values[next];
            ++next;
            ++i;
        } else {
            out.push_back(message_template[i]);
        }
    }
    return out;
}

bool is_a(const std::exception& failure, std::string_view class_name) {
    const auto* e = dynamic_cast<const Base*>(&failure);
    if (e == nullptr) return false;
    if (class_name == kFamily) return true;
    return class_name == e->short_name() || class_name == e->full_name();
}

}  // namespace Tarvok::Exception
