#include "client/wait.h"
#include <cmath>
#include <cstdint>
#include "automation/error.h"

namespace velkomb::client {

namespace {

thread_local int activeWaits = 0;

// What a wait, its message handlers and the host's event handlers above it
// may need of the stack.
constexpr uintptr_t kStackForOneWait = 256 * 1024;

} // namespace

void SleepUntilMessageOr(double seconds, HANDLE handle)
{
    const DWORD wait = static_cast<DWORD>(std::ceil(seconds * 1000.0)) + 1;
    MsgWaitForMultipleObjectsEx(handle ? 1 : 0, handle ? &handle : nullptr, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

NestedWait::NestedWait() { ++activeWaits; }
NestedWait::~NestedWait() { --activeWaits; }

void RequireStackForNestedWait()
{
    if (activeWaits == 0) return;
    MEMORY_BASIC_INFORMATION stack{};
    if (!VirtualQuery(&stack, &stack, sizeof stack)) return;
    const uintptr_t left = reinterpret_cast<uintptr_t>(&stack) - reinterpret_cast<uintptr_t>(stack.AllocationBase);
    if (left < kStackForOneWait) automation::RaiseRuntime(automation::errOutOfStack);
}

} // namespace velkomb::client
