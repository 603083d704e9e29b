// Call binding and argument conversion, driven by a constant call description
// per callable.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "launcher/training_request.hpp"
#include "python/error.hpp"

namespace velmora::binding {

inline constexpr std::size_t kMaxParameters = launcher::kRequestFieldCount;

struct CallDescription {
  const char* owner_class = nullptr;  // null for module-level functions
  const char* function_name = nullptr;
  std::array<std::string_view, kMaxParameters> parameters;
  std::size_t parameter_count = 0;
  std::size_t required = 0;
};

// One borrowed reference per parameter; null when the parameter was not given.
using Slots = std::array<PyObject*, kMaxParameters>;

// A callable whose parameters are the request table's rows.
constexpr CallDescription request_call(const char* owner_class, const char* function_name) {
  CallDescription call{owner_class, function_name, {}, 0, 0};
  launcher::for_each_request_field([&](const auto& field) {
    call.parameters[call.parameter_count++] = field.name;
    if (field.required) call.required = call.parameter_count;
  });
  return call;
}

// The module's two call descriptions.
inline constexpr CallDescription kTrainFromConfig = request_call(nullptr, "train_from_config");
inline constexpr CallDescription kTrainerConfigNew = request_call("TrainerConfig", "__new__");

// Binds a fast call (argument vector, positional count, keyword-name tuple).
std::optional<ErrorValue> bind_fastcall(const CallDescription& call, PyObject* const* args,
                                        Py_ssize_t nargs, PyObject* kwnames, Slots& slots);
// Binds a classic call (argument tuple, keyword dictionary or null).
std::optional<ErrorValue> bind_classic(const CallDescription& call, PyObject* args,
                                       PyObject* kwargs, Slots& slots);

// Conversions of one argument. The text conversions without their copy view
// the UTF-8 text of a str argument, valid while the argument lives (the str
// caches it); their failures are exactly those of the copying ones.
Outcome<std::string_view> convert_text(PyObject* object);
Outcome<std::optional<std::string_view>> convert_optional_text(PyObject* object);
Outcome<std::string> convert_string(PyObject* object);
Outcome<std::uint64_t> convert_u64(PyObject* object);
Outcome<std::uint32_t> convert_u32(PyObject* object);
// `object` may be null (parameter not given).
Outcome<std::optional<std::string>> convert_optional_string(PyObject* object);

// Relabels a plain TypeError of a failed conversion with the parameter's name.
ErrorValue wrap_argument_error(std::string_view parameter, ErrorValue error);

// The conversion of a request field's type; its views, the copy-free one.
template <class T>
struct Conversion;
template <>
struct Conversion<std::string> {
  using View = std::string_view;
  static Outcome<std::string> owned(PyObject* o) { return convert_string(o); }
  static Outcome<View> view(PyObject* o) { return convert_text(o); }
};
template <>
struct Conversion<std::optional<std::string>> {
  using View = std::optional<std::string_view>;
  static Outcome<std::optional<std::string>> owned(PyObject* o) {
    return convert_optional_string(o);
  }
  static Outcome<View> view(PyObject* o) { return convert_optional_text(o); }
};
template <>
struct Conversion<std::uint64_t> {
  using View = std::uint64_t;
  static Outcome<View> owned(PyObject* o) { return convert_u64(o); }
  static Outcome<View> view(PyObject* o) { return convert_u64(o); }
};
template <>
struct Conversion<std::uint32_t> {
  using View = std::uint32_t;
  static Outcome<View> owned(PyObject* o) { return convert_u32(o); }
  static Outcome<View> view(PyObject* o) { return convert_u32(o); }
};

// Converts the bound slots of a training request, in parameter order,
// wrapping the first failure with the parameter's name.
Outcome<launcher::TrainingRequest> convert_training_request(const Slots& slots);

// Result conversions (new references; out of memory is fatal).
PyObject* to_python(std::string_view text);
PyObject* to_python(std::uint64_t value);
inline PyObject* to_python(std::uint32_t value) { return to_python(std::uint64_t{value}); }
inline PyObject* to_python(const std::string& text) { return to_python(std::string_view(text)); }
PyObject* to_python(const std::optional<std::string>& text);
PyObject* none();

}  // namespace velmora::binding
