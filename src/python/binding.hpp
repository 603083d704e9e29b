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

inline constexpr std::size_t kMaxParameters = 5;

struct CallDescription {
  const char* owner_class = nullptr;  // null for module-level functions
  const char* function_name = nullptr;
  std::array<std::string_view, kMaxParameters> parameters;
  std::size_t parameter_count = 0;
  std::size_t required = 0;
};

// One borrowed reference per parameter; null when the parameter was not given.
using Slots = std::array<PyObject*, kMaxParameters>;

// The module's two call descriptions.
extern const CallDescription kTrainFromConfig;
extern const CallDescription kTrainerConfigNew;

// Binds a fast call (argument vector, positional count, keyword-name tuple).
std::optional<ErrorValue> bind_fastcall(const CallDescription& call, PyObject* const* args,
                                        Py_ssize_t nargs, PyObject* kwnames, Slots& slots);
// Binds a classic call (argument tuple, keyword dictionary or null).
std::optional<ErrorValue> bind_classic(const CallDescription& call, PyObject* args,
                                       PyObject* kwargs, Slots& slots);

// Conversions of one argument.
Outcome<std::string> convert_string(PyObject* object);
Outcome<std::uint64_t> convert_u64(PyObject* object);
Outcome<std::uint32_t> convert_u32(PyObject* object);
// `object` may be null (parameter not given).
Outcome<std::optional<std::string>> convert_optional_string(PyObject* object);

// Relabels a plain TypeError of a failed conversion with the parameter's name.
ErrorValue wrap_argument_error(std::string_view parameter, ErrorValue error);

// Converts the five bound slots of a training request, in parameter order,
// wrapping the first failure with the parameter's name.
Outcome<TrainingRequest> convert_training_request(const Slots& slots);

// Result conversions (new references; out of memory is fatal).
PyObject* to_python(std::string_view text);
PyObject* to_python(std::uint64_t value);
PyObject* to_python(const std::optional<std::string>& text);
PyObject* none();

}  // namespace velmora::binding
