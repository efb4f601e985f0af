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
#include <vector>
#include "support/callback_target.h"

namespace velkomb::support {

// What the window procedure calls on the object that owns a handle.
class SocketEventTarget : public CallbackTarget {
public:
    virtual void PostSocketEvent(SOCKET handle, long event, long error) = 0;
    virtual void PostGetHostEvent(long lookup, uint32_t address, const std::wstring& hostName, long error) = 0;

protected:
    ~SocketEventTarget() = default;
};

// Service: the first object of a thread starts Windows Sockets 1.1 and
// registers the two window messages; the result is the largest datagram size.
// Every object that got a result calls CleanupWinsockService when it goes.
long InitWinsockService();
// Ends the service when the last object of the thread has gone and no socket
// is registered any more: the other objects still need it. A lookup still
// pending keeps it (and the window) until its completion arrives, which then
// ends what nothing needs any more.
void CleanupWinsockService();

// Routes the socket's notifications to target (read, write, accept, connect,
// close) and makes it non-blocking. On failure (-1, a handle registered
// already, by target or another object) returns false with the error recorded
// (see RecordError), never raises.
bool RegisterSocket(SOCKET handle, SocketEventTarget* target);
// Stops the socket's notifications and withdraws its entry if it is target's;
// the last one takes the window with it unless a lookup is pending.
// Notifications of the socket that are already queued never reach anyone,
// also when the platform hands the same handle value to the next socket.
// False, and nothing done, when the handle is not registered for target.
bool UnregisterSocket(SOCKET handle, const SocketEventTarget* target);

// Starts an asynchronous lookup of name for target; returns its handle, or 0
// when no lookup was started, with the error recorded.
long ResolveHost(const std::wstring& name, SocketEventTarget* target);
// Withdraws target's lookup `handle` (given up on) or all of target's
// lookups (at release): their completions, successful or failed, no longer
// reach it, and only free their buffers.
void WithdrawLookup(long handle, const SocketEventTarget* target);
void WithdrawLookups(const SocketEventTarget* target);

HWND WindowHandle();
UINT WinsockMessage();

// The thread's current automation error: recorded by the procedures that
// report failure through their result, raised later by a caller that wants to.
// Each such procedure clears it when it starts, so a caller never raises the
// error of an earlier call.
void RecordError(long number, const std::wstring& source, const std::wstring& description);
[[noreturn]] void RaiseRecordedError();

LRESULT CALLBACK SocketWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Test views of the per-thread state.
size_t RegisteredSocketCount();
// The handles registered now, of every object of the thread: a test reaches
// a socket no member exposes (the client's own) through them.
std::vector<SOCKET> RegisteredSockets();
size_t PendingLookupCount();
// Result buffers of lookups, given up on or not, that the platform may still write.
size_t LookupBufferCount();
bool ServiceStarted();

} // namespace velkomb::support
