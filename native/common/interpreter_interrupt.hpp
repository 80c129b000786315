// For the module layers: native work run with the interpreter lock released, stopped by Ctrl-C.
//
//     krige::RunStatus status;
//     {
//         krige::ReleasedInterpreter released;   // lets other Python threads run
//         status = engine_call(..., released);   // pure C++: run_parallel(threads, released, ...)
//     }                                           // the lock is held again here
//     if (krige::raise_for(status) < 0) return nullptr;
//
// poll() takes the lock back for a moment and runs the handlers of pending signals; a handler
// that raises (KeyboardInterrupt) asks the work to stop and leaves its exception set, which
// raise_for then reports.
//
// With a progress callable and a counter, poll() also calls progress(done) at most every
// 0.1 s; an exception from it stops the work like Ctrl-C. After the run, with the lock held,
// report_progress() gives the callable the final count.
#pragma once

#include <Python.h>

#include "common/owned_ref.hpp"
#include "common/parallel.hpp"
#include "common/progress.hpp"

#include <chrono>

namespace krige {

// progress(done); -1 with the exception set when it raised. A null progress does nothing.
inline int report_progress(PyObject *progress, const ProgressCounter &counter) {
    if (progress == nullptr || progress == Py_None) return 0;
    const Ref done(PyLong_FromLongLong(counter.done()));
    if (!done) return -1;
    const Ref answer(PyObject_CallOneArg(progress, done.get()));
    return answer ? 0 : -1;
}

class ReleasedInterpreter final : public Interrupt {
  public:
    ReleasedInterpreter() : ReleasedInterpreter(nullptr, nullptr) {}
    // progress and counter must outlive this scope; progress may be null or None.
    ReleasedInterpreter(PyObject *progress, const ProgressCounter *counter)
        : progress_(progress == Py_None ? nullptr : progress), counter_(counter),
          last_report_(std::chrono::steady_clock::now()), released_(PyEval_SaveThread()) {}
    ~ReleasedInterpreter() { PyEval_RestoreThread(released_); }
    ReleasedInterpreter(const ReleasedInterpreter &) = delete;
    ReleasedInterpreter &operator=(const ReleasedInterpreter &) = delete;

    bool poll() override {
        PyEval_RestoreThread(released_);
        bool raised = PyErr_CheckSignals() < 0;
        if (!raised && progress_ != nullptr && counter_ != nullptr) {
            const auto now = std::chrono::steady_clock::now();
            if (now - last_report_ >= std::chrono::milliseconds(100)) {
                last_report_ = now;
                raised = report_progress(progress_, *counter_) < 0;
            }
        }
        released_ = PyEval_SaveThread();
        return raised;
    }

  private:
    PyObject *progress_;
    const ProgressCounter *counter_;
    std::chrono::steady_clock::time_point last_report_;
    PyThreadState *released_;
};

// 0 for a finished run; otherwise -1 with the exception that says why (called with the lock
// held). An interrupted run keeps the exception its signal handler raised.
inline int raise_for(RunStatus status) {
    switch (status) {
    case RunStatus::finished:
        return 0;
    case RunStatus::interrupted:
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "native work stopped without a reason");
        return -1;
    case RunStatus::out_of_memory:
        PyErr_NoMemory();
        return -1;
    case RunStatus::failed:
        break;
    }
    PyErr_SetString(PyExc_SystemError, "a worker thread failed");
    return -1;
}

} // namespace krige
