#include "frame/interrupt.hpp"

#include <algorithm>

namespace frame {

SignalCheckpoint::~SignalCheckpoint()
{
    // Whatever was not raised (the lock is held again by now).
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
}

void SignalCheckpoint::start()
{
    // threading.main_thread().ident; without threading imported there is
    // no other thread to tell apart.
    static Name threading("threading"), main_thread("main_thread"), ident("ident");
    PyObject* module = PyImport_GetModule(threading.get());
    if (!module) {
        if (PyErr_Occurred()) raise();
        return;
    }
    Object main = Object::steal(module).attr(main_thread)().attr(ident);
    const unsigned long id = PyLong_AsUnsignedLong(main.get());
    if (id == static_cast<unsigned long>(-1) && PyErr_Occurred()) raise();
    main_thread_ = id == PyThread_get_thread_ident();
}

void SignalCheckpoint::release_lock() noexcept { thread_ = PyEval_SaveThread(); }

void SignalCheckpoint::take_lock() noexcept { PyEval_RestoreThread(thread_); }

bool SignalCheckpoint::proceed() noexcept
{
    // While other threads run Python, taking the lock means waiting for one
    // of them to give it up (the switch interval, 5 ms, or longer on a busy
    // machine), and the work stands still meanwhile. After a wait w the next
    // check therefore comes no sooner than 100 w later, but within 0.4 s:
    // waiting stays under 1 % of the work while waits are under 4 ms, and
    // Ctrl-C is still answered within half a second.
    constexpr auto longest_skip = std::chrono::milliseconds(400);
    if (stopped_) return false;
    if (!main_thread_) return true;
    const Clock::time_point asked = Clock::now();
    if (asked < next_) return true;
    take_lock();
    const Clock::duration waited = Clock::now() - asked;
    if (PyErr_CheckSignals() < 0) {
        // Kept aside while the lock is released again.
        PyErr_Fetch(&type_, &value_, &traceback_);
        stopped_ = true;
    }
    release_lock();
    next_ = Clock::now() + std::min<Clock::duration>(100 * waited, longest_skip);
    return !stopped_;
}

void SignalCheckpoint::raise_if_stopped()
{
    if (!stopped_) return;
    PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr), std::exchange(traceback_, nullptr));
    throw Error{};
}

}  // namespace frame
