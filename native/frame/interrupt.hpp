// Long native work that Ctrl-C can stop. The work runs without the
// interpreter lock and in chunks of bounded time; between chunks it asks its
// checkpoint whether to go on. The checkpoint here takes the lock back for a
// moment to run the signal handlers, and a handler's exception
// (KeyboardInterrupt for Ctrl-C) stops the work and is raised once the lock
// is back for good.
#pragma once

#include "frame/object.hpp"
#include "kernels/checkpoint.hpp"

#include <chrono>
#include <exception>
#include <utility>

namespace frame {

class SignalCheckpoint final : public corvane::kernels::Checkpoint {
public:
    SignalCheckpoint() = default;
    SignalCheckpoint(const SignalCheckpoint&) = delete;
    SignalCheckpoint& operator=(const SignalCheckpoint&) = delete;
    ~SignalCheckpoint();

    // Called with the lock released, from the thread that released it.
    bool proceed() noexcept override;

    void release_lock() noexcept;
    void take_lock() noexcept;
    // With the lock held: raises the exception a handler raised, if any.
    void raise_if_stopped();

private:
    using Clock = std::chrono::steady_clock;
    PyThreadState* thread_ = nullptr;
    Clock::time_point next_{};  // no check before this
    bool main_thread_ = true;   // until the first check finds otherwise
    bool thread_known_ = false;
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
    bool stopped_ = false;
};

// Runs `work(checkpoint)` without the interpreter lock; `work` touches no
// Python object and returns soon after the checkpoint answers false. The
// exception a signal handler raised meanwhile, else a C++ exception of
// `work`, is raised here with the lock held again.
template <class Work>
void interruptible(Work&& work)
{
    SignalCheckpoint checkpoint;
    std::exception_ptr failure;
    checkpoint.release_lock();
    try {
        std::forward<Work>(work)(static_cast<corvane::kernels::Checkpoint*>(&checkpoint));
    } catch (...) {
        failure = std::current_exception();
    }
    checkpoint.take_lock();
    checkpoint.raise_if_stopped();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace frame
