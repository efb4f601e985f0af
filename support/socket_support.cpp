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

// Keyed by a number in decimal text followed by a letter: "1234S" for socket
// handle 1234, "5R" for lookup handle 5.
template <class Value>
using Registry = std::map<std::string, Value>;

std::string KeyOf(long long number, char letter) { return std::to_string(number) + letter; }

struct Lookup {
    SocketEventTarget* target;  // null once the object has gone
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
    bool serviceStarted;
    long maxUdpDatagram;
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

HWND CreateMessageWindow()
{
    state.windowHandle = CreateWindowExA(0, "STATIC", "SOCKET_WINDOW", 0, 0, 0, 0, 0, nullptr, nullptr,
                                         com::ModuleInstance(), nullptr);
    if (state.windowHandle) {
        state.previousWindowProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
            state.windowHandle, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&SocketWindowProc)));
    }
    return state.windowHandle;
}

// A cancel need not take (Wine's does nothing): the platform may still write
// the result into the buffer, so a withdrawn lookup's buffer is freed only by
// its completion.
void CancelLookup(long handle) { WSACancelAsyncRequest(reinterpret_cast<HANDLE>(NumberToHandle(handle))); }

void ReleaseEmptyLookupRegistry()
{
    if (state.lookupRegistry && state.lookupRegistry->empty()) {
        delete state.lookupRegistry;
        state.lookupRegistry = nullptr;
    }
}

// Cancels every lookup whose completion could no longer arrive. Their
// buffers stay allocated: a late result must not land in freed memory.
void WithdrawAllLookups()
{
    if (!state.lookupRegistry) return;
    for (auto& [key, lookup] : *state.lookupRegistry) CancelLookup(std::stol(key));
    state.lookupRegistry->clear();
    ReleaseEmptyLookupRegistry();
}

bool DestroyMessageWindow()
{
    WithdrawAllLookups();
    SetLastError(0);
    if (!SetWindowLongPtrA(state.windowHandle, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(state.previousWindowProc)) &&
        GetLastError() != 0)
        return false;
    if (!DestroyWindow(state.windowHandle)) return false;
    state.windowHandle = nullptr;
    return true;
}

void DispatchSocketNotification(WPARAM wParam, LPARAM lParam)
{
    if (!state.socketRegistry) return;
    auto found = state.socketRegistry->find(KeyOf(static_cast<long long>(wParam), 'S'));
    if (found == state.socketRegistry->end()) return;
    SocketEventTarget* target = found->second;
    target->KeepAlive();
    try {
        target->PostSocketEvent(static_cast<SOCKET>(wParam), LoWord(lParam), HiWord(lParam));
    } catch (...) {
        // Failures of notification handling reach no caller.
    }
    target->LetGo();
}

void DispatchLookupCompletion(WPARAM wParam, LPARAM lParam)
{
    long error = HiWord(lParam);
    if (!state.lookupRegistry) return;
    // Only lookups whose handle fits a 32-bit number are registered.
    auto found = state.lookupRegistry->find(KeyOf(static_cast<intptr_t>(wParam), 'R'));
    if (found == state.lookupRegistry->end()) return;
    Lookup lookup = found->second;
    const long handle = HandleToNumber(wParam);

    // Read the result and withdraw the lookup before the object sees it, so
    // the buffer and the entries go on every path, also when handling fails.
    uint32_t address = 0;
    std::wstring name;
    if (error == 0) {
        const hostent* host = static_cast<const hostent*>(GlobalLock(lookup.buffer));
        if (host && host->h_addr_list && host->h_addr_list[0])
            address = *reinterpret_cast<const uint32_t*>(host->h_addr_list[0]);
        if (host) name = StringFromPointer(host->h_name);
        GlobalUnlock(lookup.buffer);
    }
    GlobalFree(lookup.buffer);
    state.lookupRegistry->erase(found);
    ReleaseEmptyLookupRegistry();
    if (!lookup.target) return;

    lookup.target->KeepAlive();
    try {
        if (error != 0)
            lookup.target->PostGetHostEvent(0, 0, L"", error);
        else
            lookup.target->PostGetHostEvent(handle, address, name, 0);
    } catch (...) {
        // Failures of notification handling reach no caller.
    }
    lookup.target->LetGo();
}

} // namespace

long InitWinsockService()
{
    if (state.serviceStarted) return state.maxUdpDatagram;
    WSADATA data{};
    int result = WSAStartup(MAKEWORD(1, 1), &data);
    if (result != 0) {
        long lastError = WSAGetLastError();
        automation::Raise(lastError, L"MSocketSupport.InitWinsockService", StartupFailureText(result));
    }
    state.serviceStarted = true;
    state.maxUdpDatagram = IntegerToUnsigned(data.iMaxUdpDg);
    const std::string base = ModuleBaseName();
    state.resolveMessage = RegisterWindowMessageA((base + ".ResolveMessage").c_str());
    state.winsockMessage = RegisterWindowMessageA((base + ".WinsockMessage").c_str());
    return state.maxUdpDatagram;
}

