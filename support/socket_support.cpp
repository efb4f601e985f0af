#include "support/socket_support.h"
#include <map>
#include <vector>
#include "automation/error.h"
#include "automation/narrow.h"
#include "component/com/module.h"
#include "support/error_texts.h"
#include "support/helpers.h"

namespace velkomb::support {
namespace {

constexpr long FD_ALL_NOTIFICATIONS = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;  // 59
constexpr size_t hostBufferSize = 1024;
// Posted to the hidden window behind everything queued for a socket that was
// just unregistered (wParam = its handle). Messages of one thread's queue keep
// their order, so notifications that arrive while the marker is pending were
// queued for the old socket, and those of a new socket that got the same
// handle value come after it.
constexpr UINT retiredMessage = WM_APP + 0x5E7;

// Keyed by a number in decimal text followed by a letter: "1234S" for socket
// handle 1234, "5R" for lookup handle 5.
template <class Value>
using Registry = std::map<std::string, Value>;

std::string KeyOf(long long number, char letter) { return std::to_string(number) + letter; }

// A lookup stays registered until its completion arrives, also when its
// object gave up on it: a cancel need not take (Wine's does nothing), and on
// Windows one that takes posts nothing, so only the completion tells when
// the platform is done with the buffer.
struct Lookup {
    SocketEventTarget* target;  // null once the object gave up on it
    HGLOBAL buffer;             // each lookup has its own result buffer
};

// Once per thread; trivially destructible (tables are allocated on first use
// and freed when they empty).
struct ThreadState {
    HWND windowHandle;
    WNDPROC previousWindowProc;
    UINT winsockMessage;
    UINT resolveMessage;
    Registry<SocketEventTarget*>* socketRegistry;
    Registry<Lookup>* lookupRegistry;
    // Handles with retired markers in the window's queue, and how many.
    std::map<SOCKET, int>* retiredSockets;
    bool serviceStarted;
    long liveObjects;  // socket objects of the thread that use the service
    long maxUdpDatagram;
    size_t lookupBuffers;
    automation::AutomationError* recordedError;
};

thread_local ThreadState state;

std::string ModuleBaseName()
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(com::ModuleInstance(), path, MAX_PATH);
    std::string name(path, length);
    if (auto slash = name.find_last_of("\\/"); slash != std::string::npos) name.erase(0, slash + 1);
    if (auto dot = name.find_last_of('.'); dot != std::string::npos) name.erase(dot);
    return name;
}

std::wstring StartupFailureText(int result)
{
    switch (result) {
    case WSAEINVAL: return L"The Windows Sockets version specified by the application is not supported by this DLL.";
    case WSASYSNOTREADY: return L"The underlying network subsystem is not ready for network communication.";
    case WSAVERNOTSUPPORTED:
        return L"The version of Windows Sockets API support requested is not provided by this particular Windows "
               L"Sockets implementation.";
    default: return L"";
    }
}

void ClearRecordedError()
{
    delete state.recordedError;
    state.recordedError = nullptr;
}

// The window's procedure lives in this module: while the window exists the
// module holds a lock, so the host does not unload it under the window.
HWND CreateMessageWindow()
{
    state.windowHandle = CreateWindowExA(0, "STATIC", "SOCKET_WINDOW", 0, 0, 0, 0, 0, nullptr, nullptr,
                                         com::ModuleInstance(), nullptr);
    if (state.windowHandle) {
        com::LockModule(true);
        state.previousWindowProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
            state.windowHandle, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&SocketWindowProc)));
    }
    return state.windowHandle;
}

// Markers go with the window's queue.
void ForgetRetiredSockets()
{
    delete state.retiredSockets;
    state.retiredSockets = nullptr;
}

void RetireSocket(SOCKET handle)
{
    if (!PostMessageA(state.windowHandle, retiredMessage, static_cast<WPARAM>(handle), 0)) return;
    if (!state.retiredSockets) state.retiredSockets = new std::map<SOCKET, int>;
    ++(*state.retiredSockets)[handle];
}

void DispatchRetiredMarker(WPARAM wParam)
{
    if (!state.retiredSockets) return;
    auto found = state.retiredSockets->find(static_cast<SOCKET>(wParam));
    if (found == state.retiredSockets->end()) return;
    if (--found->second == 0) state.retiredSockets->erase(found);
    if (state.retiredSockets->empty()) ForgetRetiredSockets();
}

bool IsRetired(SOCKET handle) { return state.retiredSockets && state.retiredSockets->count(handle); }

bool DestroyMessageWindow();

// Withdraws a registry entry; the last one takes the registry, and the
// window unless a lookup has yet to complete there.
bool RemoveSocketEntry(Registry<SocketEventTarget*>::iterator entry)
{
    state.socketRegistry->erase(entry);
    if (!state.socketRegistry->empty()) return true;
    delete state.socketRegistry;
    state.socketRegistry = nullptr;
    return state.lookupRegistry || DestroyMessageWindow();
}

void FreeLookupBuffer(HGLOBAL buffer)
{
    GlobalFree(buffer);
    --state.lookupBuffers;
}

