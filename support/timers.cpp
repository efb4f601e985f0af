#include "support/timers.h"
#include <map>

namespace velkomb::support {

namespace {

// Per thread and trivially destructible: the table is made by the first
// timer and freed when the last goes.
thread_local std::map<UINT_PTR, TimerTarget*>* armedTimers;

void Forget(UINT_PTR timer)
{
    if (!armedTimers) return;
    armedTimers->erase(timer);
    if (armedTimers->empty()) {
        delete armedTimers;
        armedTimers = nullptr;
    }
}

void CALLBACK TimerProc(HWND, UINT, UINT_PTR timer, DWORD)
{
    KillTimer(nullptr, timer);
    if (!armedTimers) return;
    const auto found = armedTimers->find(timer);
    if (found == armedTimers->end()) return;
    TimerTarget* target = found->second;
    Forget(timer);
    CallKeptAlive(*target, [&] { target->TimerFired(); });
}

} // namespace

UINT_PTR ArmTimer(TimerTarget* target, UINT milliseconds)
{
    const UINT_PTR timer = SetTimer(nullptr, 0, milliseconds, &TimerProc);
    if (timer == 0) return 0;
    if (!armedTimers) armedTimers = new std::map<UINT_PTR, TimerTarget*>;
    (*armedTimers)[timer] = target;
    return timer;
}

void DisarmTimer(UINT_PTR timer)
{
    if (timer == 0) return;
    KillTimer(nullptr, timer);
    Forget(timer);
}

size_t ArmedTimerCount() { return armedTimers ? armedTimers->size() : 0; }

} // namespace velkomb::support
