// train_from_config: binds and converts the call, runs the pipeline, and
// reports the outcome. The interpreter lock is held for binding, the checks and
// the start of the trainer, and released only while waiting for the trainer,
// so that other threads (a notebook's output pump, a cluster worker's event
// loop) run meanwhile. Signal handlers run between waits: a KeyboardInterrupt
// interrupts the trainer, any other exception terminates it, and the call
// returns only once the trainer has ended.
#include "python/train_from_config.hpp"

#include "launcher/pipeline.hpp"
#include "python/binding.hpp"
#include "python/error.hpp"

namespace velmora {
namespace {

PyObject* exception_class(text::FailureKind kind) {
  switch (kind) {
    case text::FailureKind::not_found:
      return PyExc_FileNotFoundError;
    case text::FailureKind::read:
      return PyExc_IOError;  // OSError itself, so no errno-based subclass is chosen
    case text::FailureKind::name:
    case text::FailureKind::json:
    case text::FailureKind::yaml:
      return PyExc_ValueError;
    case text::FailureKind::launch:
    case text::FailureKind::exit:
    case text::FailureKind::stopped:
      break;
  }
  return PyExc_RuntimeError;
}

// The interpreter's side of a trainer run, on the calling thread.
class InterpreterHost final : public launcher::SupervisionHost {
 public:
  // The wait itself runs without the interpreter lock.
  platform::WaitOutcome wait(platform::ChildProcess& child, std::uint32_t timeout_ms) override {
    const ReleasedLock released;
    return child.wait_for(timeout_ms);
  }

  // The exception of the handlers that ran, if any; the latest one, with the
  // earlier ones as its context.
  PyRef take_pending() noexcept { return std::move(pending_); }

 private:
  launcher::StopRequest poll() override {
    // Handlers run on the main thread only; elsewhere this finds nothing.
    if (PyErr_CheckSignals() == 0) return launcher::StopRequest::none;
    PyRef raised = PyRef::steal(PyErr_GetRaisedException());
    const bool interrupt = PyErr_GivenExceptionMatches(raised.get(), PyExc_KeyboardInterrupt) != 0;
    if (pending_) PyException_SetContext(raised.get(), pending_.release());
    pending_ = std::move(raised);
    return interrupt ? launcher::StopRequest::interrupt : launcher::StopRequest::terminate;
  }

  PyRef pending_;
};

PyObject* run(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  binding::Slots slots{};
  if (auto error = binding::bind_fastcall(binding::kTrainFromConfig, args, nargs, kwnames, slots)) {
    return raise_null(std::move(*error));
  }
  Outcome<launcher::TrainingRequest> request = binding::convert_training_request(slots);
  if (!request) return raise_null(request.take_error());

  InterpreterHost host;
  std::optional<text::Failure> failure =
      launcher::run_training_pipeline(request.value(), launcher::default_pipeline_services(), host);

  // An exception from a signal handler supersedes the outcome, which was its
  // consequence (an interrupted or terminated trainer, an abandoned read).
  if (PyRef pending = host.take_pending()) {
    PyErr_SetRaisedException(pending.release());
    return nullptr;
  }
  // Signals that arrived after the last wait are acted on before returning.
  if (PyErr_CheckSignals() < 0) return nullptr;

  if (failure) {
    return raise_null(ErrorValue::make(exception_class(failure->kind), std::move(failure->text)));
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
