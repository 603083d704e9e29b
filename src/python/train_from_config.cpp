// train_from_config: binds and converts the call, runs the pipeline with the
// interpreter lock held throughout (training blocks the interpreter), and
// reports the outcome.
#include "python/train_from_config.hpp"

#include "launcher/pipeline.hpp"
#include "python/binding.hpp"
#include "python/error.hpp"

namespace velmora {
namespace {

PyObject* exception_class(launcher::FailureKind kind) {
  switch (kind) {
    case launcher::FailureKind::file_not_found:
      return PyExc_FileNotFoundError;
    case launcher::FailureKind::read_failed:
      return PyExc_IOError;  // OSError itself, so no errno-based subclass is chosen
    case launcher::FailureKind::invalid_value:
      return PyExc_ValueError;
    case launcher::FailureKind::runtime:
      break;
  }
  return PyExc_RuntimeError;
}

PyObject* run(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  binding::Slots slots{};
  if (auto error = binding::bind_fastcall(binding::kTrainFromConfig, args, nargs, kwnames, slots)) {
    return raise_null(std::move(*error));
  }
  Outcome<TrainingRequest> request = binding::convert_training_request(slots);
  if (!request) return raise_null(request.take_error());

  std::optional<launcher::PipelineFailure> failure =
      launcher::run_training_pipeline(request.value());

  // Signals that arrived while the trainer ran (Ctrl-C reaches the whole
  // process group, so the trainer was interrupted too) were only noted by
  // the interpreter's handlers. Run them now: an exception they raise, such
  // as KeyboardInterrupt, supersedes the outcome, which was its consequence.
  if (PyErr_CheckSignals() < 0) return nullptr;

  if (failure) {
    return raise_null(
        ErrorValue::make(exception_class(failure->kind), std::move(failure->message)));
  }
  return binding::none();
}

}  // namespace

PyObject* train_from_config_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return guarded("train_from_config: native memory could not be allocated",
                 [&] { return run(args, nargs, kwnames); });
}

}  // namespace velmora
