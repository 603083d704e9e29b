// Runs the native tests of the Python-facing layer inside an embedded interpreter.
#include <Python.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Death tests re-run this binary; each run gets its own interpreter.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Py_InitializeEx(0);
  const int result = RUN_ALL_TESTS();
  if (Py_FinalizeEx() < 0) return 120;
  return result;
}
