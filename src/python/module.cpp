// Module initialisation: claims the process for the first interpreter, builds
// the module object once and hands the cached object back afterwards.
#include "python/module.hpp"

#include <atomic>
#include <cstdint>
#include <string_view>

#include "python/error.hpp"
#include "python/train_from_config.hpp"
#include "python/trainer_config.hpp"

namespace velmora {
namespace {

constexpr std::string_view kVersion = "0.1.4";
constexpr std::string_view kModuleDoc =
    "Velmora Trainer \xE2\x80\x94 Orvek-native trainer with FF+BP cadencing and orthogonal "
    "gradient projections.";
constexpr char kSubinterpreterMessage[] =
    "Velmora native modules do not yet support subinterpreters, see "
    "https://docs.python.org/3/c-api/init.html#sub-interpreter-support";

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "velmora_trainer",
    "Optional: Python module initialization",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Never freed: the function object points at it for the life of the process.
PyMethodDef g_train_from_config_def = {
    "train_from_config",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&train_from_config_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "train_from_config(config_path, output_dir, steps, seed, base_ckpt=None)\n--\n\n"
    "Main Python entry point: train_from_config\n"
    "Loads a config file (JSON or YAML), initializes trainer, runs training loop.",
};

std::atomic<std::int64_t> g_owner_interpreter{-1};
PyObject* g_module = nullptr;  // strong reference, filled at most once

// An interned attribute name, made on first use and kept.
PyObject* interned(PyObject*& cell, std::string_view text) {
  if (cell == nullptr) {
    PyObject* name =
        checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    PyUnicode_InternInPlace(&name);
    cell = name;
  }
  return cell;
}
PyObject* g_name_attr = nullptr;
PyObject* g_all_attr = nullptr;

PyRef new_text(std::string_view text) {
  return PyRef::steal(
      checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
}

// The module's __all__ list, created when absent.
Outcome<PyRef> all_list(PyObject* module) {
  PyObject* all_name = interned(g_all_attr, "__all__");
  PyRef all = PyRef::steal(PyObject_GetAttr(module, all_name));
  if (!all) {
    ErrorValue error = ErrorValue::fetch();
    if (!PyErr_GivenExceptionMatches(error.materialise(), PyExc_AttributeError)) return error;
    PyRef list = PyRef::steal(checked(PyList_New(0)));
    if (PyObject_SetAttr(module, all_name, list.get()) < 0) return ErrorValue::fetch();
    return list;
  }
  if (!PyList_Check(all.get())) return ErrorValue::conversion_failure(all.get(), "PyList");
  return all;
}

// Appends `name` to __all__ and sets the attribute `name` to `value`.
std::optional<ErrorValue> add(PyObject* module, PyObject* name, PyObject* value) {
  Outcome<PyRef> all = all_list(module);
  if (!all) return all.take_error();
  if (PyList_Append(all.value().get(), name) < 0) {
    fatal_failure("could not append __name__ to __all__");
  }
  if (PyObject_SetAttr(module, name, value) < 0) return ErrorValue::fetch();
  return std::nullopt;
}

std::optional<ErrorValue> fill(PyObject* module) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return ErrorValue::fetch();
  PyRef function =
      PyRef::steal(PyCMethod_New(&g_train_from_config_def, module, module_name.get(), nullptr));
  module_name = PyRef();
  if (!function) return ErrorValue::fetch();

  PyRef function_name =
      PyRef::steal(PyObject_GetAttr(function.get(), interned(g_name_attr, "__name__")));
  if (!function_name) return ErrorValue::fetch();
  if (!PyUnicode_Check(function_name.get())) {
    return ErrorValue::conversion_failure(function_name.get(), "PyString");
  }
  if (auto error = add(module, function_name.get(), function.get())) return error;

  Outcome<PyObject*> config_class = trainer_config_class();
  if (!config_class) return config_class.take_error();
  if (auto error = add(module, new_text("TrainerConfig").get(), config_class.value())) return error;

  if (auto error = add(module, new_text("__version__").get(), new_text(kVersion).get()))
    return error;
  if (auto error = add(module, new_text("__doc__").get(), new_text(kModuleDoc).get())) return error;
  return std::nullopt;
}

PyObject* initialise() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1) return raise_null(ErrorValue::fetch());

  std::int64_t expected = -1;
  if (!g_owner_interpreter.compare_exchange_strong(expected, id, std::memory_order_seq_cst) &&
      expected != id) {
    return raise_null(ErrorValue::make(PyExc_ImportError, kSubinterpreterMessage));
  }

  if (g_module != nullptr) return Py_NewRef(g_module);

  PyRef module = PyRef::steal(PyModule_Create2(&g_module_def, 1013));
  if (!module) return raise_null(ErrorValue::fetch());
  if (auto error = fill(module.get())) return raise_null(std::move(*error));
  if (g_module == nullptr) g_module = module.release();
  return Py_NewRef(g_module);
}

}  // namespace

PyObject* initialise_module() {
  return guarded("module initialisation: native memory could not be allocated", initialise);
}

}  // namespace velmora
