// velmora_check._native: the configuration checks of train_from_config without
// the launch. Multi-phase initialisation, no module state, one interpreter lock
// per interpreter; the interpreter lock is released while files are read and
// checked, so threads check in parallel.
//
// A finding crosses to Python as a tuple (kind, message, line, column,
// related); line and column are None when the message carries no position;
// related is the (line, column) of a second place the finding concerns (a
// repeated key, a second document), or None.
#include <Python.h>

#include <cstddef>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "launcher/pipeline.hpp"
#include "python/check/values.hpp"
#include "python/pyref.hpp"

namespace velmora::check {
namespace {

using Result = std::optional<text::Failure>;

const char* kind_name(text::FailureKind kind) {
  switch (kind) {
    case text::FailureKind::not_found:
      return "not-found";
    case text::FailureKind::read:
      return "read";
    case text::FailureKind::name:
      return "name";
    case text::FailureKind::json:
      return "json";
    case text::FailureKind::yaml:
      return "yaml";
    case text::FailureKind::launch:
    case text::FailureKind::exit:
    case text::FailureKind::stopped:
      break;
  }
  return "read";  // not reached: no launch, no cancellation here
}

PyRef position_value(const std::optional<text::TextPosition>& at, bool line) {
  if (!at) return PyRef::borrow(Py_None);
  return PyRef::steal(PyLong_FromSize_t(line ? at->line : at->column));
}

// None, or the finding's tuple; null with an exception set.
PyObject* to_python(const Result& result) {
  if (!result) Py_RETURN_NONE;
  PyRef kind = PyRef::steal(PyUnicode_FromString(kind_name(result->kind)));
  // The message is UTF-8; a system error text in another encoding keeps its
  // bytes rather than failing the call.
  PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(
      result->text.data(), static_cast<Py_ssize_t>(result->text.size()), "surrogateescape"));
  PyRef line = position_value(result->position, true);
  PyRef column = position_value(result->position, false);
  PyRef related =
      result->related
          ? PyRef::steal(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(result->related->line),
                                       static_cast<Py_ssize_t>(result->related->column)))
          : PyRef::borrow(Py_None);
  if (!kind || !message || !line || !column || !related) return nullptr;
  return PyTuple_Pack(5, kind.get(), message.get(), line.get(), column.get(), related.get());
}

// A str argument as UTF-8 (a view of the object's own buffer); empty with an
// exception set: TypeError, or UnicodeEncodeError for lone surrogates, as
// train_from_config raises.
std::optional<std::string_view> utf8_of(PyObject* text, const char* what) {
  if (!PyUnicode_Check(text)) {
    PyErr_Format(PyExc_TypeError, "%s must be str, not %.100s", what, Py_TYPE(text)->tp_name);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) return std::nullopt;
  return std::string_view(data, static_cast<std::size_t>(size));
}

// Runs `body` without the interpreter lock; false when it ran out of memory.
template <class Body>
bool without_lock(Body&& body) noexcept {
  const ReleasedLock released;
  try {
    body();
    return true;
  } catch (...) {  // allocation failures (bad_alloc, length_error)
    return false;
  }
}

Result check_one(std::string_view path) {
  return launcher::check_config_file(path, launcher::default_pipeline_services(), nullptr);
}

// check_file(path: str) -> tuple | None
PyObject* check_file(PyObject* /*module*/, PyObject* arg) {
  const std::optional<std::string_view> path = utf8_of(arg, "path");
  if (!path) return nullptr;
  Result result;
  // `arg` stays alive for the call, and so does its UTF-8 buffer.
  if (!without_lock([&] { result = check_one(*path); })) return PyErr_NoMemory();
  return to_python(result);
}

