// Long native work with the interpreter lock released, on one or several threads, that stops
// within milliseconds of a Ctrl-C.
//
// run_parallel(threads, work) is called with the interpreter lock held. It releases the lock and
// calls work(worker, checkpoint) once for each worker 0 … threads − 1. The work polls
// checkpoint.stop_requested() every few thousand steps and returns early when it is true. The
// calling thread looks at the interpreter's signal handlers every few milliseconds: with one
// worker from inside the work's own polls (no thread is started), with several while it waits
// for the worker threads. A handler that raises (KeyboardInterrupt) stops every worker; all of
// them are joined before run_parallel returns, with the lock held again.
//
// Returns 0 when every worker ran to its end, or -1 with an exception set: the handler's
// exception, MemoryError when a worker ran out of memory (std::bad_alloc), RuntimeError when a
// thread could not be started. The work must not touch interpreter objects.
#pragma once

#include <Python.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace krige::engine {

class Checkpoint;

namespace detail {

using Clock = std::chrono::steady_clock;
inline constexpr auto poll_interval = std::chrono::milliseconds(5);

enum class Failure : int { none, memory, other };

struct SharedState {
    std::atomic<bool> stop{false};
    std::atomic<Failure> failure{Failure::none};

    void fail(Failure kind) {
        Failure expected = Failure::none;
        failure.compare_exchange_strong(expected, kind);
        stop.store(true, std::memory_order_relaxed);
    }
};

// Runs the handlers of pending signals with the lock taken back for the moment; true when one
// raised. The exception stays set on the thread until run_parallel reports it.
inline bool signal_raised(PyThreadState *&released) {
    PyEval_RestoreThread(released);
    bool raised = PyErr_CheckSignals() < 0;
    released = PyEval_SaveThread();
    return raised;
}

} // namespace detail

// What a worker polls: true once the work must stop (a signal handler raised, or another worker
// failed). Cheap enough for every few thousand pairs.
class Checkpoint {
  public:
    bool stop_requested() {
        if (shared_.stop.load(std::memory_order_relaxed)) return true;
        if (released_ == nullptr) return false;
        // The single-worker case: this thread is the caller and itself looks at the signals.
        const auto now = detail::Clock::now();
        if (now - last_poll_ < detail::poll_interval) return false;
        last_poll_ = now;
        if (detail::signal_raised(*released_)) shared_.stop.store(true, std::memory_order_relaxed);
        return shared_.stop.load(std::memory_order_relaxed);
    }

  private:
    template <class Work> friend int run_parallel(int, Work &&);
    Checkpoint(detail::SharedState &shared, PyThreadState **released)
        : shared_(shared), released_(released), last_poll_(detail::Clock::now()) {}

    detail::SharedState &shared_;
    PyThreadState **released_; // non-null only for a worker on the calling thread
    detail::Clock::time_point last_poll_;
};

template <class Work> int run_parallel(int threads, Work &&work) {
    detail::SharedState shared;
    auto run_worker = [&](int worker, PyThreadState **released) noexcept {
        Checkpoint checkpoint(shared, released);
        try {
            work(worker, checkpoint);
        } catch (const std::bad_alloc &) {
            shared.fail(detail::Failure::memory);
        } catch (...) {
            shared.fail(detail::Failure::other);
        }
    };

    bool thread_failed = false;
    PyThreadState *released = PyEval_SaveThread();
    if (threads <= 1) {
        run_worker(0, &released);
    } else {
        std::mutex mutex;
        std::condition_variable finished;
        int running = 0;
        std::vector<std::thread> pool;
        try {
            pool.reserve(size_t(threads));
            for (int worker = 0; worker < threads; ++worker) {
                {
                    std::lock_guard lock(mutex);
                    ++running;
                }
                try {
                    pool.emplace_back([&, worker] {
                        run_worker(worker, nullptr);
                        std::lock_guard lock(mutex);
                        --running;
                        finished.notify_one();
                    });
                } catch (...) {
                    std::lock_guard lock(mutex);
                    --running;
                    throw;
                }
            }
        } catch (...) {
            thread_failed = true;
            shared.stop.store(true);
        }
        std::unique_lock lock(mutex);
        while (running > 0) {
            if (finished.wait_for(lock, detail::poll_interval, [&] { return running == 0; })) break;
            lock.unlock();
            if (!shared.stop.load() && detail::signal_raised(released)) shared.stop.store(true);
            lock.lock();
        }
        lock.unlock();
        for (std::thread &thread : pool)
            thread.join();
    }
    PyEval_RestoreThread(released);

    if (PyErr_Occurred()) return -1; // a signal handler raised
    if (thread_failed) {
        PyErr_SetString(PyExc_RuntimeError, "could not start the worker threads");
        return -1;
    }
    switch (shared.failure.load()) {
    case detail::Failure::none:
        return 0;
    case detail::Failure::memory:
        PyErr_NoMemory();
        return -1;
    case detail::Failure::other:
        break;
    }
    PyErr_SetString(PyExc_SystemError, "a worker thread failed");
    return -1;
}

} // namespace krige::engine
