// Error values and text rendering, checked where Python code cannot reach them.
#include <Python.h>
#include <gtest/gtest.h>

#include <string>

#include "python/error.hpp"

using velmora::ErrorValue;
using velmora::PyRef;

namespace {

// Runs Python statements in a fresh namespace and returns it.
PyRef run(const char* code) {
  PyRef globals = PyRef::steal(PyDict_New());
  PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
  PyRef result = PyRef::steal(PyRun_String(code, Py_file_input, globals.get(), globals.get()));
  if (!result) PyErr_Print();
  EXPECT_TRUE(result) << code;
  return globals;
}

PyObject* lookup(const PyRef& globals, const char* name) {
  return PyDict_GetItemString(globals.get(), name);  // borrowed
}

std::string utf8(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  return data ? std::string(data, size) : std::string("<not utf-8>");
}

// Takes the pending exception and returns (class name, str(exception), len(args)).
struct Raised {
  std::string type;
  std::string message;
  Py_ssize_t arg_count;
};
Raised take_raised() {
  PyRef exception = PyRef::steal(PyErr_GetRaisedException());
  EXPECT_TRUE(exception);
  if (!exception) return {};
  PyRef args = PyRef::steal(PyObject_GetAttrString(exception.get(), "args"));
  return {Py_TYPE(exception.get())->tp_name, velmora::render_text(exception.get()),
          PyTuple_Size(args.get())};
}

TEST(ErrorValueRaise, DeferredBecomesOneArgumentException) {
  struct Case {
    PyObject* cls;
    const char* message;
    const char* type;
  } cases[] = {
      {PyExc_TypeError, "bad call", "TypeError"},
      {PyExc_FileNotFoundError, "Config file not found: x", "FileNotFoundError"},
      {PyExc_OSError, "Failed to read config: boom", "OSError"},
      {PyExc_ValueError, "", "ValueError"},
      {PyExc_RuntimeError, "caf\xC3\xA9", "RuntimeError"},
  };
  for (const Case& c : cases) {
    ErrorValue::make(c.cls, c.message).raise();
    ASSERT_TRUE(PyErr_Occurred());
    Raised raised = take_raised();
    EXPECT_EQ(raised.type, c.type);
    EXPECT_EQ(raised.message, c.message);
    EXPECT_EQ(raised.arg_count, 1);
  }
  EXPECT_FALSE(PyErr_Occurred());
}

TEST(ErrorValueRaise, NonExceptionClassRaisesTypeError) {
  ErrorValue::make(reinterpret_cast<PyObject*>(&PyLong_Type), "ignored").raise();
  Raised raised = take_raised();
  EXPECT_EQ(raised.type, "TypeError");
  EXPECT_EQ(raised.message, "exceptions must derive from BaseException");
}

TEST(ErrorValueRaise, OsErrorFieldsStayNone) {
  ErrorValue error = ErrorValue::make(PyExc_FileNotFoundError, "Config file not found: a");
  PyObject* exception = error.materialise();
  for (const char* field : {"errno", "strerror", "filename"}) {
    PyRef value = PyRef::steal(PyObject_GetAttrString(exception, field));
    EXPECT_EQ(value.get(), Py_None) << field;
  }
}

TEST(ErrorValueConversion, MessageNamesQualifiedType) {
  PyRef ns =
      run("class Outer:\n    class Inner: pass\nvalues = [b'x', 1.5, None, Outer.Inner()]\n");
  const char* expected[] = {
      "'bytes' object cannot be converted to 'PyString'",
      "'float' object cannot be converted to 'PyString'",
      "'NoneType' object cannot be converted to 'PyString'",
      "'Outer.Inner' object cannot be converted to 'PyString'",
  };
  PyObject* values = lookup(ns, "values");
  for (Py_ssize_t i = 0; i < 4; ++i) {
    ErrorValue error = ErrorValue::conversion_failure(PyList_GET_ITEM(values, i), "PyString");
    EXPECT_TRUE(error.is_deferred());
    EXPECT_EQ(error.render(), expected[i]);
    EXPECT_FALSE(error.is_deferred());
  }
}

TEST(ErrorValueTakeFetch, NothingPending) {
  EXPECT_FALSE(ErrorValue::take().has_value());
  ErrorValue fetched = ErrorValue::fetch();
  EXPECT_EQ(fetched.render(), "attempted to fetch exception but none was set");
  EXPECT_EQ(Py_TYPE(fetched.materialise()), reinterpret_cast<PyTypeObject*>(PyExc_SystemError));
  EXPECT_FALSE(PyErr_Occurred());
}

TEST(ErrorValueTakeFetch, TakenExceptionIsPassedOnUnchanged) {
  PyErr_SetString(PyExc_KeyError, "k");
  auto taken = ErrorValue::take();
  ASSERT_TRUE(taken.has_value());
  EXPECT_FALSE(PyErr_Occurred());
  PyObject* original = Py_NewRef(taken->materialise());
  std::move(*taken).raise();
  PyObject* raised = PyErr_GetRaisedException();
  EXPECT_EQ(raised, original);
  Py_XDECREF(raised);
  Py_DECREF(original);
}

TEST(ErrorValueMaterialise, IsStableAndRecordsHandledContext) {
  ErrorValue error = ErrorValue::make(PyExc_ValueError, "v");
  PyObject* first = error.materialise();
  EXPECT_EQ(error.materialise(), first);
  PyRef cause = PyRef::steal(PyException_GetContext(first));
  EXPECT_FALSE(cause);  // nothing was being handled
}

TEST(ErrorValueDrop, LeavesPendingExceptionAlone) {
  PyErr_SetString(PyExc_KeyError, "pending");
  { ErrorValue dropped = ErrorValue::make(PyExc_ValueError, "never raised"); }
  Raised raised = take_raised();
  EXPECT_EQ(raised.type, "KeyError");
}

TEST(RenderText, TextsAndFallbacks) {
  PyRef ns =
      run("import sys\n"
          "seen = []\n"
          "sys.unraisablehook = lambda u: seen.append(type(u.exc_value).__name__)\n"
          "class Loud:\n"
          "    def __str__(self): raise ZeroDivisionError('no')\n"
          "class NotText:\n"
          "    def __str__(self): return 42\n"
          "values = ['plain', 'a\\ud800b', '\\udfff\\udfff', Loud(), NotText(), 12]\n");
  const std::string fffd = "\xEF\xBF\xBD";
  const std::string expected[] = {
      "plain",
      "a" + fffd + fffd + fffd + "b",
      fffd + fffd + fffd + fffd + fffd + fffd,
      "<unprintable Loud object>",
      "<unprintable NotText object>",
      "12",
  };
  PyObject* values = lookup(ns, "values");
  for (Py_ssize_t i = 0; i < 6; ++i) {
    EXPECT_EQ(velmora::render_text(PyList_GET_ITEM(values, i)), expected[i]) << i;
    EXPECT_FALSE(PyErr_Occurred());
  }
  PyObject* seen = lookup(ns, "seen");
  ASSERT_EQ(PyList_Size(seen), 2);
  EXPECT_EQ(utf8(PyList_GET_ITEM(seen, 0)), "ZeroDivisionError");
  EXPECT_EQ(utf8(PyList_GET_ITEM(seen, 1)), "TypeError");
  run("import sys\nsys.unraisablehook = sys.__unraisablehook__\n");
}

TEST(PanicClass, CreatedOnceAsBaseExceptionSubclass) {
  PyObject* panic = velmora::panic_exception_class();
  EXPECT_EQ(velmora::panic_exception_class(), panic);
  auto* type = reinterpret_cast<PyTypeObject*>(panic);
  PyRef module = PyRef::steal(PyObject_GetAttrString(panic, "__module__"));
  PyRef name = PyRef::steal(PyObject_GetAttrString(panic, "__name__"));
  EXPECT_EQ(utf8(module.get()), "velmora_runtime");
  EXPECT_EQ(utf8(name.get()), "PanicException");
  EXPECT_EQ(type->tp_base, reinterpret_cast<PyTypeObject*>(PyExc_BaseException));
  EXPECT_FALSE(PyObject_IsSubclass(panic, PyExc_Exception));
}

using ErrorValueDeathTest = ::testing::Test;

TEST_F(ErrorValueDeathTest, TakingAPanicEndsTheProcess) {
  EXPECT_DEATH(
      {
        PyErr_SetString(velmora::panic_exception_class(), "boom");
        (void)ErrorValue::take();
      },
      "--- Velmora is resuming a panic after fetching a PanicException from Python. ---\n"
      "Python stack trace below:\n(.|\n)*PanicException: boom");
}

TEST_F(ErrorValueDeathTest, FatalFailureWritesDiagnosticAndAborts) {
  EXPECT_DEATH(velmora::fatal_failure("could not append __name__ to __all__"),
               "could not append __name__ to __all__");
}

TEST_F(ErrorValueDeathTest, ApiFailurePrintsPendingException) {
  EXPECT_DEATH(
      {
        PyErr_SetString(PyExc_MemoryError, "simulated");
        velmora::checked(nullptr);
      },
      "MemoryError: simulated(.|\n)*Python API call failed");
}

}  // namespace
