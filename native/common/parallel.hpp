// Work split over worker threads that stops within milliseconds of a request, in pure C++.
//
// run_parallel(threads, interrupt, work) calls work(worker, checkpoint) once for each worker
// 0 … threads − 1 and returns when all of them have returned. The calling thread runs worker 0
// itself, and any worker whose thread could not be started, so that the work always completes
// with the threads there are. The work polls checkpoint.stop_requested() every few thousand
// steps and returns early when it is true.
//
// Every few milliseconds the calling thread asks interrupt.poll() whether the work must stop
// (the module layer answers from the interpreter's signal handlers, for Ctrl-C): from inside
// its own worker's polls while it works, and while it waits for the other workers. A true
// answer, or a worker that throws, stops every worker; all of them are joined before
// run_parallel returns. Nothing here touches the interpreter.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace krige {

// What ended a run.
enum class RunStatus : int {
    finished,      // every worker ran to its end
    interrupted,   // interrupt.poll() asked the work to stop
    out_of_memory, // a worker threw std::bad_alloc
    failed,        // a worker threw something else
};

// Asked by the calling thread, every few milliseconds, whether the work must stop.
class Interrupt {
  public:
    virtual bool poll() = 0;

  protected:
    ~Interrupt() = default;
};

// An Interrupt that never asks to stop, for callers without signals to watch.
class NoInterrupt final : public Interrupt {
  public:
    bool poll() override { return false; }
};

namespace detail {

using Clock = std::chrono::steady_clock;
inline constexpr auto poll_interval = std::chrono::milliseconds(5);

struct RunState {
    std::atomic<bool> stop{false};
    std::atomic<RunStatus> status{RunStatus::finished};

    void end(RunStatus why) {
        RunStatus expected = RunStatus::finished;
        status.compare_exchange_strong(expected, why);
        stop.store(true, std::memory_order_relaxed);
    }
};

} // namespace detail

// What a worker polls: true once the work must stop. Cheap enough for every few thousand steps.
class Checkpoint {
  public:
    bool stop_requested() {
        if (state_.stop.load(std::memory_order_relaxed)) return true;
        if (interrupt_ == nullptr) return false;
        // On the calling thread: this worker also looks at the interrupt.
        const auto now = detail::Clock::now();
        if (now - last_poll_ < detail::poll_interval) return false;
        last_poll_ = now;
        if (interrupt_->poll()) state_.end(RunStatus::interrupted);
        return state_.stop.load(std::memory_order_relaxed);
    }

  private:
    template <class Work> friend RunStatus run_parallel(int, Interrupt &, Work &&);
    Checkpoint(detail::RunState &state, Interrupt *interrupt)
        : state_(state), interrupt_(interrupt), last_poll_(detail::Clock::now()) {}

    detail::RunState &state_;
    Interrupt *interrupt_; // non-null only for work on the calling thread
    detail::Clock::time_point last_poll_;
};

template <class Work> RunStatus run_parallel(int threads, Interrupt &interrupt, Work &&work) {
    if (threads < 1) threads = 1;
    detail::RunState state;
    auto run_worker = [&](int worker, Interrupt *caller_interrupt) noexcept {
        if (state.stop.load(std::memory_order_relaxed)) return;
        Checkpoint checkpoint(state, caller_interrupt);
        try {
            work(worker, checkpoint);
        } catch (const std::bad_alloc &) {
            state.end(RunStatus::out_of_memory);
        } catch (...) {
            state.end(RunStatus::failed);
        }
    };

    std::mutex mutex;
    std::condition_variable finished;
    int running = 0;
    std::vector<std::thread> pool;
    std::vector<int> on_caller{0};
    try {
        pool.reserve(std::size_t(threads - 1));
    } catch (...) {
        threads = 1; // no room for the pool: the calling thread does all the work
    }
    for (int worker = 1; worker < threads; ++worker) {
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
            {
                std::lock_guard lock(mutex);
                --running;
            }
            try {
                on_caller.push_back(worker);
            } catch (...) {
                state.end(RunStatus::out_of_memory);
            }
        }
    }
    for (int worker : on_caller)
        run_worker(worker, &interrupt);

    std::unique_lock lock(mutex);
    while (running > 0) {
        if (finished.wait_for(lock, detail::poll_interval, [&] { return running == 0; })) break;
        lock.unlock();
        if (!state.stop.load() && interrupt.poll()) state.end(RunStatus::interrupted);
        lock.lock();
    }
    lock.unlock();
    for (std::thread &thread : pool)
        thread.join();
    return state.status.load();
}

} // namespace krige
