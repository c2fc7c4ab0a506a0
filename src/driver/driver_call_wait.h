// How the driver facade waits for a call into the driver library. Without
// one, a call blocks the caller's thread until it returns. A front end with
// a window hands each call to a thread of its own and keeps drawing while it
// waits; nothing else of the program runs meanwhile, so calls still come one
// at a time and in order.
#pragma once

#include <functional>

namespace kvx {

class DriverCallWait {
public:
    virtual ~DriverCallWait() = default;
    // Runs `call` and returns once it has returned.
    virtual void run(const std::function<void()>& call) = 0;
    // Runs `work` on the thread that waits in run() and returns after it:
    // the library calls back (the error routine) from inside a call, and the
    // routine belongs to the program's own thread. Outside a call, at once.
    virtual void callBack(const std::function<void()>& work) = 0;
};

}  // namespace kvx
