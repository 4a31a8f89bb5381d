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
//
// This module is only the loading front of the family. The class table, the message texts, the
// message ids and the call traces belong to the implementation, Tarvok::Exception::CORE, which is
// built the first time any entry point below runs (creating an object is such a run) and never in
// a run that raises nothing. Building it keeps the caller's errno, so a failure about to be
// reported is never disturbed.
//
// The family's 22 entry points and their C++ names (C++ reserves names with a double underscore,
// and `new` is a keyword):
//
//     create, create_raw, _init, get, set, id, set_id, longmess,
//     get_string, get_string_no_id, to_string, to_string_no_id, to_en_string,
//     to_en_string_no_id, to_locale_string, to_locale_string_no_id, add_auxiliary_exception,
//     get_auxiliary_exceptions, get_stack_trace_suppressor, _reset_locale   as they stand;
//     __create  ->  _create
//     new       ->  new_
//
// Texts come in two kinds: the plain text a user sees (`Base::to_string()`, `what()` and every
// `_no_id` form) and the text with the object's message id appended, "... (XID k3j9x2ab)", which
// lets one failure be matched across several reports.
#pragma once

#include <exception>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace Tarvok::Exception {

/// Process-wide switch for the implementation: 1 makes `to_string` give the text for the
/// process's message locale, 0 the English text.
inline int LOCALIZE_STRINGS = 1;

/// A parameter value: a text or a number (an `error` number is shown as its OS error text).
using Value = std::variant<std::string, long long>;
struct Param {
    std::string name;
    Value value;
    Param(std::string n, std::string v) : name(std::move(n)), value(std::move(v)) {}
    Param(std::string n, const char* v) : name(std::move(n)), value(std::string(v)) {}
    Param(std::string n, std::string_view v) : name(std::move(n)), value(std::string(v)) {}
    Param(std::string n, long long v) : name(std::move(n)), value(v) {}
    Param(std::string n, int v) : name(std::move(n)), value(static_cast<long long>(v)) {}
    Param(std::string n, long v) : name(std::move(n)), value(static_cast<long long>(v)) {}
    Param(std::string n, unsigned v) : name(std::move(n)), value(static_cast<long long>(v)) {}
    Param(std::string n, unsigned long v) : name(std::move(n)), value(static_cast<long long>(v)) {}
    Param(std::string n, unsigned long long v)
        : name(std::move(n)), value(static_cast<long long>(v)) {}
    Param(std::string n, Value v) : name(std::move(n)), value(std::move(v)) {}
};
using Params = std::vector<Param>;
using ParamMap = std::map<std::string, Value>;

namespace CORE {
struct Access;
}

class Base : public std::exception {
  public:
    /// Pairs form.
    Base(const char* short_name, Params params);
    /// Message form: the text is `message` as it stands.
    Base(const char* short_name, std::string message);

    const std::string& short_name() const { return short_name_; }
    /// The full class name, "Tarvok::Exception::" followed by the short name.
    std::string full_name() const { return full_name_; }
    const Params& params() const { return params_; }
    /// The parameter called `name`, or nullptr.
    const Value* get(std::string_view name) const;
    /// errno as it was when the object was created.
    int saved_errno() const { return saved_errno_; }
    /// The message id, unique within the process.
    const std::string& id() const { return id_; }

    /// The text a user sees (no message id).
    std::string to_string() const;
    const char* what() const noexcept override;

    /// Throws this object as its own class (for objects made by class name).
    [[noreturn]] virtual void raise() const { throw *this; }

  private:
    friend struct CORE::Access;

    int saved_errno_ = 0;  // first, so that it is taken before anything else can touch errno
    std::string short_name_;
    std::string full_name_;
    Params params_;
    std::optional<std::string> message_;
    std::string id_;
    std::vector<std::exception_ptr> auxiliaries_;
    std::vector<void*> frames_;
    mutable std::string text_;
};