// The paths of a list as UTF-8, copied: another thread may change the list
// while the lock is released. False with an exception set.
bool paths_of(PyObject* arg, std::vector<std::string>& paths) {
  if (!PyList_Check(arg)) {
    PyErr_Format(PyExc_TypeError, "paths must be a list, not %.100s", Py_TYPE(arg)->tp_name);
    return false;
  }
  try {
    paths.reserve(static_cast<std::size_t>(PyList_GET_SIZE(arg)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(arg); ++i) {
      const std::optional<std::string_view> path = utf8_of(PyList_GET_ITEM(arg, i), "path");
      if (!path) return false;
      paths.emplace_back(*path);
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

// A new list of convert(item) for each of `items`; null with an exception set.
template <typename T, typename Convert>
PyObject* list_of(const std::vector<T>& items, Convert convert) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* item = convert(items[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// check_files(paths: list[str]) -> list[tuple | None], in input order.
PyObject* check_files(PyObject* /*module*/, PyObject* arg) {
  std::vector<std::string> paths;
  if (!paths_of(arg, paths)) return nullptr;
  std::vector<Result> results;
  const bool checked = without_lock([&] {
    results.resize(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) results[i] = check_one(paths[i]);
  });
  if (!checked) return PyErr_NoMemory();
  return list_of(results, [](const Result& result) { return to_python(result); });
}

// A file's checks with its text kept when it passes them.
struct Kept {
  Result result;
  text::ByteBuffer text;  // empty unless the file passed
  bool passed = false;
};

// check_one's finding, the file read once: a readable UTF-8 file with a
// format has its text checked as it was read; any other file (or one that
// fails its read) gets check_one's finding, which then reads it again.
Kept check_keeping(std::string_view path) {
  Kept out;
  const std::optional<launcher::DocumentFormat> format = launcher::format_of(path);
  if (format && !launcher::read_config_text(path, out.text)) {
    out.result = launcher::check_config_text(out.text.view(), *format);
    out.passed = !out.result;
    if (!out.passed) out.text = text::ByteBuffer();
    return out;
  }
  out.text = text::ByteBuffer();
  out.result = check_one(path);
  return out;
}

// The texts one read_checked call holds at most (a call stops after the
// file that reaches it): a large tree is read in turns.
constexpr std::size_t kKeptBytes = std::size_t{32} << 20;

// read_checked(paths: list[str]) -> list[bytes | tuple | None], for the first
// paths (all but when their texts grow large): a file's text when it passes
// check_file, else its finding; None for a file that failed its read yet
// passed when checked again (it changed meanwhile).
PyObject* read_checked(PyObject* /*module*/, PyObject* arg) {
  std::vector<std::string> paths;
  if (!paths_of(arg, paths)) return nullptr;
  std::vector<Kept> results;
  const bool checked = without_lock([&] {
    results.reserve(paths.size());
    std::size_t kept = 0;
    for (const std::string& path : paths) {
      results.push_back(check_keeping(path));
      kept += results.back().text.size();
      if (kept >= kKeptBytes) break;
    }
  });
  if (!checked) return PyErr_NoMemory();
  return list_of(results, [](const Kept& one) {
    return one.passed ? PyBytes_FromStringAndSize(one.text.data() == nullptr ? "" : one.text.data(),
                                                  static_cast<Py_ssize_t>(one.text.size()))
                      : to_python(one.result);
  });
}

// The (text, kind) arguments of check_text and values: a view of the text
// (bytes as they are, a str as UTF-8; the object outlives the call) and its
// format. Empty with an exception set.
struct TextArguments {
  std::string_view text;
  launcher::DocumentFormat format{};
};
std::optional<TextArguments> text_arguments(const char* name, PyObject* const* args,
                                            Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "%s() takes 2 arguments (%zd given)", name, nargs);
    return std::nullopt;
  }
  const std::optional<std::string_view> kind = utf8_of(args[1], "kind");
  if (!kind) return std::nullopt;
  TextArguments out;
  if (*kind == "json") {
    out.format = launcher::DocumentFormat::json;
  } else if (*kind == "yaml") {
    out.format = launcher::DocumentFormat::yaml;
  } else {
    PyErr_SetString(PyExc_ValueError, "kind must be 'json' or 'yaml'");
    return std::nullopt;
  }
  PyObject* text = args[0];
  if (PyBytes_Check(text)) {
    out.text =
        std::string_view(PyBytes_AS_STRING(text), static_cast<std::size_t>(PyBytes_GET_SIZE(text)));
  } else if (PyUnicode_Check(text)) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) return std::nullopt;
    out.text = std::string_view(data, static_cast<std::size_t>(size));
  } else {
    PyErr_Format(PyExc_TypeError, "text must be str or bytes, not %.100s", Py_TYPE(text)->tp_name);
    return std::nullopt;
  }
  return out;
}

// check_text(text: str | bytes, kind: str) -> tuple | None
PyObject* check_text(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  const std::optional<TextArguments> in = text_arguments("check_text", args, nargs);
  if (!in) return nullptr;
  Result result;
  if (!without_lock([&] { result = launcher::check_config_text(in->text, in->format); })) {
    return PyErr_NoMemory();
  }
  return to_python(result);
}

// values(text: str | bytes, kind: str, positions: bool | dict = True, checked:
// bool = False) -> (value, nodes, keys); without positions, nodes and keys
// are empty (most documents pass their schema and need none); a dict of
// steps lists only the nodes it names (values_of). ValueError with the
// check's message for a text the check refuses; `checked` says the text
// passed check_text already (read_checked gave it), and skips that check.
PyObject* values(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs < 2 || nargs > 4) {
    PyErr_Format(PyExc_TypeError, "values() takes 2 to 4 arguments (%zd given)", nargs);
    return nullptr;
  }
  PyObject* wanted = Py_True;
  if (nargs > 2 && !PyDict_Check(args[2])) {
    const int truth = PyObject_IsTrue(args[2]);
    if (truth < 0) return nullptr;
    wanted = truth != 0 ? Py_True : nullptr;
  } else if (nargs > 2) {
    wanted = args[2];
  }
  const int checked = nargs > 3 ? PyObject_IsTrue(args[3]) : 0;
  if (checked < 0) return nullptr;
  const std::optional<TextArguments> in = text_arguments("values", args, 2);
  if (!in) return nullptr;
  Result result;
  if (checked == 0 &&
      !without_lock([&] { result = launcher::check_config_text(in->text, in->format); })) {
    return PyErr_NoMemory();
  }
  if (result) {
    PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(
        result->text.data(), static_cast<Py_ssize_t>(result->text.size()), "surrogateescape"));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return nullptr;
  }
  return values_of(in->text, in->format, wanted);
}

