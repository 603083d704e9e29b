// The TrainerConfig class: a heap type holding the five values of one
// training request natively, with read-write attributes and a fixed repr.
#include "python/trainer_config.hpp"

#include <charconv>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "launcher/training_request.hpp"
#include "python/binding.hpp"
#include "text/quoted_text.hpp"

namespace velmora {
namespace {

// Instance layout: the object header, the five fields, then the borrow flag
// (0 free, -1 held by an assignment, n > 0 held by n readers). The flag
// guards against re-entrant use on the calling thread, not against threads.
// The interpreter allocates it; the fields are constructed in place.
struct TrainerConfigObject {  // NOLINT(cppcoreguidelines-pro-type-member-init)
  PyObject_HEAD
  TrainingRequest fields;
  Py_ssize_t borrow;
};

TrainerConfigObject* as_config(PyObject* self) {
  return reinterpret_cast<TrainerConfigObject*>(self);
}

constexpr char kMutablyBorrowed[] = "Already mutably borrowed";
constexpr char kBorrowed[] = "Already borrowed";

// A shared hold for a reader or repr: the flag counts readers and the
// instance is kept alive while the hold lasts.
class SharedHold {
 public:
  explicit SharedHold(TrainerConfigObject* object) noexcept : object_(object) {
    ++object_->borrow;
    Py_INCREF(object_);
  }
  ~SharedHold() {
    --object_->borrow;
    Py_DECREF(object_);
  }
  SharedHold(const SharedHold&) = delete;
  SharedHold& operator=(const SharedHold&) = delete;

