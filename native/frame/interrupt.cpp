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

namespace {

// 1 when the calling thread is threading.main_thread(), 0 when not, -1 with
// an exception set. Without threading imported there is no other thread to
// tell apart.
int on_main_thread() noexcept
{
    PyObject* name = PyUnicode_FromString("threading");
    if (!name) return -1;
    PyObject* module = PyImport_GetModule(name);
    Py_DECREF(name);
    if (!module) return PyErr_Occurred() ? -1 : 1;
    PyObject* main = PyObject_CallMethod(module, "main_thread", nullptr);
    Py_DECREF(module);
    PyObject* ident = main ? PyObject_GetAttrString(main, "ident") : nullptr;
    Py_XDECREF(main);
    const unsigned long id = ident ? PyLong_AsUnsignedLong(ident) : 0;
    Py_XDECREF(ident);
    if (PyErr_Occurred()) return -1;
    return id == PyThread_get_thread_ident();
}

}  // namespace

void SignalCheckpoint::release_lock() noexcept { thread_ = PyEval_SaveThread(); }

void SignalCheckpoint::take_lock() noexcept { PyEval_RestoreThread(thread_); }

bool SignalCheckpoint::proceed() noexcept
{
    // While other threads run Python, taking the lock means waiting for one
    // of them to give it up (the switch interval, 5 ms, or longer on a busy
    // machine), and the work stands still meanwhile. After a wait w the next
    // check therefore comes no sooner than 100 w later, but within 0.25 s:
    // waiting stays under 1 % of the work while waits are under 2.5 ms (2 %
    // at the usual 5 ms), and Ctrl-C is still answered well within half a
    // second, even when a loaded machine makes an uncontended wait look long.
    constexpr auto longest_skip = std::chrono::milliseconds(250);
    if (stopped_) return false;
    if (!main_thread_) return true;
    const Clock::time_point asked = Clock::now();
    if (asked < next_) return true;
    take_lock();
    const Clock::duration waited = Clock::now() - asked;
    // Only the main thread runs signal handlers: elsewhere the lock is not
    // worth taking again. Asked here rather than before the work, so that
    // work done within one chunk pays nothing.
    int check = 1;
    if (!thread_known_) {
        thread_known_ = true;
        check = on_main_thread();
        main_thread_ = check != 0;
    }
    if (check < 0 || (check > 0 && PyErr_CheckSignals() < 0)) {
        // Kept aside while the lock is released again (from 3.12 on the
        // exception carries its own type and traceback).
#if PY_VERSION_HEX >= 0x030C0000
        value_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &value_, &traceback_);
#endif
        stopped_ = true;
    }
    release_lock();
    next_ = Clock::now() + std::min<Clock::duration>(100 * waited, longest_skip);
    return !stopped_;
}

void SignalCheckpoint::raise_if_stopped()
{
    if (!stopped_) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(std::exchange(value_, nullptr));
#else
    PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr), std::exchange(traceback_, nullptr));
#endif
    throw Error{};
}

}  // namespace frame
