// The loading front: every entry point builds the implementation (once, keeping errno) and hands
// the call over unchanged.
#include "Tarvok/Exception.hpp"

#include <cerrno>

#include "Tarvok/ErrnoGuard.hpp"
#include "Tarvok/Exception/CORE.hpp"

namespace Tarvok::Exception {
namespace {

constexpr std::string_view kFamily = "Tarvok::Exception";

// Loading must never disturb the failure the caller is about to report.
void _load_core() {
    ErrnoGuard keep;
    CORE::load();
}

}  // namespace

// ---- the object ----

Base::Base(const char* short_name, Params params)
    : saved_errno_(errno), short_name_(short_name), params_(std::move(params)) {
    _init(*this);
}

Base::Base(const char* short_name, std::string message)
    : saved_errno_(errno), short_name_(short_name), message_(std::move(message)) {
    _init(*this);
}

const Value* Base::get(std::string_view name) const {
    for (const Param& p : params_) {
        if (p.name == name) return &p.value;
    }
    return nullptr;
}

std::string Base::to_string() const {
    return to_string_no_id(*this);
}

const char* Base::what() const noexcept {
    try {
        if (text_.empty()) text_ = to_string();
        return text_.c_str();
    } catch (...) {
        return "Tarvok::Exception";
    }
}

// ---- helpers of the creation forms ----

Params pairs_of(const ParamMap& params) {
    Params pairs;
    pairs.reserve(params.size());
    for (const auto& [name, value] : params) pairs.emplace_back(name, value);
    return pairs;
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

// ---- the 22 entry points ----

std::unique_ptr<Base> create(std::string_view short_class, std::initializer_list<Param> params) {
    return create(short_class, Params(params));
}

std::unique_ptr<Base> create(std::string_view short_class, Params params) {
    _load_core();
    return CORE::create(short_class, std::move(params), std::nullopt);
}

std::unique_ptr<Base> create(std::string_view short_class, const ParamMap& params) {
    return create(short_class, pairs_of(params));
}

std::unique_ptr<Base> create(std::string_view short_class, std::string_view message_template,
                             const std::vector<std::string>& values) {
    return create(short_class, fill_template(message_template, values));
}

std::unique_ptr<Base> create(std::string_view short_class, std::string message) {
    _load_core();
    return CORE::create(short_class, {}, std::move(message));
}

std::unique_ptr<Base> create_raw(std::string_view short_class, std::string message) {
    _load_core();
    return CORE::create_raw(short_class, std::move(message));
}

std::unique_ptr<Base> _create(std::string_view full_class, Params params,
                              std::optional<std::string> message) {
    _load_core();
    return CORE::_create(full_class, std::move(params), std::move(message));
}

std::unique_ptr<Base> new_(std::string_view full_class, Params params) {
    _load_core();
    return CORE::new_(full_class, std::move(params));
}

void _init(Base& failure) {
    _load_core();
    CORE::_init(failure);
}

const Value* get(const Base& failure, std::string_view name) {
    _load_core();
    return CORE::get(failure, name);
}

void set(Base& failure, std::string_view name, Value value) {
    _load_core();
    CORE::set(failure, name, std::move(value));
}

const std::string& id(const Base& failure) {
    _load_core();
    return CORE::id(failure);
}

void set_id(Base& failure, std::string new_id) {
    _load_core();
    CORE::set_id(failure, std::move(new_id));
}

std::string longmess(const Base& failure) {
    _load_core();
    return CORE::longmess(failure);
}

std::string get_string(const std::exception& failure) {
    _load_core();
    return CORE::get_string(failure);
}

std::string get_string_no_id(const std::exception& failure) {
    _load_core();
    return CORE::get_string_no_id(failure);
}

std::string to_string(const Base& failure) {
    _load_core();
    return CORE::to_string(failure);
}

std::string to_string_no_id(const Base& failure) {
    _load_core();
    return CORE::to_string_no_id(failure);
}

std::string to_en_string(const Base& failure) {
    _load_core();
    return CORE::to_en_string(failure);
}

std::string to_en_string_no_id(const Base& failure) {
    _load_core();
    return CORE::to_en_string_no_id(failure);
}

std::string to_locale_string(const Base& failure) {
    _load_core();
    return CORE::to_locale_string(failure);
}

std::string to_locale_string_no_id(const Base& failure) {
    _load_core();
    return CORE::to_locale_string_no_id(failure);
}

void add_auxiliary_exception(Base& failure, std::exception_ptr auxiliary) {
    _load_core();
    CORE::add_auxiliary_exception(failure, std::move(auxiliary));
}

const std::vector<std::exception_ptr>& get_auxiliary_exceptions(const Base& failure) {
    _load_core();
    return CORE::get_auxiliary_exceptions(failure);
}

StackTraceSuppressor get_stack_trace_suppressor() {
    _load_core();
    return CORE::get_stack_trace_suppressor();
}

void _reset_locale() {
    _load_core();
    CORE::_reset_locale();
}

// ---- tests ----

bool is_a(const std::exception& failure, std::string_view class_name) {
    const auto* e = dynamic_cast<const Base*>(&failure);
    if (e == nullptr) return false;
    if (class_name == kFamily) return true;
    return class_name == e->short_name() || class_name == e->full_name();
}

bool core_loaded() {
    return CORE::loaded();
}

int core_load_count() {
    return CORE::load_count();
}

}  // namespace Tarvok::Exception
