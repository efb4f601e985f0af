// The module half of the socket object, once per thread: the Windows Sockets
// service, the hidden window that receives socket notifications and host
// lookup completions, and the tables that lead from a socket or lookup handle
// back to the object that owns it. Tables hold plain object pointers; every
// object withdraws its entries before it goes away.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <cstdint>
#include <string>

namespace velkomb::support {

// What the window procedure calls on the object that owns a handle. The
// window procedure holds a reference (KeepAlive/LetGo) for the whole call;
// whatever the calls raise is dropped there.
class SocketEventTarget {
public:
    virtual void KeepAlive() = 0;
    virtual void LetGo() = 0;
    virtual void PostSocketEvent(SOCKET handle, long event, long error) = 0;
    virtual void PostGetHostEvent(long lookup, uint32_t address, const std::wstring& hostName, long error) = 0;

protected:
    ~SocketEventTarget() = default;
};

// Service: the first object of a thread starts Windows Sockets 1.1 and
// registers the two window messages; the result is the largest datagram size.
long InitWinsockService();
// Ends the service when no socket is registered any more.
void CleanupWinsockService();

// Routes the socket's notifications to target (read, write, accept, connect,
// close) and makes it non-blocking. On failure returns false with the error
// recorded (see RecordError), never raises.
bool RegisterSocket(SOCKET handle, SocketEventTarget* target);
// Stops the socket's notifications and withdraws its entry; the last one
// takes the window with it. False for -1 or when nothing is registered.
bool UnregisterSocket(SOCKET handle);

// Starts an asynchronous lookup of name for target; returns its handle, or 0
// when no lookup was started (with the error recorded when the platform
// refused it).
long ResolveHost(const std::wstring& name, SocketEventTarget* target);
// Cancels target's pending lookups (at release): their completions no longer
// reach it.
void WithdrawLookups(SocketEventTarget* target);

HWND WindowHandle();
UINT WinsockMessage();

// The thread's current automation error: recorded by the procedures that
// report failure through their result, raised later by a caller that wants to.
void RecordError(long number, const std::wstring& source, const std::wstring& description);
[[noreturn]] void RaiseRecordedError();

LRESULT CALLBACK SocketWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Test views of the per-thread state.
size_t RegisteredSocketCount();
size_t PendingLookupCount();
bool ServiceStarted();

} // namespace velkomb::support