#define TARVOK_EXCEPTION_CLASS(Name)                              \
    class Name : public Base {                                    \
      public:                                                     \
        static constexpr const char* short_class = #Name;         \
        using Base::Base;                                         \
        [[noreturn]] void raise() const override { throw *this; } \
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

/// The pairs as a map would order them (by name).
Params pairs_of(const ParamMap& params);

/// Fills each "%s" of `message_template` with the next value.
std::string fill_template(std::string_view message_template,
                          const std::vector<std::string>& values);

// ---- create: the three forms, by class ----

/// create (class, pairs): an object of class E carrying the parameters, in the order given.
template <class E>
E create(std::initializer_list<Param> params) {
    return E(E::short_class, Params(params));
}
template <class E>
E create(Params params) {
    return E(E::short_class, std::move(params));
}

/// create (class, map): the same with the parameters given as a map.
template <class E>
E create(const ParamMap& params) {
    return E(E::short_class, pairs_of(params));
}

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

// ---- create: the same forms, by short class name ("TempCreateFailed") ----
// An unknown class name raises Tarvok::Error. Raise the result with `->raise()`.

std::unique_ptr<Base> create(std::string_view short_class, std::initializer_list<Param> params);
std::unique_ptr<Base> create(std::string_view short_class, Params params);
std::unique_ptr<Base> create(std::string_view short_class, const ParamMap& params);
std::unique_ptr<Base> create(std::string_view short_class, std::string_view message_template,
                             const std::vector<std::string>& values);
std::unique_ptr<Base> create(std::string_view short_class, std::string message);

/// An object whose text is `message` exactly as given, never looked up for translation.
std::unique_ptr<Base> create_raw(std::string_view short_class, std::string message);

/// (`__create`) The worker behind every creation by name: `full_class` is the full class name;
/// with `message` the object is of the message form.
std::unique_ptr<Base> _create(std::string_view full_class, Params params,
                              std::optional<std::string> message = std::nullopt);

/// (`new`) Constructs an object of the class with the full name `full_class`.
std::unique_ptr<Base> new_(std::string_view full_class, Params params);

/// Completes a freshly constructed object: full class name, message id, call trace. Every
/// constructor of the family calls it.
void _init(Base& failure);

// ---- parameters and ids ----

const Value* get(const Base& failure, std::string_view name);
/// Sets (or adds) a parameter; the object's text follows.
void set(Base& failure, std::string_view name, Value value);
const std::string& id(const Base& failure);
void set_id(Base& failure, std::string new_id);

// ---- texts ----

/// The text with the message id, then the call trace (when one was taken) and the texts of the
/// auxiliary failures, one per line.
std::string longmess(const Base& failure);
/// The text of any failure: family members as `to_string`, others as what().
std::string get_string(const std::exception& failure);
std::string get_string_no_id(const std::exception& failure);
/// The localised text when LOCALIZE_STRINGS is 1, else the English one.
std::string to_string(const Base& failure);
std::string to_string_no_id(const Base& failure);
std::string to_en_string(const Base& failure);
std::string to_en_string_no_id(const Base& failure);
std::string to_locale_string(const Base& failure);
std::string to_locale_string_no_id(const Base& failure);

// ---- auxiliary failures: ones that happened while this one was being handled ----

void add_auxiliary_exception(Base& failure, std::exception_ptr auxiliary);
const std::vector<std::exception_ptr>& get_auxiliary_exceptions(const Base& failure);

// ---- call traces ----

/// While an object of this type lives, new exceptions take no call trace.
class StackTraceSuppressor {
  public:
    StackTraceSuppressor();
    ~StackTraceSuppressor();
    StackTraceSuppressor(const StackTraceSuppressor&) = delete;
    StackTraceSuppressor& operator=(const StackTraceSuppressor&) = delete;
};
StackTraceSuppressor get_stack_trace_suppressor();

/// Forgets the message locale chosen so far; the next text looks it up again.
void _reset_locale();

// ---- tests ----

/// The is-a test: true when `failure` belongs to the class named `class_name` (full or short
/// name; "Tarvok::Exception" itself names the whole family).
bool is_a(const std::exception& failure, std::string_view class_name);

/// Whether the implementation has been built in this process, and how many times it was built.
bool core_loaded();
int core_load_count();

}  // namespace Tarvok::Exception
