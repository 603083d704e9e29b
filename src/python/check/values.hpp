// values(text, kind) of velmora_check._native.
#pragma once

#include <Python.h>

#include <string_view>

#include "launcher/pipeline.hpp"
#include "python/pyref.hpp"

namespace velmora::check {

// (value, nodes, keys) for a text that passed its document check: the
// document as Python values; nodes maps each node's path (a tuple of keys and
// indexes, () for the root) to its (line, column); keys maps the path of each
// mapping entry to its key's (line, column). Nodes reached through an alias
// are listed at the alias only. `wanted` says which are listed: null none
// (both maps stay empty), Py_True all, or a dict of the steps to the nodes
// wanted, each step's entry again Py_True (the node and all below it) or
// such a dict; the nodes on the way and the root are listed too.
// Null with an exception set on failure
// (ValueError for a text the check refuses).
PyObject* values_of(std::string_view text, launcher::DocumentFormat format, PyObject* wanted);

}  // namespace velmora::check
