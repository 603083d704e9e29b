// The module's single export.
#include "python/module.hpp"

PyMODINIT_FUNC PyInit_velmora_trainer(void) { return velmora::initialise_module(); }
