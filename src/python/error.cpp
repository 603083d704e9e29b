#include "python/error.hpp"

#include <cstdio>

#include "platform/platform.hpp"

namespace velmora {
namespace {

constexpr char kPanicName[] = "velmora_runtime.PanicException";
constexpr char kPanicDoc[] =
    "\nThe exception raised when Orvek code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// Kept for the life of the process; never released.
PyObject* g_panic_class = nullptr;

PyObject* new_text(std::string_view text) {
  return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

bool is_exception_class(PyObject* object) {
  return PyType_HasFeature(Py_TYPE(object), Py_TPFLAGS_TYPE_SUBCLASS) &&
         PyType_HasFeature(reinterpret_cast<PyTypeObject*>(object), Py_TPFLAGS_BASE_EXC_SUBCLASS);
}

// UTF-8 of a str, or nothing (with no exception pending) when it holds lone surrogates.
std::optional<std::string_view> utf8_view(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string_view(data, static_cast<size_t>(size));
}

// "'<qualified name>' object cannot be converted to '<target>'".
std::string conversion_message(PyObject* type, const char* target) {
  std::string name = "<failed to extract type name>";
  PyRef qualname = PyRef::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type)));
  if (qualname) {
    if (auto view = utf8_view(qualname.get())) name.assign(*view);
  } else {
    (void)ErrorValue::fetch();
  }
  std::string message;
  message.reserve(name.size() + 40);
  message.append("'")
      .append(name)
      .append("' object cannot be converted to '")
      .append(target)
      .append("'");
  return message;
}

}  // namespace

[[noreturn]] void fatal_failure(std::string_view message) noexcept {
  std::fprintf(stderr, "velmora_trainer: fatal error: %.*s\n", static_cast<int>(message.size()),
               message.data());
  std::fflush(stderr);
  platform::fail_fast();
}

[[noreturn]] void fatal_api_failure() noexcept {
  if (PyErr_Occurred() != nullptr) PyErr_Print();
  fatal_failure("Python API call failed");
}

PyObject* panic_exception_class() {
  if (g_panic_class == nullptr) {
    PyObject* created =
        PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
    if (created == nullptr) fatal_failure("Failed to initialize new exception type.");
    if (g_panic_class == nullptr) {
      g_panic_class = created;
    } else {
      Py_DECREF(created);
    }
  }
  return g_panic_class;
}

ErrorValue ErrorValue::make(PyObject* exception_class, std::string message) {
  ErrorValue error;
  error.class_ = PyRef::borrow(exception_class);
  error.message_ = std::move(message);
  return error;
}

ErrorValue ErrorValue::conversion_failure(PyObject* object, const char* target) {
  ErrorValue error;
  error.class_ = PyRef::borrow(PyExc_TypeError);
  error.conversion_type_ = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object)));
  error.conversion_target_ = target;
  return error;
}

std::optional<ErrorValue> ErrorValue::take() {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) return std::nullopt;
  PyObject* panic = panic_exception_class();
  if (reinterpret_cast<PyObject*>(Py_TYPE(raised)) == panic) {
    std::fputs(
        "--- Velmora is resuming a panic after fetching a PanicException from Python. ---\n"
        "Python stack trace below:\n",
        stderr);
    PyErr_SetRaisedException(raised);
    PyErr_PrintEx(0);
    std::fflush(stderr);
    platform::fail_fast();
  }
  ErrorValue error;
  error.exception_ = PyRef::steal(raised);
  return error;
}

ErrorValue ErrorValue::fetch() {
  if (auto taken = take()) return std::move(*taken);
  return make(PyExc_SystemError, std::string(kMissingExceptionMessage));
}

void ErrorValue::raise_deferred() {
  PyRef cls = std::move(class_);
  std::string message = std::move(message_);
  if (conversion_type_) {
    message = conversion_message(conversion_type_.get(), conversion_target_);
    conversion_type_ = PyRef();
  }
  PyRef argument = PyRef::steal(new_text(message));
  if (is_exception_class(cls.get())) {
    PyErr_SetObject(cls.get(), argument.get());
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
}

PyObject* ErrorValue::materialise() {
  if (exception_) return exception_.get();
  if (materialising_) fatal_failure("Cannot normalize a PyErr while already normalizing it.");
  materialising_ = true;
  raise_deferred();
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) fatal_failure("exception missing after writing to the interpreter");
  exception_ = PyRef::steal(raised);
  materialising_ = false;
  return exception_.get();
}

void ErrorValue::raise() && {
  if (exception_) {
    PyErr_SetRaisedException(exception_.release());
    return;
  }
  raise_deferred();
}

std::string ErrorValue::render() { return render_text(materialise()); }

std::string render_text(PyObject* object) {
  PyRef text = PyRef::steal(PyObject_Str(object));
  if (!text) {
    ErrorValue failure = ErrorValue::fetch();
    std::move(failure).raise();
    PyErr_WriteUnraisable(object);
    PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
    if (type_name) {
      if (auto view = utf8_view(type_name.get())) {
        return "<unprintable " + std::string(*view) + " object>";
      }
    } else {
      (void)ErrorValue::take();
    }
    return "<unprintable object>";
  }
  if (auto view = utf8_view(text.get())) return std::string(*view);
  // Lone surrogates: encode them as they stand, then decode with one U+FFFD
  // per maximal ill-formed sequence.
  PyRef bytes =
      PyRef::steal(checked(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass")));
  PyRef repaired = PyRef::steal(checked(PyUnicode_DecodeUTF8(
      PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()), "replace")));
  auto view = utf8_view(repaired.get());
  if (!view) fatal_failure("Python API call failed");
  return std::string(*view);
}

}  // namespace velmora
