// Tarvok::Exception: the family of typed failures that library modules raise.
//
// A raise site names a class and passes the facts of the failure; the class turns them into the
// text a user finally sees:
//
//     throw Tarvok::Exception::create<TempCreateFailed>({{"path", name}, {"error", errno}});
//     // "Could not create a temporary file at '/tmp/x.abc': File exists"
//
// Callers let the exception travel up to Tarvok::Process::run(), which prints its text and ends
// the run, or catch it and test its class with is_a().
#pragma once

#include <exception>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace Tarvok::Exception {

/// A parameter value: a text or a number (an `error` number is shown as its OS error text).
using Value = std::variant<std::string, long long>;
struct Param {
    std::string name;
    Value value;
    Param(std::string n, std::string v) : name(std::move(n)), value(std::move(v)) {}
    Param(std::string n, const char* v) : name(std::move(n)), value(std::string(v)) {}
    Param(std::string n, long long v) : name(std::move(n)), value(v) {}
    Param(std::string n, int v) : name(std::move(n)), value(static_cast<long long>(v)) {}
    Param(std::string n, long v) : name(std::move(n)), value(static_cast<long long>(v)) {}
};
using Params = std::vector<Param>;
using ParamMap = std::map<std::string, Value>;

class Base : public std::exception {
public:
    /// Pairs form.
    Base(const char* short_name, Params params);
    /// Message form: the text is `message` as it stands.
    Base(const char* short_name, std::string message);

    const std::string& short_name() const { return short_name_; }
    /// The full class name, "Tarvok::Exception::" followed by the short name.
    std::string full_name() const;
    const Params& params() const { return params_; }
    /// The parameter called `name`, or nullptr.
    const Value* get(std::string_view name) const;
    /// errno as it was when the object was created.
    int saved_errno() const { return saved_errno_; }

    std::string to_string() const;
    const char* what() const noexcept override;

private:
    std::string short_name_;
    Params params_;
    std::string message_;
    bool has_message_ = false;
    int saved_errno_ = 0;
    mutable std::string text_;
};

#define TARVOK_EXCEPTION_CLASS(Name)                      \
    class Name : public Base {                            \
    public:                                               \
        static constexpr const char* short_class = #Name; \
        using Base::Base;                                 \
    }

TARVOK_EXCEPTION_CLASS(FcntlFailed);
TARVOK_EXCEPTION_CLASS(TempCreateFailed);
TARVOK_EXCEPTION_CLASS(BadArgument);
TARVOK_EXCEPTION_CLASS(DirCreateFailed);
TARVOK_EXCEPTION_CLASS(JSONDecodeFailure);
TARVOK_EXCEPTION_CLASS(OpenFailed);
TARVOK_EXCEPTION_CLASS(SeekFailed);
TARVOK_EXCEPTION_CLASS(ReadFailed);
TARVOK_EXCEPTION_CLASS(FileNotFound);

#undef TARVOK_EXCEPTION_CLASS

/// create (class, pairs): an object of class E carrying the parameters.
template <class E>
E create(Params params) {
    return E(E::short_class, std::move(params));
}

/// create (class, map): the same with the parameters given as a map.
template <class E>
E create(const ParamMap& params) {
    Params pairs;
    for (const auto& [name, value] : params) {
        if (const auto* text = std::get_if<std::string>(&value)) {
            pairs.emplace_back(name, *text);
        } else {
            pairs.emplace_back(name, std::get<long long>(value));
        }
    }
    return E(E::short_class, std::move(pairs));
}

/// Fills each "%s" of `message_template` with the next value.
std::string fill_template(std::string_view message_template, const std::vector<std::string>& values);

/// create (class, message template, values).
template <class E>
E create(std::string_view message_template, const std::vector<std::string>& values) {
    return E(E::short_class, fill_template(message_template, values));
}

/// create (class, message).
template <class E>
E create(std::string message) {
    return E(E::short_class, std::move(message));
}

/// The is-a test: true when `failure` belongs to the class named `class_name` (full or short
/// name; "Tarvok::Exception" itself names the whole family).
bool is_a(const std::exception& failure, std::string_view class_name);

}  // namespace Tarvok::Exception
