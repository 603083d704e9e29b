// The TrainerConfig class: a native record of one training request.
#pragma once

#include <Python.h>

#include "python/error.hpp"

namespace velmora {

// The class object (borrowed; kept for the life of the process), made on the
// first successful call; or the RuntimeError "An error occurred while
// initializing class TrainerConfig" with the failure as its __cause__.
Outcome<PyObject*> trainer_config_class();

}  // namespace velmora
