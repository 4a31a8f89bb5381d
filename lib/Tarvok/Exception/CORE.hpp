// Tarvok::Exception::CORE: the implementation behind the Tarvok::Exception family.
//
// Holds the class table (short names to full names and constructors), the message text of every
// class, the message ids, the call traces and the conversions to text. Its tables are built the
// first time load() runs; the front, Tarvok::Exception, runs it (keeping errno) before handing any
// entry point over, so a run that raises nothing never builds them. Call the front, not this
// module: the functions here assume the tables are built.
//
// Message texts name their parameters: "Could not create a temporary file at '{path}': {error}".
// A part in brackets appears only when every parameter in it is present ("[ from '{path}']");
// `error` shows a number as its OS error text and a text as it stands.
#pragma once

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Tarvok/Exception.hpp"

namespace Tarvok::Exception::CORE {

/// Process-wide switch: non-zero makes every new exception take a call trace (glibc backtrace()).
inline int ENABLE_BACKTRACE = 0;

/// Builds the tables (once per process).
void load();
bool loaded();
/// How many times the tables were built: 0 before the first raise, 1 after.
int load_count();

/// The full class name for a short one.
std::string full_name(std::string_view short_class);

std::unique_ptr<Base> create(std::string_view short_class, Params params,
                             std::optional<std::string> message);
std::unique_ptr<Base> create_raw(std::string_view short_class, std::string message);
std::unique_ptr<Base> _create(std::string_view full_class, Params params,
                              std::optional<std::string> message);
std::unique_ptr<Base> new_(std::string_view full_class, Params params);
void _init(Base& failure);

const Value* get(const Base& failure, std::string_view name);
void set(Base& failure, std::string_view name, Value value);
const std::string& id(const Base& failure);
void set_id(Base& failure, std::string new_id);

std::string longmess(const Base& failure);
std::string get_string(const std::exception& failure);
std::string get_string_no_id(const std::exception& failure);
std::string to_string(const Base& failure);
std::string to_string_no_id(const Base& failure);
std::string to_en_string(const Base& failure);
std::string to_en_string_no_id(const Base& failure);
std::string to_locale_string(const Base& failure);
std::string to_locale_string_no_id(const Base& failure);

void add_auxiliary_exception(Base& failure, std::exception_ptr auxiliary);
const std::vector<std::exception_ptr>& get_auxiliary_exceptions(const Base& failure);

StackTraceSuppressor get_stack_trace_suppressor();
void _reset_locale();

}  // namespace Tarvok::Exception::CORE