void CleanupWinsockService()
{
    if (state.socketRegistry || !state.serviceStarted) return;
    WSACleanup();
    state.serviceStarted = false;
    delete state.recordedError;
    state.recordedError = nullptr;
}

bool RegisterSocket(SOCKET handle, SocketEventTarget* target)
{
    const wchar_t source[] = L"MSocketSupport.RegisterSocket";
    if (!state.windowHandle && !CreateMessageWindow()) {
        RecordError(WSAEINTR, source, L"The operation was canceled.");
        return false;
    }
    if (!state.socketRegistry) state.socketRegistry = new Registry<SocketEventTarget*>;
    const std::string key = KeyOf(static_cast<long long>(handle), 'S');
    if (!state.socketRegistry->emplace(key, target).second) {
        RecordError(457, source, L"This key is already associated with an element of this collection");
        return false;
    }
    if (WSAAsyncSelect(handle, state.windowHandle, state.winsockMessage, FD_ALL_NOTIFICATIONS) == SOCKET_ERROR) {
        long error = WSAGetLastError();
        // Withdraw the entry again: the caller closes the socket without
        // unregistering it.
        UnregisterSocket(handle);
        RecordError(error, source, GetErrorDescription(error));
        return false;
    }
    return true;
}

bool UnregisterSocket(SOCKET handle)
{
    if (!state.socketRegistry || handle == INVALID_SOCKET) return false;
    WSAAsyncSelect(handle, state.windowHandle, 0, 0);
    if (state.socketRegistry->erase(KeyOf(static_cast<long long>(handle), 'S')) == 0)
        automation::Raise(5, L"MSocketSupport.UnregisterSocket", L"Invalid procedure call or argument");
    if (!state.socketRegistry->empty()) return true;
    delete state.socketRegistry;
    state.socketRegistry = nullptr;
    return DestroyMessageWindow();
}

long ResolveHost(const std::wstring& name, SocketEventTarget* target)
{
    HGLOBAL buffer = GlobalAlloc(GMEM_FIXED, hostBufferSize);
    if (!buffer) return 0;
    void* address = GlobalLock(buffer);
    if (!address) {
        GlobalFree(buffer);
        return 0;
    }
    GlobalUnlock(buffer);  // fixed memory: the address stays valid

    const std::string narrowName = automation::NarrowOf(name);
    HANDLE request = WSAAsyncGetHostByName(state.windowHandle, state.resolveMessage, narrowName.c_str(),
                                           static_cast<char*>(address), static_cast<int>(hostBufferSize));
    if (!request) {
        long error = WSAGetLastError();
        GlobalFree(buffer);
        RecordError(error, L"MSocketSupport.ResolveHost", GetErrorDescription(error));
        return 0;
    }
    long handle = 0;
    try {
        handle = HandleToNumber(reinterpret_cast<uintptr_t>(request));
    } catch (const automation::AutomationError& error) {
        // Its completion would find no entry and free nothing: the buffer is
        // kept for the platform to write into.
        WSACancelAsyncRequest(request);
        RecordError(error.number, L"MSocketSupport.ResolveHost", error.description);
        return 0;
    }
    if (!state.lookupRegistry) state.lookupRegistry = new Registry<Lookup>;
    state.lookupRegistry->insert_or_assign(KeyOf(handle, 'R'), Lookup{target, buffer});
    return handle;
}

void WithdrawLookups(SocketEventTarget* target)
{
    if (!state.lookupRegistry) return;
    for (auto& [key, lookup] : *state.lookupRegistry) {
        if (lookup.target != target) continue;
        CancelLookup(std::stol(key));
        lookup.target = nullptr;  // its completion only frees the buffer
    }
}

HWND WindowHandle() { return state.windowHandle; }
UINT WinsockMessage() { return state.winsockMessage; }

void RecordError(long number, const std::wstring& source, const std::wstring& description)
{
    delete state.recordedError;
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
    if (message != state.winsockMessage && message != state.resolveMessage)
        return CallWindowProcA(state.previousWindowProc, window, message, wParam, lParam);
    try {
        if (message == state.winsockMessage)
            DispatchSocketNotification(wParam, lParam);
        else
            DispatchLookupCompletion(wParam, lParam);
    } catch (...) {
        // Nothing escapes a window procedure.
    }
    return 0;
}

size_t RegisteredSocketCount() { return state.socketRegistry ? state.socketRegistry->size() : 0; }
size_t PendingLookupCount() { return state.lookupRegistry ? state.lookupRegistry->size() : 0; }
bool ServiceStarted() { return state.serviceStarted; }

} // namespace velkomb::support