void RemoveLookupEntry(Registry<Lookup>::iterator entry)
{
    FreeLookupBuffer(entry->second.buffer);
    state.lookupRegistry->erase(entry);
    if (!state.lookupRegistry->empty()) return;
    delete state.lookupRegistry;
    state.lookupRegistry = nullptr;
}

// Only once no object, socket or lookup needs it: on Windows WSACleanup
// would also end the lookups still running, whose completions the window
// waits for.
void StopServiceWhenIdle()
{
    if (state.liveObjects > 0 || state.socketRegistry || state.lookupRegistry || !state.serviceStarted) return;
    WSACleanup();
    state.serviceStarted = false;
    ClearRecordedError();
}

// After the last lookup's completion: what stayed only for it goes.
void ReleaseIdleWindowAndService()
{
    if (state.socketRegistry || state.lookupRegistry) return;
    if (state.windowHandle) DestroyMessageWindow();
    StopServiceWhenIdle();
}

bool DestroyMessageWindow()
{
    SetLastError(0);
    if (!SetWindowLongPtrA(state.windowHandle, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(state.previousWindowProc)) &&
        GetLastError() != 0)
        return false;
    if (!DestroyWindow(state.windowHandle)) return false;
    state.windowHandle = nullptr;
    ForgetRetiredSockets();
    com::LockModule(false);
    return true;
}

void DispatchSocketNotification(WPARAM wParam, LPARAM lParam)
{
    if (!state.socketRegistry || IsRetired(static_cast<SOCKET>(wParam))) return;
    auto found = state.socketRegistry->find(KeyOf(static_cast<long long>(wParam), 'S'));
    if (found == state.socketRegistry->end()) return;
    SocketEventTarget* target = found->second;
    CallKeptAlive(*target,
                  [&] { target->PostSocketEvent(static_cast<SOCKET>(wParam), LoWord(lParam), HiWord(lParam)); });
}

void DispatchLookupCompletion(WPARAM wParam, LPARAM lParam)
{
    if (!state.lookupRegistry) return;
    auto found = state.lookupRegistry->find(KeyOf(static_cast<intptr_t>(wParam), 'R'));
    if (found == state.lookupRegistry->end()) return;
    const Lookup lookup = found->second;

    // Read the result and withdraw the lookup before the object sees it, so
    // the buffer and the entries go on every path, also when handling fails.
    const long error = HiWord(lParam);
    uint32_t address = 0;
    std::wstring name;
    if (lookup.target && error == 0) {
        const hostent* host = static_cast<const hostent*>(GlobalLock(lookup.buffer));
        if (host && host->h_addr_list && host->h_addr_list[0])
            address = *reinterpret_cast<const uint32_t*>(host->h_addr_list[0]);
        if (host) name = StringFromPointer(host->h_name);
        GlobalUnlock(lookup.buffer);
    }
    RemoveLookupEntry(found);
    // Only a lookup whose handle fits a 32-bit number has a target.
    if (lookup.target)
        CallKeptAlive(*lookup.target,
                      [&] { lookup.target->PostGetHostEvent(HandleToNumber(wParam), address, name, error); });
    ReleaseIdleWindowAndService();
}

} // namespace

long InitWinsockService()
{
    if (state.serviceStarted) {
        ++state.liveObjects;
        return state.maxUdpDatagram;
    }
    WSADATA data{};
    int result = WSAStartup(MAKEWORD(1, 1), &data);
    if (result != 0) {
        long lastError = WSAGetLastError();
        automation::Raise(lastError, L"MSocketSupport.InitWinsockService", StartupFailureText(result));
    }
    state.serviceStarted = true;
    state.liveObjects = 1;
    state.maxUdpDatagram = IntegerToUnsigned(data.iMaxUdpDg);
    const std::string base = ModuleBaseName();
    state.resolveMessage = RegisterWindowMessageA((base + ".ResolveMessage").c_str());
    state.winsockMessage = RegisterWindowMessageA((base + ".WinsockMessage").c_str());
    return state.maxUdpDatagram;
}

void CleanupWinsockService()
{
    if (state.liveObjects > 0) --state.liveObjects;
    StopServiceWhenIdle();
}

bool RegisterSocket(SOCKET handle, SocketEventTarget* target)
{
    const wchar_t source[] = L"MSocketSupport.RegisterSocket";
    ClearRecordedError();
    if (handle == INVALID_SOCKET) {
        // What OnConnectionRequest reports when accepting failed.
        RecordError(WSAENOTSOCK, source, GetErrorDescription(WSAENOTSOCK));
        return false;
    }
    if (!state.windowHandle && !CreateMessageWindow()) {
        RecordError(WSAEINTR, source, L"The operation was canceled.");
        return false;
    }
    if (!state.socketRegistry) state.socketRegistry = new Registry<SocketEventTarget*>;
    const auto [entry, added] = state.socketRegistry->emplace(KeyOf(static_cast<long long>(handle), 'S'), target);
    if (!added) {
        RecordError(457, source, L"This key is already associated with an element of this collection");
        return false;
    }
    if (WSAAsyncSelect(handle, state.windowHandle, state.winsockMessage, FD_ALL_NOTIFICATIONS) == SOCKET_ERROR) {
        long error = WSAGetLastError();
        // Withdraw the entry again: the caller closes the socket without
        // unregistering it. Nothing was asked for, so nothing is queued.
        RemoveSocketEntry(entry);
        RecordError(error, source, GetErrorDescription(error));
        return false;
    }
    return true;
}

