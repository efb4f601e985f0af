#include "tools/scripthost/message_pump.h"

namespace velkomb::scripthost {

void DispatchWaitingMessages(const bool& stop)
{
    MSG message;
    while (!stop && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void PumpMessagesFor(DWORD milliseconds, const bool& stop)
{
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    for (;;) {
        DispatchWaitingMessages(stop);
        const ULONGLONG now = GetTickCount64();
        if (stop || now >= deadline) return;
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(deadline - now), QS_ALLINPUT,
                                    MWMO_INPUTAVAILABLE);
    }
}

} // namespace velkomb::scripthost
