#include "python/binding.hpp"

#include "text/format.hpp"

namespace velmora::binding {

namespace {

std::string display_name(const CallDescription& call) {
  std::string name;
  if (call.owner_class != nullptr) name.append(call.owner_class).append(".");
  name.append(call.function_name).append("()");
  return name;
}

using text::decimal;

ErrorValue type_error(std::string message) {
  return ErrorValue::make(PyExc_TypeError, std::move(message));
}

ErrorValue too_many_positional(const CallDescription& call, std::size_t given) {
  std::string message = display_name(call) + " takes ";
  if (call.required < call.parameter_count) {
    message += "from " + decimal(call.required) + " to " + decimal(call.parameter_count);
  } else {
    message += decimal(call.parameter_count);
  }
  message += " positional arguments but " + decimal(given) + " were given";
  return type_error(std::move(message));
}

ErrorValue missing_required(const CallDescription& call, const Slots& slots) {
  std::array<std::string_view, kMaxParameters> missing{};
  std::size_t count = 0;
  for (std::size_t i = 0; i < call.required; ++i) {
    if (slots[i] == nullptr) missing[count++] = call.parameters[i];
  }
  std::string message = display_name(call) + " missing " + decimal(count) +
                        " required positional " + (count == 1 ? "argument" : "arguments") + ": ";
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) {
      if (count > 2) message += ",";
      message += (i + 1 == count) ? " and " : " ";
    }
    message.append("'").append(missing[i]).append("'");
  }
  return type_error(std::move(message));
}

// Matches one keyword argument to its parameter's slot.
std::optional<ErrorValue> bind_keyword(const CallDescription& call, PyObject* name, PyObject* value,
                                       Slots& slots) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  if (text != nullptr) {
    const std::string_view keyword(text, static_cast<std::size_t>(size));
    for (std::size_t j = 0; j < call.parameter_count; ++j) {
      if (call.parameters[j] != keyword) continue;
      if (slots[j] != nullptr) {
        return type_error(display_name(call) + " got multiple values for argument '" +
                          std::string(keyword) + "'");
      }
      slots[j] = value;
      return std::nullopt;
    }
  } else {
    (void)ErrorValue::take();  // a name that cannot be read is simply unknown
  }
  return type_error(display_name(call) + " got an unexpected keyword argument '" +
                    render_text(name) + "'");
}

std::optional<ErrorValue> bind_positional(const CallDescription& call, PyObject* const* args,
                                          std::size_t nargs, Slots& slots) {
  slots.fill(nullptr);
  const std::size_t copied = nargs < call.parameter_count ? nargs : call.parameter_count;
  for (std::size_t i = 0; i < copied; ++i) slots[i] = args[i];
  if (nargs > call.parameter_count) return too_many_positional(call, nargs);
  return std::nullopt;
}

std::optional<ErrorValue> check_required(const CallDescription& call, std::size_t nargs,
                                         const Slots& slots) {
  for (std::size_t i = nargs; i < call.required; ++i) {
    if (slots[i] == nullptr) return missing_required(call, slots);
  }
  return std::nullopt;
}

}  // namespace

std::optional<ErrorValue> bind_fastcall(const CallDescription& call, PyObject* const* args,
                                        Py_ssize_t nargs, PyObject* kwnames, Slots& slots) {
  const auto positional = static_cast<std::size_t>(nargs);
  if (auto error = bind_positional(call, args, positional, slots)) return error;
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (auto error = bind_keyword(call, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots)) {
        return error;
      }
    }
  }
  return check_required(call, positional, slots);
}

std::optional<ErrorValue> bind_classic(const CallDescription& call, PyObject* args,
                                       PyObject* kwargs, Slots& slots) {
  const auto positional = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  if (auto error = bind_positional(call, &PyTuple_GET_ITEM(args, 0), positional, slots)) {
    return error;
  }
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      if (auto error = bind_keyword(call, name, value, slots)) return error;
    }
  }
  return check_required(call, positional, slots);
}

Outcome<std::string_view> convert_text(PyObject* object) {
  if (!PyType_HasFeature(Py_TYPE(object), Py_TPFLAGS_UNICODE_SUBCLASS)) {
    return ErrorValue::conversion_failure(object, "PyString");
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) return ErrorValue::fetch();
  return std::string_view(text, static_cast<std::size_t>(size));
}

Outcome<std::optional<std::string_view>> convert_optional_text(PyObject* object) {
  if (object == nullptr || object == Py_None) return std::optional<std::string_view>();
  Outcome<std::string_view> text = convert_text(object);
  if (!text) return text.take_error();
  return std::optional<std::string_view>(text.value());
}

Outcome<std::string> convert_string(PyObject* object) {
  Outcome<std::string_view> text = convert_text(object);
  if (!text) return text.take_error();
  return std::string(text.value());
}

Outcome<std::uint64_t> convert_u64(PyObject* object) {
  unsigned long long value = 0;
  if (PyType_HasFeature(Py_TYPE(object), Py_TPFLAGS_LONG_SUBCLASS)) {
    value = PyLong_AsUnsignedLongLong(object);
  } else {
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) return ErrorValue::fetch();
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  if (value == static_cast<unsigned long long>(-1)) {
    if (auto error = ErrorValue::take()) return std::move(*error);
  }
  return static_cast<std::uint64_t>(value);
}

Outcome<std::uint32_t> convert_u32(PyObject* object) {
  Outcome<std::uint64_t> wide = convert_u64(object);
  if (!wide) return wide.take_error();
  if (wide.value() > 0xFFFFFFFFull) {
    return ErrorValue::make(PyExc_OverflowError, "out of range integral type conversion attempted");
  }
  return static_cast<std::uint32_t>(wide.value());
}

Outcome<std::optional<std::string>> convert_optional_string(PyObject* object) {
  if (object == nullptr || object == Py_None) return std::optional<std::string>();
  Outcome<std::string> text = convert_string(object);
  if (!text) return text.take_error();
  return std::optional<std::string>(text.take_value());
}

ErrorValue wrap_argument_error(std::string_view parameter, ErrorValue error) {
  PyObject* first = error.materialise();
  if (reinterpret_cast<PyObject*>(Py_TYPE(first)) != PyExc_TypeError) return error;
  std::string message = "argument '";
  message.append(parameter).append("': ").append(render_text(first));
  ErrorValue wrapped = ErrorValue::make(PyExc_TypeError, std::move(message));
  PyException_SetCause(wrapped.materialise(), PyException_GetCause(first));
  return wrapped;
}

Outcome<launcher::TrainingRequest> convert_training_request(const Slots& slots) {
  launcher::TrainingRequest request;
  std::optional<ErrorValue> failure;
  std::size_t slot = 0;
  const bool converted = launcher::all_request_fields([&](const auto& field) {
    using Value = typename std::remove_cvref_t<decltype(field)>::Value;
    auto value = Conversion<Value>::owned(slots[slot++]);
    if (!value) {
      failure = wrap_argument_error(field.name, value.take_error());
      return false;
    }
    request.*field.member = value.take_value();
    return true;
  });
  if (converted) return request;
  return std::move(*failure);
}

PyObject* to_python(std::string_view text) {
  return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}
PyObject* to_python(std::uint64_t value) { return checked(PyLong_FromUnsignedLongLong(value)); }
PyObject* to_python(const std::optional<std::string>& text) {
  return text ? to_python(std::string_view(*text)) : none();
}
PyObject* none() { return Py_NewRef(Py_None); }

}  // namespace velmora::binding