 private:
  TrainerConfigObject* object_;
};

// --- conversions -------------------------------------------------------------

// The string conversion without its copy: the UTF-8 text of a str argument,
// valid while the argument lives (the str caches it). Failures are exactly the
// string conversion's; the one copy is made when the value is stored.
Outcome<std::string_view> convert_text(PyObject* object) {
  if (!PyType_HasFeature(Py_TYPE(object), Py_TPFLAGS_UNICODE_SUBCLASS)) {
    return binding::convert_string(object).take_error();
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) return ErrorValue::fetch();
  return std::string_view(data, static_cast<std::size_t>(size));
}

// The optional string conversion, likewise: absent for a missing argument or None.
Outcome<std::optional<std::string_view>> convert_optional_text(PyObject* object) {
  if (object == nullptr || object == Py_None) return std::optional<std::string_view>();
  Outcome<std::string_view> text = convert_text(object);
  if (!text) return text.take_error();
  return std::optional<std::string_view>(text.value());
}

void store(std::string& field, std::string_view text) { field.assign(text); }
void store(std::optional<std::string>& field, std::optional<std::string_view> text) {
  if (!text) {
    field.reset();
  } else if (field) {
    field->assign(*text);
  } else {
    field.emplace(*text);
  }
}
void store(std::uint64_t& field, std::uint64_t value) { field = value; }
void store(std::uint32_t& field, std::uint32_t value) { field = value; }

// --- attributes --------------------------------------------------------------

// One trait per attribute: its name, its field, its conversion and how it is
// shown to Python.
struct ConfigPath {
  static constexpr std::string_view name = "config_path";
  static std::string& field(TrainingRequest& r) { return r.config_path; }
  static Outcome<std::string_view> convert(PyObject* v) { return convert_text(v); }
  static PyObject* read(const TrainingRequest& r) {
    return binding::to_python(std::string_view(r.config_path));
  }
};
struct OutputDir {
  static constexpr std::string_view name = "output_dir";
  static std::string& field(TrainingRequest& r) { return r.output_dir; }
  static Outcome<std::string_view> convert(PyObject* v) { return convert_text(v); }
  static PyObject* read(const TrainingRequest& r) {
    return binding::to_python(std::string_view(r.output_dir));
  }
};
struct Steps {
  static constexpr std::string_view name = "steps";
  static std::uint64_t& field(TrainingRequest& r) { return r.steps; }
  static Outcome<std::uint64_t> convert(PyObject* v) { return binding::convert_u64(v); }
  static PyObject* read(const TrainingRequest& r) { return binding::to_python(r.steps); }
};
struct Seed {
  static constexpr std::string_view name = "seed";
  static std::uint32_t& field(TrainingRequest& r) { return r.seed; }
  static Outcome<std::uint32_t> convert(PyObject* v) { return binding::convert_u32(v); }
  static PyObject* read(const TrainingRequest& r) {
    return binding::to_python(static_cast<std::uint64_t>(r.seed));
  }
};
struct BaseCkpt {
  static constexpr std::string_view name = "base_ckpt";
  static std::optional<std::string>& field(TrainingRequest& r) { return r.base_ckpt; }
  static Outcome<std::optional<std::string_view>> convert(PyObject* v) {
    return convert_optional_text(v);
  }
  static PyObject* read(const TrainingRequest& r) { return binding::to_python(r.base_ckpt); }
};

template <class Attribute>
PyObject* get_attribute(PyObject* self, void*) {
  TrainerConfigObject* object = as_config(self);
  if (object->borrow == -1) {
    return raise_null(ErrorValue::make(PyExc_RuntimeError, kMutablyBorrowed));
  }
  SharedHold hold(object);
  return Attribute::read(object->fields);
}

template <class Attribute>
int set_attribute_body(PyObject* self, PyObject* value) {
  if (value == nullptr) {
    return raise_minus_one(ErrorValue::make(PyExc_AttributeError, "can't delete attribute"));
  }
  // The value is converted before the instance is looked at: a conversion may
  // run Python code (__index__), which may itself use this instance.
  auto converted = Attribute::convert(value);
  if (!converted) {
    return raise_minus_one(binding::wrap_argument_error(Attribute::name, converted.take_error()));
  }
  TrainerConfigObject* object = as_config(self);
  if (object->borrow != 0) return raise_minus_one(ErrorValue::make(PyExc_RuntimeError, kBorrowed));
  object->borrow = -1;
  Py_INCREF(self);
  store(Attribute::field(object->fields), converted.value());  // replaces the old value
  object->borrow = 0;
  Py_DECREF(self);
  return 0;
}

template <class Attribute>
int set_attribute(PyObject* self, PyObject* value, void*) {
  return guarded("out of native memory assigning a TrainerConfig attribute",
                 [&] { return set_attribute_body<Attribute>(self, value); });
}

template <class Attribute>
constexpr PyGetSetDef descriptor() {
  return {Attribute::name.data(), &get_attribute<Attribute>, &set_attribute<Attribute>, "",
          nullptr};
}

// Names are NUL-terminated: the string_views above view string literals.
PyGetSetDef g_getset[] = {
    descriptor<ConfigPath>(), descriptor<OutputDir>(),
    descriptor<Steps>(),      descriptor<Seed>(),
    descriptor<BaseCkpt>(),   {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- construction and deallocation -------------------------------------------

// The converted arguments of a construction; the texts view the arguments.
struct Arguments {
  std::string_view config_path;
  std::string_view output_dir;
  std::uint64_t steps = 0;
  std::uint32_t seed = 0;
  std::optional<std::string_view> base_ckpt;
};

template <class Attribute, class T>
bool convert_argument(T& out, PyObject* slot, std::optional<ErrorValue>& failure) {
  auto converted = Attribute::convert(slot);
  if (!converted) {
    failure = binding::wrap_argument_error(Attribute::name, converted.take_error());
    return false;
  }
  out = converted.value();
  return true;
}

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  binding::Slots slots;
  if (auto error = binding::bind_classic(binding::kTrainerConfigNew, args, kwargs, slots)) {
    return raise_null(std::move(*error));
  }
  // Convert in parameter order; the first failure ends the call.
  Arguments a;
  std::optional<ErrorValue> failure;
  if (!(convert_argument<ConfigPath>(a.config_path, slots[0], failure) &&
        convert_argument<OutputDir>(a.output_dir, slots[1], failure) &&
        convert_argument<Steps>(a.steps, slots[2], failure) &&
        convert_argument<Seed>(a.seed, slots[3], failure) &&
        convert_argument<BaseCkpt>(a.base_ckpt, slots[4], failure))) {
    return raise_null(std::move(*failure));
  }

  allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return raise_null(ErrorValue::fetch());
  // The texts are copied straight into the record: one copy each.
  TrainerConfigObject* object = as_config(self);
  new (&object->fields) TrainingRequest{
      std::string(a.config_path), std::string(a.output_dir), a.steps, a.seed,
      a.base_ckpt ? std::optional<std::string>(std::in_place, *a.base_ckpt) : std::nullopt};
  object->borrow = 0;
  return self;
}

PyObject* trainer_config_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded("out of native memory constructing a TrainerConfig",
                 [&] { return construct(type, args, kwargs); });
}

void trainer_config_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_config(self)->fields.~TrainingRequest();
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

// --- representation ----------------------------------------------------------

void append_decimal(std::string& out, std::uint64_t value) {
  char digits[20];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

PyObject* representation(PyObject* self) {
  TrainerConfigObject* object = as_config(self);
  if (object->borrow == -1) {
    return raise_null(ErrorValue::make(PyExc_RuntimeError, kMutablyBorrowed));
  }
  SharedHold hold(object);
  const TrainingRequest& f = object->fields;

  constexpr std::string_view kHead = "TrainerConfig(config_path='";
  std::string text;
  text.reserve(kHead.size() + f.config_path.size() + f.output_dir.size() + 100 +
               (f.base_ckpt ? f.base_ckpt->size() + 8 : 0));
  text.append(kHead).append(f.config_path);
  text.append("', output_dir='").append(f.output_dir);
  text.append("', steps=");
  append_decimal(text, f.steps);
  text.append(", seed=");
  append_decimal(text, f.seed);
  text.append(", base_ckpt=");
  if (f.base_ckpt) {
    text.append("Some(");
    unicode::append_quoted_text(text, *f.base_ckpt);
    text.append(")");
  } else {
    text.append("None");
  }
  text.append(")");
  return binding::to_python(std::string_view(text));
}

PyObject* trainer_config_repr(PyObject* self) {
  return guarded("out of native memory building a TrainerConfig repr",
                 [&] { return representation(self); });
}

// --- the class object --------------------------------------------------------

constexpr char kClassDoc[] =
    "TrainerConfig(config_path, output_dir, steps, seed, base_ckpt=None)\n--\n\n"
    "Python-facing configuration struct for training.\n"
    "Serializable to/from JSON for easy YAML \xE2\x86\x92 JSON conversion in Python.";

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(&trainer_config_new)},
    {Py_tp_repr, reinterpret_cast<void*>(&trainer_config_repr)},
    {Py_tp_getset, g_getset},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(&trainer_config_dealloc)},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "builtins.TrainerConfig",
    static_cast<int>(sizeof(TrainerConfigObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    g_slots,
};

// Kept for the life of the process once made; never released.
PyObject* g_class = nullptr;

}  // namespace

Outcome<PyObject*> trainer_config_class() {
  if (g_class != nullptr) return g_class;
  PyObject* made = PyType_FromSpec(&g_spec);
  if (made == nullptr) {
    ErrorValue cause = ErrorValue::fetch();
    ErrorValue error = ErrorValue::make(PyExc_RuntimeError,
                                        "An error occurred while initializing class TrainerConfig");
    PyException_SetCause(error.materialise(), Py_NewRef(cause.materialise()));
    return error;
  }
  g_class = made;
  return g_class;
}

}  // namespace velmora
