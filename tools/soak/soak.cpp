// Soak: one VelkoMB runs many transactions against the device simulator on
// 127.0.0.1:502 (reconnecting now and then) and reports the process's private
// bytes, handles and GDI/USER objects after a warm-up and at the end.
//   soak.exe TRANSACTIONS [MAX_PRIVATE_KB MAX_HANDLES MAX_GUI_OBJECTS]
// With bounds it fails (exit 1) when any figure grew by more than its bound,
// and always when a transaction did not decode as expected.
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>
#include <cstdio>
#include <cstdlib>
#include <string>
#include "automation/bstr.h"
#include "automation/safearray.h"
#include "client/velkomb.h"

namespace {

constexpr long kWarmUp = 1000;
constexpr long kReconnectEvery = 5000;

struct Figures {
    long long privateBytes;
    long long handles;
    long long gdiObjects;
    long long userObjects;
};

// Wine reports no private bytes, handle count or GUI objects (all 0); where
// a figure reads 0 it is counted instead: committed private memory, valid
// handle values, and the process's windows.
long long CommittedPrivateBytes()
{
    long long total = 0;
    MEMORY_BASIC_INFORMATION region;
    for (const char* at = nullptr; VirtualQuery(at, &region, sizeof region) == sizeof region;
         at = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
    }
    return total;
}

long long ValidHandles()
{
    long long count = 0;
    DWORD flags;
    for (ULONG_PTR value = 4; value <= 65536; value += 4)
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    return count;
}

BOOL CALLBACK CountOwnWindow(HWND window, LPARAM count)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId()) ++*reinterpret_cast<long long*>(count);
    return TRUE;
}

long long OwnWindows()
{
    long long count = 0;
    EnumWindows(CountOwnWindow, reinterpret_cast<LPARAM>(&count));
    return count;
}

Figures Measure()
{
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory);
    DWORD handles = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handles);
    const DWORD user = GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS);
    return {memory.PrivateUsage ? static_cast<long long>(memory.PrivateUsage) : CommittedPrivateBytes(),
            handles ? handles : ValidHandles(), GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS),
            user ? user : OwnWindows()};
}

void Print(const char* when, long transactions, const Figures& f)
{
    std::printf("soak %s (%ld transactions): private bytes %lld, handles %lld, GDI objects %lld, USER objects %lld\n",
                when, transactions, f.privateBytes, f.handles, f.gdiObjects, f.userObjects);
    std::fflush(stdout);
}

void Pump(DWORD milliseconds)
{
    const ULONGLONG end = GetTickCount64() + milliseconds;
    while (GetTickCount64() < end) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
    }
}

class SoakClient {
public:
    SoakClient()
    {
        velkomb::client::VelkoMB* created = velkomb::client::VelkoMB::Create();
        created->QueryInterface(velkomb::IID__VelkoMB, reinterpret_cast<void**>(&mb_));
        created->Release();
        Set(&velkomb::_VelkoMB::put_IPAddress, L"127.0.0.1");
        Set(&velkomb::_VelkoMB::put_ResponseWatchdog, L"3");
    }
    ~SoakClient() { mb_->Release(); }

    bool Connect()
    {
        if (FAILED(mb_->Connect())) return false;
        for (int i = 0; i < 3000 && State() != L"7"; ++i) Pump(1);
        return State() == L"7";
    }

    // One transaction of a rotating kind; true when it decoded as expected.
    bool Transact(long n)
    {
        static const wchar_t* const codes[] = {L"3", L"4", L"1", L"16"};
        const wchar_t* code = codes[n % 4];
        Set(&velkomb::_VelkoMB::put_MBFunCode, code);
        Set(&velkomb::_VelkoMB::put_StartAddress, std::to_wstring(n % 90));
        Set(&velkomb::_VelkoMB::put_NrRegisters, L"10");
        if (n % 4 == 3) Write(n);
        return mb_->Execute() == S_OK && Text(&velkomb::_VelkoMB::get_WatchdogError) == L"0" &&
               Text(&velkomb::_VelkoMB::get_ErrCode) == code;
    }

private:
    void Set(HRESULT (STDMETHODCALLTYPE velkomb::_VelkoMB::*put)(BSTR*), const std::wstring& text)
    {
        automation::Bstr value(text);
        BSTR raw = value.get();
        (mb_->*put)(&raw);
    }
    std::wstring Text(HRESULT (STDMETHODCALLTYPE velkomb::_VelkoMB::*get)(BSTR*))
    {
        automation::Bstr value;
        (mb_->*get)(value.out());
        return value.str();
    }
    std::wstring State()
    {
        mb_->SockDiag();
        return Text(&velkomb::_VelkoMB::get_ConnState);
    }
    // Two registers above the ones the simulator keeps fixed.
    void Write(long n)
    {
        Set(&velkomb::_VelkoMB::put_StartWAddress, L"150");
        Set(&velkomb::_VelkoMB::put_NrWRegisters, L"2");
        automation::Variant values = automation::VariantArray(1);
        for (long i = 0; i < 2; ++i) {
            VARIANT v;
            V_VT(&v) = VT_I4;
            V_I4(&v) = (n + i) % 65536;
            automation::PutElement(*values.get(), i, v);
        }
        mb_->put_arwWReg(values.get());
    }

    velkomb::_VelkoMB* mb_ = nullptr;
};

// Runs `count` transactions from number `first`; the number that failed.
long Run(SoakClient& client, long first, long count)
{
    long failures = 0;
    for (long n = first; n < first + count; ++n) {
        if (n % kReconnectEvery == 0 && !client.Connect()) ++failures;
        if (!client.Transact(n)) ++failures;
    }
    return failures;
}

bool Within(const char* what, long long grown, long long bound)
{
    if (grown <= bound) return true;
    std::printf("soak FAILED: %s grew by %lld, more than %lld\n", what, grown, bound);
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    const long transactions = argc > 1 ? std::atol(argv[1]) : 1000000;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    WSADATA winsock;
    WSAStartup(MAKEWORD(2, 2), &winsock);
    long failures = 0;
    Figures start{}, end{};
    {
        SoakClient client;
        failures += Run(client, 0, kWarmUp);
        start = Measure();
        Print("start", kWarmUp, start);
        failures += Run(client, kWarmUp, transactions);
        end = Measure();
        Print("end", kWarmUp + transactions, end);
    }
    WSACleanup();
    CoUninitialize();
    std::printf("soak: %ld of %ld transactions failed\n", failures, kWarmUp + transactions);
    bool ok = failures == 0;
    if (argc > 4) {
        ok &= Within("private bytes (KB)", (end.privateBytes - start.privateBytes) / 1024, std::atoll(argv[2]));
        ok &= Within("handle count", end.handles - start.handles, std::atoll(argv[3]));
        ok &= Within("GDI objects", end.gdiObjects - start.gdiObjects, std::atoll(argv[4]));
        ok &= Within("USER objects", end.userObjects - start.userObjects, std::atoll(argv[4]));
    }
    return ok ? 0 : 1;
}
