// The TrainerConfig class: a heap type holding the five values of one
// training request natively, with read-write attributes and a fixed repr.
#include "python/trainer_config.hpp"

#include <array>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "launcher/training_request.hpp"
#include "python/binding.hpp"
#include "text/format.hpp"
#include "text/quoted_text.hpp"

namespace velmora {
namespace {

// Instance layout: the object header, the five fields, whether they were
// constructed, then the borrow flag (0 free, -1 held by an assignment, n > 0
// held by n readers). The flag guards against re-entrant use on the
// calling thread, not against threads. The interpreter allocates the instance
// zero-filled; the fields are constructed in place by TrainerConfig.__new__.
// An instance made by another __new__ (object.__new__ put in its place) keeps
// `constructed` false: its fields are never touched.
struct TrainerConfigObject {  // NOLINT(cppcoreguidelines-pro-type-member-init)
  PyObject_HEAD
  launcher::TrainingRequest fields;
  bool constructed;
  Py_ssize_t borrow;
};

TrainerConfigObject* as_config(PyObject* self) {
  return reinterpret_cast<TrainerConfigObject*>(self);
}

constexpr char kMutablyBorrowed[] = "Already mutably borrowed";
constexpr char kNotConstructed[] =
    "TrainerConfig instance was not created by TrainerConfig.__new__() and holds no values";
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

// --- attributes --------------------------------------------------------------

// Stores a converted value, copying texts once.
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

// Attribute I is row I of the request table: its name, its member, and its
// conversion (the copy-free one: the value is copied once, when stored).
template <std::size_t I>
struct Attribute {
  static constexpr const auto& row = std::get<I>(launcher::kRequestFields);
  using Value = typename std::remove_cvref_t<decltype(row)>::Value;
  using Conversion = binding::Conversion<Value>;
  static constexpr std::string_view name = row.name;
  static Value& field(launcher::TrainingRequest& r) { return r.*row.member; }
  static const Value& field_of(const launcher::TrainingRequest& r) { return r.*row.member; }
  static Outcome<typename Conversion::View> convert(PyObject* v) { return Conversion::view(v); }
  static PyObject* read(const launcher::TrainingRequest& r) {
    return binding::to_python(r.*row.member);
  }
};

template <class Attribute>
PyObject* get_attribute(PyObject* self, void*) {
  TrainerConfigObject* object = as_config(self);
  if (!object->constructed) return raise_null(ErrorValue::make(PyExc_TypeError, kNotConstructed));
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
  if (!object->constructed) {
    return raise_minus_one(ErrorValue::make(PyExc_TypeError, kNotConstructed));
  }
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

// One descriptor a row, then the terminator. Names are NUL-terminated: the
// table's names view string literals.
template <std::size_t... I>
constexpr std::array<PyGetSetDef, sizeof...(I) + 1> descriptors(std::index_sequence<I...>) {
  return {descriptor<Attribute<I>>()..., PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr}};
}
auto g_getset = descriptors(std::make_index_sequence<launcher::kRequestFieldCount>());

// --- construction and deallocation -------------------------------------------

template <std::size_t I>
using View = typename Attribute<I>::Conversion::View;

std::string owned(std::string_view text) { return std::string(text); }
std::optional<std::string> owned(std::optional<std::string_view> text) {
  return text ? std::optional<std::string>(std::in_place, *text) : std::nullopt;
}
std::uint64_t owned(std::uint64_t value) { return value; }
std::uint32_t owned(std::uint32_t value) { return value; }

// Converts the slots in parameter order (the first failure ends it), then
// makes the instance and stores the values.
template <std::size_t... I>
PyObject* construct_from(PyTypeObject* type, const binding::Slots& slots,
                         std::index_sequence<I...>) {
  std::tuple<View<I>...> values;
  std::optional<ErrorValue> failure;
  const auto convert = [&](auto& out, PyObject* slot, std::string_view name, auto converted) {
    if (!converted) {
      failure = binding::wrap_argument_error(name, converted.take_error());
      return false;
    }
    out = converted.value();
    (void)slot;
    return true;
  };
  if (!(convert(std::get<I>(values), slots[I], Attribute<I>::name,
                Attribute<I>::convert(slots[I])) &&
        ...)) {
    return raise_null(std::move(*failure));
  }

  allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return raise_null(ErrorValue::fetch());
  TrainerConfigObject* object = as_config(self);
  // The table's rows are the record's members in order: each text is copied
  // straight into its member.
  new (&object->fields) launcher::TrainingRequest{owned(std::get<I>(values))...};
  object->constructed = true;
  object->borrow = 0;
  return self;
}

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  binding::Slots slots;
  if (auto error = binding::bind_classic(binding::kTrainerConfigNew, args, kwargs, slots)) {
    return raise_null(std::move(*error));
  }
  return construct_from(type, slots, std::make_index_sequence<launcher::kRequestFieldCount>());
}

PyObject* trainer_config_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded("out of native memory constructing a TrainerConfig",
                 [&] { return construct(type, args, kwargs); });
}

