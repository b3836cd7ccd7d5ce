// How long native kernels stay interruptible without knowing about Python.
//
// A kernel that may run for more than a few milliseconds splits its work into
// chunks of bounded time (about 10 ms on a desktop core) and asks its
// checkpoint between them whether to go on.  The Python glue implements the
// checkpoint by taking the interpreter lock and running the signal handlers;
// the kernels only see the answer.
#pragma once

namespace corvane::kernels {

class Checkpoint {
public:
    // True to go on; false to abandon the work, whose output is then
    // unspecified.  Called from the thread running the kernel.
    virtual bool proceed() noexcept = 0;

protected:
    ~Checkpoint() = default;
};

// True when there is no checkpoint or it says go on.
inline bool proceed(Checkpoint* cp) noexcept { return cp == nullptr || cp->proceed(); }

}  // namespace corvane::kernels
