// Error values and their reporting to the interpreter.
//
// Every fallible operation of the module returns its value or an ErrorValue;
// only an entry point's exit turns an ErrorValue into the thread's pending
// Python exception (ErrorValue::raise).
#pragma once

#include <Python.h>

#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "python/pyref.hpp"

namespace velmora {

// Broken premise of the module: writes a diagnostic naming `message` to
// standard error and ends the process at once (no Python cleanup).
[[noreturn]] void fatal_failure(std::string_view message) noexcept;

// An interpreter call that can only fail for lack of memory failed: prints the
// pending exception, then ends the process as a fatal failure.
[[noreturn]] void fatal_api_failure() noexcept;

// Returns `object`, a new reference from such an interpreter call, or ends the
// process when it is null.
inline PyObject* checked(PyObject* object) noexcept {
  if (object == nullptr) fatal_api_failure();
  return object;
}

// Runs an entry point's body so that no C++ exception reaches the interpreter:
// the only one possible is a failed native allocation, a fatal failure named
// by `out_of_memory_message`.
template <class Body>
auto guarded(std::string_view out_of_memory_message, Body&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    fatal_failure(out_of_memory_message);
  }
}

// The message of a SystemError for a failure that left no exception pending.
inline constexpr std::string_view kMissingExceptionMessage =
    "attempted to fetch exception but none was set";

class ErrorValue {
 public:
  // Make: a deferred error of `exception_class` whose single argument is `message`.
  static ErrorValue make(PyObject* exception_class, std::string message);
  // The deferred TypeError "'<qualified type name>' object cannot be converted
  // to '<target>'"; the type name is looked up when the error is materialised.
  static ErrorValue conversion_failure(PyObject* object, const char* target);
  // Take: the pending exception, if any; afterwards none is pending.
  static std::optional<ErrorValue> take();
  // Fetch: like take, but a SystemError when nothing was pending.
  static ErrorValue fetch();

  ErrorValue(ErrorValue&&) noexcept = default;
  ErrorValue& operator=(ErrorValue&&) noexcept = default;
  ErrorValue(const ErrorValue&) = delete;
  ErrorValue& operator=(const ErrorValue&) = delete;
  ~ErrorValue() = default;

  // Materialise: the exception object (borrowed; the value keeps ownership).
  PyObject* materialise();
  // Raise: makes this error the thread's pending exception.
  void raise() &&;
  // Text rendering of the exception object (its message for the module's own errors).
  std::string render();
  bool is_deferred() const noexcept { return !exception_; }

 private:
  ErrorValue() = default;
  // Builds the class and argument objects of a deferred value and sets them
  // as the pending exception.
  void raise_deferred();

  // Deferred form.
  PyRef class_;
  std::string message_;
  PyRef conversion_type_;  // set for conversion failures
  const char* conversion_target_ = nullptr;
  // Materialised form.
  PyRef exception_;
  bool materialising_ = false;
};

// A value of type T, or an error value.
template <class T>
class [[nodiscard]] Outcome {
 public:
  Outcome(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Outcome(ErrorValue error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
  T& value() noexcept { return *std::get_if<0>(&state_); }
  T&& take_value() noexcept { return std::move(*std::get_if<0>(&state_)); }
  ErrorValue&& take_error() noexcept { return std::move(*std::get_if<1>(&state_)); }

 private:
  std::variant<T, ErrorValue> state_;
};

// str() of any object as UTF-8, never failing: lone surrogates become U+FFFD
// per ill-formed sequence; a failing __str__ goes to the unraisable hook and
// gives "<unprintable T object>".
std::string render_text(PyObject* object);

// Entry-point exits: raise `error` and return the failure value.
inline PyObject* raise_null(ErrorValue&& error) {
  std::move(error).raise();
  return nullptr;
}
inline int raise_minus_one(ErrorValue&& error) {
  std::move(error).raise();
  return -1;
}

// The module's panic exception class (created on first need, never published).
PyObject* panic_exception_class();

}  // namespace velmora
