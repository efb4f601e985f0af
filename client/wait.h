// The waits of the client's calls: they let the thread's messages through
// (socket notifications, the host's own events) without using the
// processor, and refuse to nest deeper than the stack can hold.
#pragma once
#include <windows.h>

namespace velkomb::client {

// Dispatches the thread's waiting messages for a wait inside a call. A quit
// request is the host's, not the wait's: it is kept and posted again when the
// pump goes, so the host's own loop still ends.
class MessagePump {
public:
    MessagePump() = default;
    MessagePump(const MessagePump&) = delete;
    MessagePump& operator=(const MessagePump&) = delete;
    ~MessagePump()
    {
        if (quit_) PostQuitMessage(exitCode_);
    }

    // Stops early once `done()` holds: finding the queue empty after the
    // reply would cost one more round trip to the platform per transaction,
    // and whatever else waits is dispatched by the next wait or the host's
    // loop.
    template <class Done>
    void DispatchWaiting(Done done)
    {
        MSG message;
        while (!done() && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                quit_ = true;
                exitCode_ = static_cast<int>(message.wParam);
                continue;
            }
            // Only key strokes need translating (into characters).
            if (message.message >= WM_KEYFIRST && message.message <= WM_KEYLAST) TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    void DispatchWaiting()
    {
        DispatchWaiting([] { return false; });
    }

private:
    bool quit_ = false;
    int exitCode_ = 0;
};

// Whether the thread's queue holds anything a read of it would handle (sent,
// posted, input, timer and paint messages). Asking costs less than a read
// that finds nothing, which also gives the rest of the time slice away.
inline bool MessagesWaiting() { return HIWORD(GetQueueStatus(QS_ALLINPUT | QS_ALLPOSTMESSAGE)) != 0; }

// Sleeps until a message arrives, `handle` (if any) is signalled, or just
// past `seconds` from now.
void SleepUntilMessageOr(double seconds, HANDLE handle = nullptr);

// Counts a wait on this thread's stack while it lives. Each one dispatches
// messages, so an Execute called from a NewDataIn handler nests its wait
// inside the one below it: a host that chains every next request from
// NewDataIn nests one wait a transaction, and the stack runs out after a few
// hundred.
class NestedWait {
public:
    NestedWait();
    ~NestedWait();
    NestedWait(const NestedWait&) = delete;
    NestedWait& operator=(const NestedWait&) = delete;
};

// Refuses to nest a wait where the stack might not hold it: out of stack
// space (28), rather than a crash a few levels further up.
void RequireStackForNestedWait();

} // namespace velkomb::client