bool UnregisterSocket(SOCKET handle, const SocketEventTarget* target)
{
    if (!state.socketRegistry || handle == INVALID_SOCKET) return false;
    const auto entry = state.socketRegistry->find(KeyOf(static_cast<long long>(handle), 'S'));
    if (entry == state.socketRegistry->end() || entry->second != target) return false;
    WSAAsyncSelect(handle, state.windowHandle, 0, 0);
    RetireSocket(handle);  // forgotten again if the window goes
    return RemoveSocketEntry(entry);
}

long ResolveHost(const std::wstring& name, SocketEventTarget* target)
{
    const wchar_t source[] = L"MSocketSupport.ResolveHost";
    ClearRecordedError();
    HGLOBAL buffer = GlobalAlloc(GMEM_FIXED, hostBufferSize);
    void* address = buffer ? GlobalLock(buffer) : nullptr;
    if (!address) {
        if (buffer) GlobalFree(buffer);
        RecordError(automation::errOutOfMemory, source, automation::RuntimeErrorText(automation::errOutOfMemory));
        return 0;
    }
    GlobalUnlock(buffer);  // fixed memory: the address stays valid
    ++state.lookupBuffers;

    const std::string narrowName = automation::NarrowOf(name);
    HANDLE request = WSAAsyncGetHostByName(state.windowHandle, state.resolveMessage, narrowName.c_str(),
                                           static_cast<char*>(address), static_cast<int>(hostBufferSize));
    if (!request) {
        long error = WSAGetLastError();
        FreeLookupBuffer(buffer);
        RecordError(error, source, GetErrorDescription(error));
        return 0;
    }
    if (!state.lookupRegistry) state.lookupRegistry = new Registry<Lookup>;
    Lookup& lookup = (*state.lookupRegistry)[KeyOf(reinterpret_cast<intptr_t>(request), 'R')];
    lookup = Lookup{nullptr, buffer};
    try {
        const long handle = HandleToNumber(reinterpret_cast<uintptr_t>(request));
        lookup.target = target;
        return handle;
    } catch (const automation::AutomationError& error) {
        // A handle no caller could name: the lookup runs on for no one.
        RecordError(error.number, source, error.description);
        return 0;
    }
}

void WithdrawLookup(long handle, const SocketEventTarget* target)
{
    if (!state.lookupRegistry || handle == 0) return;
    auto found = state.lookupRegistry->find(KeyOf(handle, 'R'));
    if (found == state.lookupRegistry->end() || found->second.target != target) return;
    found->second.target = nullptr;  // its completion only frees the buffer
}

void WithdrawLookups(const SocketEventTarget* target)
{
    if (!state.lookupRegistry) return;
    for (auto& [key, lookup] : *state.lookupRegistry)
        if (lookup.target == target) WithdrawLookup(std::stol(key), target);
}

HWND WindowHandle() { return state.windowHandle; }
UINT WinsockMessage() { return state.winsockMessage; }

void RecordError(long number, const std::wstring& source, const std::wstring& description)
{
    ClearRecordedError();
    state.recordedError = new automation::AutomationError{number, source, description};
}

void RaiseRecordedError()
{
    automation::AutomationError error;
    if (state.recordedError) error = *state.recordedError;
    else error = {5, L"", L"Invalid procedure call or argument"};
    throw error;
}

LRESULT CALLBACK SocketWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != state.winsockMessage && message != state.resolveMessage && message != retiredMessage)
        return CallWindowProcA(state.previousWindowProc, window, message, wParam, lParam);
    try {
        if (message == state.winsockMessage)
            DispatchSocketNotification(wParam, lParam);
        else if (message == state.resolveMessage)
            DispatchLookupCompletion(wParam, lParam);
        else
            DispatchRetiredMarker(wParam);
    } catch (...) {
        // Nothing escapes a window procedure.
    }
    return 0;
}

size_t RegisteredSocketCount() { return state.socketRegistry ? state.socketRegistry->size() : 0; }
std::vector<SOCKET> RegisteredSockets()
{
    std::vector<SOCKET> handles;
    if (!state.socketRegistry) return handles;
    for (const auto& entry : *state.socketRegistry) handles.push_back(static_cast<SOCKET>(std::stoll(entry.first)));
    return handles;
}

size_t PendingLookupCount() { return state.lookupRegistry ? state.lookupRegistry->size() : 0; }
size_t LookupBufferCount() { return state.lookupBuffers; }
bool ServiceStarted() { return state.serviceStarted; }

} // namespace velkomb::support
