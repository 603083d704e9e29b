// Python entry point of train_from_config (METH_FASTCALL | METH_KEYWORDS).
#pragma once

#include <Python.h>

namespace velmora {

// Binds and converts the arguments, runs the training request, returns None
// or raises.
PyObject* train_from_config_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);

}  // namespace velmora
