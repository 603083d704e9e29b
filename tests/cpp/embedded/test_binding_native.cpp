// Binding paths that Python's own call machinery never lets through.
#include <Python.h>
#include <gtest/gtest.h>

#include "python/binding.hpp"

using velmora::PyRef;
namespace binding = velmora::binding;

namespace {

TEST(BindingNative, NonStringKeywordIsUnexpectedAndLeavesNothingPending) {
  PyRef args = PyRef::steal(Py_BuildValue("(ss)", "a.json", "out"));
  PyRef kwargs = PyRef::steal(Py_BuildValue("{i:i}", 7, 1));
  binding::Slots slots{};
  auto error = binding::bind_classic(binding::kTrainerConfigNew, args.get(), kwargs.get(), slots);
  ASSERT_TRUE(error.has_value());
  EXPECT_FALSE(PyErr_Occurred());
  EXPECT_EQ(error->render(), "TrainerConfig.__new__() got an unexpected keyword argument '7'");
}

TEST(BindingNative, FastCallWithNullVectorAndNoArguments) {
  binding::Slots slots{};
  auto error = binding::bind_fastcall(binding::kTrainFromConfig, nullptr, 0, nullptr, slots);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->render(),
            "train_from_config() missing 4 required positional arguments: 'config_path', "
            "'output_dir', 'steps', and 'seed'");
}

TEST(BindingNative, ResultConversions) {
  PyRef text = PyRef::steal(binding::to_python(std::string_view("caf\xC3\xA9")));
  EXPECT_EQ(PyUnicode_GetLength(text.get()), 4);
  PyRef big = PyRef::steal(binding::to_python(std::uint64_t{18446744073709551615ull}));
  EXPECT_EQ(PyLong_AsUnsignedLongLong(big.get()), 18446744073709551615ull);
  PyRef absent = PyRef::steal(binding::to_python(std::optional<std::string>()));
  EXPECT_EQ(absent.get(), Py_None);
  PyRef empty = PyRef::steal(binding::to_python(std::optional<std::string>("")));
  EXPECT_EQ(PyUnicode_GetLength(empty.get()), 0);
}

}  // namespace
