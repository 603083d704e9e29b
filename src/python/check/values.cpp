// values(text, kind): a checked document as Python values, with where each
// node and each mapping key starts, for checks of meaning made in Python (a
// schema). The scalars are typed by the check's own readers.
#include "python/check/values.hpp"

#include <charconv>
#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "documents/values/values.hpp"

namespace velmora::check {
namespace {

using documents::Scalar;
using documents::ScalarKind;
using documents::TextPosition;

PyObject* new_text(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

// Which positions a reading notes: below a node, all (Py_True), none (null)
// or those a dict of steps names, each step's entry again one of these.
// Borrowed: the caller's object outlives the reading.
using Wanted = PyObject*;

// What of `wanted` applies below its node's child at `step`; null with an
// exception set when the lookup fails (`failed`).
Wanted wanted_below(Wanted wanted, PyObject* step, bool& failed) {
  if (wanted == nullptr || wanted == Py_True) return wanted;
  PyObject* below = PyDict_GetItemWithError(wanted, step);
  failed = below == nullptr && PyErr_Occurred() != nullptr;
  return below == Py_True || (below != nullptr && PyDict_Check(below)) ? below : nullptr;
}

// Builds the value tree, the node positions and the key positions. Every
// method returns false with a Python exception set when the interpreter
// fails; the reading then stops.
class Builder final : public documents::ValueSink {
 public:
  // `wanted`: the positions to note (null: none, the paths then not kept).
  explicit Builder(Wanted wanted) : positions_(wanted != nullptr), wanted_(wanted) {}

  bool ready() {
    nodes_ = PyRef::steal(PyDict_New());
    keys_ = PyRef::steal(PyDict_New());
    return nodes_ && keys_;
  }

  bool scalar(const Scalar& value, TextPosition at, std::string_view anchor) override {
    if (in_key_position())
      return key(value.kind == ScalarKind::string ? value.text : value.written, at);
    PyRef object = PyRef::steal(to_python(value));
    return object && bind(anchor, object) && place(std::move(object), at, false);
  }

  bool begin(bool mapping, TextPosition at, std::string_view anchor) override {
    PyRef object = PyRef::steal(mapping ? PyDict_New() : PyList_New(0));
    if (!object || !bind(anchor, object)) return false;
    PyObject* container = object.get();
    Wanted below = nullptr;
    if (!place(std::move(object), at, true, &below)) return false;
    frames_.push_back({container, mapping, PyRef(), below});
    return true;
  }

  bool end() override {
    if (frames_.empty()) return true;
    // Every open collection but the root has its step on the path.
    if (frames_.size() > 1 && positions_) path_.pop_back();
    frames_.pop_back();
    return true;
  }

  bool alias(std::string_view anchor, TextPosition at) override {
    const auto found = anchors_.find(std::string(anchor));
    if (found == anchors_.end()) {
      PyErr_SetString(PyExc_ValueError, "an alias names no anchor");
      return false;
    }
    PyObject* target = found->second.get();
    if (in_key_position()) {
      // A key is known by its text: an anchored string's value, else the alias as written.
      if (PyUnicode_Check(target)) return key_object(PyRef::borrow(target), at);
      return key("*" + std::string(anchor), at);
    }
    return place(PyRef::borrow(target), at, false);
  }

  PyObject* result() {
    if (!root_) {
      PyErr_SetString(PyExc_ValueError, "the document holds no value");
      return nullptr;
    }
    return PyTuple_Pack(3, root_.get(), nodes_.get(), keys_.get());
  }

 private:
  struct Frame {
    PyObject* container;  // borrowed: the tree holds it
    bool mapping;
    PyRef key;      // a mapping's key waiting for its value
    Wanted wanted;  // the positions noted below it
  };

  bool in_key_position() const {
    return !frames_.empty() && frames_.back().mapping && !frames_.back().key;
  }

  static PyObject* to_python(const Scalar& value) {
    switch (value.kind) {
      case ScalarKind::null:
        Py_RETURN_NONE;
      case ScalarKind::boolean:
        return PyBool_FromLong(value.flag ? 1 : 0);
      case ScalarKind::integer: {
        // Most fit in 64 bits; the others (JSON integers have any size) are
        // read from their digits.
        long long small = 0;
        const char* end = value.text.data() + value.text.size();
        const auto [at, failed] = std::from_chars(value.text.data(), end, small);
        if (failed == std::errc() && at == end) return PyLong_FromLongLong(small);
        const std::string digits(value.text);
        return PyLong_FromString(digits.c_str(), nullptr, 10);
      }
      case ScalarKind::floating:
        return PyFloat_FromDouble(value.number);
      case ScalarKind::string:
        break;
    }
    return new_text(value.text);
  }

  bool bind(std::string_view anchor, const PyRef& object) {
    if (!anchor.empty()) anchors_[std::string(anchor)] = PyRef::borrow(object.get());
    return true;
  }

  // (line, column); built directly, as every node of a document needs one.
  static PyObject* position(TextPosition at) {
    PyRef line = PyRef::steal(PyLong_FromSize_t(at.line));
    PyRef column = PyRef::steal(PyLong_FromSize_t(at.column));
    if (!line || !column) return nullptr;
    PyObject* pair = PyTuple_New(2);
    if (pair == nullptr) return nullptr;
    PyTuple_SET_ITEM(pair, 0, line.release());
    PyTuple_SET_ITEM(pair, 1, column.release());
    return pair;
  }

  // The current path with `last` added, as a tuple.
  PyObject* path_with(PyObject* last) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(path_.size()) + (last ? 1 : 0));
    if (tuple == nullptr) return nullptr;
    for (std::size_t i = 0; i < path_.size(); ++i)
      PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), path_[i].new_reference());
    if (last) PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(path_.size()), Py_NewRef(last));
    return tuple;
  }

  bool note(PyObject* table, PyObject* last, TextPosition at) {
    PyRef path = PyRef::steal(path_with(last));
    PyRef where = PyRef::steal(position(at));
    return path && where && PyDict_SetItem(table, path.get(), where.get()) == 0;
  }

  bool key(std::string_view text, TextPosition at) {
    PyRef object = PyRef::steal(new_text(text));
    return object && key_object(std::move(object), at);
  }
  bool key_object(PyRef object, TextPosition at) {
    bool failed = false;
    if (wanted_below(frames_.back().wanted, object.get(), failed) != nullptr) {
      if (!note(keys_.get(), object.get(), at)) return false;
    } else if (failed) {
      return false;
    }
    frames_.back().key = std::move(object);
    return true;
  }

  // Puts a value node in its parent (or at the root) and notes its position
  // when wanted; the step to a collection that `opens` stays on the path until
  // it ends, and `below` is then what is wanted inside it.
  bool place(PyRef object, TextPosition at, bool opens, Wanted* below = nullptr) {
    PyRef step;
    if (frames_.empty()) {
      if (positions_ && !note(nodes_.get(), nullptr, at)) return false;  // on every path
      root_ = PyRef::borrow(object.get());
      if (below != nullptr) *below = wanted_;
      return true;
    }
    Frame& parent = frames_.back();
    if (parent.mapping) {
      step = std::move(parent.key);
      if (PyDict_SetItem(parent.container, step.get(), object.get()) != 0) return false;
    } else {
      if (positions_) {
        step = PyRef::steal(PyLong_FromSsize_t(PyList_GET_SIZE(parent.container)));
        if (!step) return false;
      }
      if (PyList_Append(parent.container, object.get()) != 0) return false;
    }
    if (!positions_) return true;  // no path is kept without positions
    bool failed = false;
    const Wanted inside = wanted_below(parent.wanted, step.get(), failed);
    if (failed || (inside != nullptr && !note(nodes_.get(), step.get(), at))) return false;
    if (below != nullptr) *below = inside;
    if (opens) path_.push_back(std::move(step));
    return true;
  }

  bool positions_;
  Wanted wanted_;
  std::vector<Frame> frames_;
  std::vector<PyRef> path_;  // the steps to the innermost open collection
  std::map<std::string, PyRef> anchors_;
  PyRef root_;
  PyRef nodes_;
  PyRef keys_;
};

}  // namespace

PyObject* values_of(std::string_view text, launcher::DocumentFormat format, PyObject* wanted) {
  Builder builder(wanted);
  if (!builder.ready()) return nullptr;
  const documents::ReadValues read = format == launcher::DocumentFormat::json
                                         ? documents::read_json_values(text, builder)
                                         : documents::read_yaml_values(text, builder);
  switch (read) {
    case documents::ReadValues::done:
      return builder.result();
    case documents::ReadValues::stopped:
      return nullptr;
    case documents::ReadValues::no_memory:
      return PyErr_NoMemory();
    case documents::ReadValues::malformed:
      break;
  }
  PyErr_SetString(PyExc_ValueError, "the text is not a document the check accepts");
  return nullptr;
}

}  // namespace velmora::check
