// One-shot timers of the thread, for deadlines that must hold while nobody
// waits: they fire from whatever loop dispatches the thread's messages (the
// host's own, or any wait of the component). The table holds non-owning
// pointers; a target disarms its timer before it goes away.
#pragma once
#include <windows.h>
#include "support/callback_target.h"

namespace velkomb::support {

class TimerTarget : public CallbackTarget {
public:
    // The timer has fired (it is disarmed already).
    virtual void TimerFired() = 0;

protected:
    ~TimerTarget() = default;
};

// Arms a timer for `target` that fires once, `milliseconds` from now; 0 when
// the platform refuses one. The target disarms it with DisarmTimer when it
// no longer needs it.
UINT_PTR ArmTimer(TimerTarget* target, UINT milliseconds);
void DisarmTimer(UINT_PTR timer);

// Test view: timers armed on this thread.
size_t ArmedTimerCount();

} // namespace velkomb::support
