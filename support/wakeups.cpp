#include "support/wakeups.h"
#include <map>
#include "component/com/module.h"

namespace velkomb::support {

// What the pool's callback needs, owned by the WakeOnSignal: it is freed
// only once the pool is done with it.
struct WakePosting {
    HWND window;
    uintptr_t id;
};

namespace {

constexpr UINT wakeMessage = WM_APP + 0x5E8;

// Per thread and trivially destructible: made by the first WakeOnSignal and
// freed with the last.
struct ThreadState {
    HWND window;
    long users;
    uintptr_t lastId;
    std::map<uintptr_t, WakeTarget*>* armed;
};

thread_local ThreadState state;

LRESULT CALLBACK WakeWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != wakeMessage) return DefWindowProcW(window, message, wParam, lParam);
    if (!state.armed) return 0;
    const auto found = state.armed->find(wParam);
    if (found == state.armed->end()) return 0;  // cancelled after it was posted
    WakeTarget* target = found->second;
    state.armed->erase(found);
    CallKeptAlive(*target, [&] { target->Woken(); });
    return 0;
}

// The window procedure lives in this module: the module stays locked while
// the window exists.
void CreateWakeWindow()
{
    state.window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                   com::ModuleInstance(), nullptr);
    if (!state.window) return;
    com::LockModule(true);
    SetWindowLongPtrW(state.window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WakeWindowProc));
    state.armed = new std::map<uintptr_t, WakeTarget*>;
}

void DestroyWakeWindow()
{
    delete state.armed;
    state.armed = nullptr;
    if (!state.window) return;
    DestroyWindow(state.window);
    state.window = nullptr;
    com::LockModule(false);
}

void CALLBACK PostWake(void* context, BOOLEAN)
{
    const auto* posting = static_cast<const WakePosting*>(context);
    PostMessageW(posting->window, wakeMessage, posting->id, 0);
}

} // namespace

WakeOnSignal::WakeOnSignal(WakeTarget* target) : target_(target)
{
    if (state.users++ == 0) CreateWakeWindow();
}

WakeOnSignal::~WakeOnSignal()
{
    Cancel();
    if (--state.users == 0) DestroyWakeWindow();
}

void WakeOnSignal::Arm(HANDLE handle)
{
    Cancel();
    if (!state.window) return;
    posting_ = new WakePosting{state.window, ++state.lastId};
    if (!RegisterWaitForSingleObject(&wait_, handle, &PostWake, posting_, INFINITE, WT_EXECUTEONLYONCE)) {
        delete posting_;
        posting_ = nullptr;
        wait_ = nullptr;
        return;
    }
    (*state.armed)[posting_->id] = target_;
}

void WakeOnSignal::Cancel()
{
    if (!wait_) return;
    UnregisterWaitEx(wait_, INVALID_HANDLE_VALUE);
    state.armed->erase(posting_->id);
    delete posting_;
    posting_ = nullptr;
    wait_ = nullptr;
}

size_t ArmedWakeCount() { return state.armed ? state.armed->size() : 0; }

} // namespace velkomb::support
