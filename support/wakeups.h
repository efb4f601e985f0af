// Wake-ups of an object of this thread when a kernel object is signalled,
// from whatever loop dispatches the thread's messages (the host's own, or
// any wait of the component), for I/O that has no window notification of
// its own: an overlapped serial read. The platform's thread pool waits for
// the handle and posts to a message-only window of the thread. The table
// holds non-owning pointers; a wake-up cancelled, or of an object gone,
// reaches nobody.
#pragma once
#include <windows.h>
#include <cstdint>
#include "support/callback_target.h"

namespace velkomb::support {

class WakeTarget : public CallbackTarget {
public:
    // The handle was signalled.
    virtual void Woken() = 0;

protected:
    ~WakeTarget() = default;
};

struct WakePosting;

// One wake-up at a time for its target; the thread's window lives while any
// of these does.
class WakeOnSignal {
public:
    explicit WakeOnSignal(WakeTarget* target);
    ~WakeOnSignal();
    WakeOnSignal(const WakeOnSignal&) = delete;
    WakeOnSignal& operator=(const WakeOnSignal&) = delete;

    // Wakes the target once, after `handle` is signalled; a wake-up armed
    // before is cancelled.
    void Arm(HANDLE handle);
    // Waits until the pool no longer waits or posts for it.
    void Cancel();

private:
    WakeTarget* target_;
    HANDLE wait_ = nullptr;
    WakePosting* posting_ = nullptr;
};

// Test view: wake-ups armed on this thread.
size_t ArmedWakeCount();

} // namespace velkomb::support
