// Module initialisation.
#pragma once

#include <Python.h>

namespace velmora {

// Body of PyInit_velmora_trainer: a new reference to the module, or null with
// an exception set.
PyObject* initialise_module();

}  // namespace velmora
