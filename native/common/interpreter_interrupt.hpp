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
#pragma once

#include <Python.h>

#include "common/parallel.hpp"

namespace krige {

class ReleasedInterpreter final : public Interrupt {
  public:
    ReleasedInterpreter() : released_(PyEval_SaveThread()) {}
    ~ReleasedInterpreter() { PyEval_RestoreThread(released_); }
    ReleasedInterpreter(const ReleasedInterpreter &) = delete;
    ReleasedInterpreter &operator=(const ReleasedInterpreter &) = delete;

    bool poll() override {
        PyEval_RestoreThread(released_);
        const bool raised = PyErr_CheckSignals() < 0;
        released_ = PyEval_SaveThread();
        return raised;
    }

  private:
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