PyMethodDef g_methods[] = {
    {"check_file", &check_file, METH_O,
     "check_file(path, /)\n--\n\nThe checks train_from_config runs before it launches: None, or "
     "(kind, message, line, column)."},
    {"check_files", &check_files, METH_O,
     "check_files(paths, /)\n--\n\ncheck_file for each path of a list, in order, in one call."},
    {"read_checked", &read_checked, METH_O,
     "read_checked(paths, /)\n--\n\ncheck_file for the first paths of a list, each file read "
     "once: its bytes when it passes, else its finding (None: it changed while checked)."},
    {"check_text", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&check_text)),
     METH_FASTCALL,
     "check_text(text, kind, /)\n--\n\nThe document check of a text: None, or (kind, message, "
     "line, column)."},
    {"values", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&values)), METH_FASTCALL,
     "values(text, kind, positions=True, checked=False, /)\n--\n\nA text that passes the "
     "document check as Python values: (value, nodes, keys), nodes and keys mapping paths to "
     "(line, column) (empty without positions, only those named by a dict of steps); "
     "checked skips the check it passed already."},
    {nullptr, nullptr, 0, nullptr},
};

// The distribution's version, set by CMake.
int exec_module(PyObject* module) {
  return PyModule_AddStringConstant(module, "__version__", VELMORA_CHECK_VERSION);
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "velmora_check._native",
    "Native configuration checks of velmora_check.",
    0,  // no per-module state
    g_methods,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace velmora::check

// The name the import system looks for: PyInit_ followed by "_native".
// NOLINTNEXTLINE(bugprone-reserved-identifier)
PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&velmora::check::g_module_def); }