void trainer_config_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if (as_config(self)->constructed) as_config(self)->fields.~TrainingRequest();
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

// --- representation ----------------------------------------------------------

// TrainerConfig(name=value, ...): paths raw in single quotes, numbers in
// decimal, the optional text as Some("quoted") or None. The literal text
// between two values (a closing quote, ", ", the next name, "=", an opening
// quote) is made at compile time, so each field costs two appends.
template <std::size_t I>
constexpr bool quoted_raw = std::is_same_v<typename Attribute<I>::Value, std::string>;

template <std::size_t I>
constexpr std::size_t literal_size() {
  std::size_t size = (I == 0 ? std::string_view("TrainerConfig(").size() : 2) +
                     Attribute<I>::name.size() + 1 + (quoted_raw<I> ? 1 : 0);
  if constexpr (I > 0) size += quoted_raw<I - 1> ? 1 : 0;
  return size;
}

// The literal text before field I's value.
template <std::size_t I>
constexpr std::array<char, literal_size<I>()> make_literal() {
  std::array<char, literal_size<I>()> out{};
  std::size_t at = 0;
  const auto put = [&](std::string_view piece) {
    for (char c : piece) out[at++] = c;
  };
  if constexpr (I > 0) put(quoted_raw<I - 1> ? "', " : ", ");
  if constexpr (I == 0) put("TrainerConfig(");
  put(Attribute<I>::name);
  put(quoted_raw<I> ? "='" : "=");
  return out;
}
template <std::size_t I>
constexpr auto kLiteral = make_literal<I>();

void append_value(std::string& out, const std::string& text) { out.append(text); }
void append_value(std::string& out, std::uint64_t value) { text::append_decimal(out, value); }
void append_value(std::string& out, std::uint32_t value) { text::append_decimal(out, value); }
void append_value(std::string& out, const std::optional<std::string>& text) {
  if (!text) {
    out.append("None");
    return;
  }
  out.append("Some(");
  text::append_quoted_text(out, *text);
  out.append(")");
}

std::size_t value_size(const std::string& text) { return text.size(); }
std::size_t value_size(const std::optional<std::string>& text) {
  return text ? text->size() + 8 : 4;
}
std::size_t value_size(std::uint64_t) { return 20; }

template <std::size_t... I>
std::string represent(const launcher::TrainingRequest& fields, std::index_sequence<I...>) {
  constexpr std::size_t kLast = sizeof...(I) - 1;
  std::string text;
  text.reserve((kLiteral<I>.size() + ...) + (value_size(Attribute<I>::field_of(fields)) + ...) + 2);
  ((text.append(kLiteral<I>.data(), kLiteral<I>.size()),
    append_value(text, Attribute<I>::field_of(fields))),
   ...);
  text.append(quoted_raw<kLast> ? "')" : ")");
  return text;
}

PyObject* representation(PyObject* self) {
  TrainerConfigObject* object = as_config(self);
  if (!object->constructed) {
    return binding::to_python(std::string_view("<TrainerConfig without values>"));
  }
  if (object->borrow == -1) {
    return raise_null(ErrorValue::make(PyExc_RuntimeError, kMutablyBorrowed));
  }
  SharedHold hold(object);
  const std::string text =
      represent(object->fields, std::make_index_sequence<launcher::kRequestFieldCount>());
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
    {Py_tp_getset, g_getset.data()},
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
