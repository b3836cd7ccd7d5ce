#include "frame/interrupt.hpp"

namespace frame {

SignalCheckpoint::~SignalCheckpoint()
{
    // Whatever was not raised (the lock is held again by now).
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
}

void SignalCheckpoint::release_lock() noexcept { thread_ = PyEval_SaveThread(); }

void SignalCheckpoint::take_lock() noexcept { PyEval_RestoreThread(thread_); }

bool SignalCheckpoint::proceed() noexcept
{
    if (stopped_) return false;
    take_lock();
    if (PyErr_CheckSignals() < 0) {
        // Kept aside while the lock is released again.
        PyErr_Fetch(&type_, &value_, &traceback_);
        stopped_ = true;
    }
    release_lock();
    return !stopped_;
}

void SignalCheckpoint::raise_if_stopped()
{
    if (!stopped_) return;
    PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr), std::exchange(traceback_, nullptr));
    throw Error{};
}

}  // namespace frame
