// VelkoMB end to end against device servers on 127.0.0.1:502: the real ones
// (a pymodbus and a libmodbus server, same register map) and a scriptable
// fake device for what real devices rarely do.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>
#include <functional>
#include <string>
#include <vector>
#include "automation/bstr.h"
#include "automation/safearray.h"
#include "client/velkomb.h"

using velkomb::client::VelkoMB;

namespace {

struct ComApartment : ::testing::Environment {
    void SetUp() override
    {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    void TearDown() override
    {
        WSACleanup();
        CoUninitialize();
    }
};
const auto* apartment = ::testing::AddGlobalTestEnvironment(new ComApartment);

void Pump(DWORD milliseconds)
{
    const ULONGLONG end = GetTickCount64() + milliseconds;
    for (ULONGLONG now = GetTickCount64(); now < end; now = GetTickCount64()) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
    }
}

// Counts NewDataIn and records what Execute had not yet returned from.
struct NewDataSink : IDispatch {
    int events = 0;
    std::function<void()> onEvent;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, velkomb::DIID___VelkoMB)) {
            *out = this;
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override { *n = 0; return S_OK; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        if (id == velkomb::DISPID_NewDataIn) {
            ++events;
            if (onEvent) onEvent();
        }
        return S_OK;
    }
};

// A client as a host drives it, through its dual interface.
class Client {
public:
    Client()
    {
        VelkoMB* created = VelkoMB::Create();
        created->QueryInterface(velkomb::IID__VelkoMB, reinterpret_cast<void**>(&mb_));
        created->Release();
        IConnectionPointContainer* container = nullptr;
        mb_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
        container->FindConnectionPoint(velkomb::DIID___VelkoMB, &point_);
        container->Release();
        point_->Advise(&sink, &cookie_);
        Set(&velkomb::_VelkoMB::put_IPAddress, L"127.0.0.1");
        Set(&velkomb::_VelkoMB::put_ResponseWatchdog, L"3");
    }
    ~Client()
    {
        point_->Unadvise(cookie_);
        point_->Release();
        mb_->Release();
    }

    velkomb::_VelkoMB* operator->() { return mb_; }

    HRESULT Set(HRESULT (STDMETHODCALLTYPE velkomb::_VelkoMB::*put)(BSTR*), const wchar_t* text)
    {
        automation::Bstr value(text);
        BSTR raw = value.get();
        return (mb_->*put)(&raw);
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
    bool ConnectAndWait()
    {
        if (FAILED(mb_->Connect())) return false;
        for (int i = 0; i < 100 && State() != L"7"; ++i) Pump(20);
        return State() == L"7";
    }
    void Request(const wchar_t* code, const wchar_t* start, const wchar_t* count)
    {
        Set(&velkomb::_VelkoMB::put_MBFunCode, code);
        Set(&velkomb::_VelkoMB::put_StartAddress, start);
        Set(&velkomb::_VelkoMB::put_NrRegisters, count);
    }
    void Write(const wchar_t* code, const wchar_t* start, std::vector<long> values)
    {
        Set(&velkomb::_VelkoMB::put_MBFunCode, code);
        Set(&velkomb::_VelkoMB::put_StartWAddress, start);
        Set(&velkomb::_VelkoMB::put_NrWRegisters, std::to_wstring(values.size()).c_str());
        automation::Variant array = automation::VariantArray(static_cast<long>(values.size()) - 1);
        for (size_t i = 0; i < values.size(); ++i) {
            VARIANT v;
            V_VT(&v) = VT_I4;
            V_I4(&v) = values[i];
            automation::PutElement(*array.get(), static_cast<long>(i), v);
        }
        mb_->put_arwWReg(array.get());
    }
    // Elements 1.. of arwReg as numbers (-1 for Empty).
    std::vector<long> Values()
    {
        automation::Variant reg;
        mb_->get_arwReg(reg.get());
        std::vector<long> values;
        if (!(reg.type() & VT_ARRAY)) return values;
        LONG upper = -1;
        SafeArrayGetUBound(V_ARRAY(reg.get()), 1, &upper);
        for (long i = 1; i <= upper; ++i) {
            automation::Variant element = automation::ElementOf(*reg.get(), i);
            VARIANT number;
            VariantInit(&number);
            values.push_back(SUCCEEDED(VariantChangeType(&number, element.get(), 0, VT_I4)) && !element.isEmpty()
                                 ? V_I4(&number) : -1);
        }
        return values;
    }

    NewDataSink sink;

private:
    velkomb::_VelkoMB* mb_ = nullptr;
    IConnectionPoint* point_ = nullptr;
    DWORD cookie_ = 0;
};

std::vector<long> Range(long first, long count, long step = 1)
{
    std::vector<long> values;
    for (long i = 0; i < count; ++i) values.push_back(first + i * step);
    return values;
}

TEST(RealDevice, ReadsEveryTableAndWritesReadBack)
{
    Client mb;
    ASSERT_TRUE(mb.ConnectAndWait());

    mb.Request(L"3", L"0", L"10");
    int before = mb.sink.events;
    ASSERT_EQ(mb->Execute(), S_OK);
    EXPECT_EQ(mb.sink.events, before + 1) << "NewDataIn before Execute returns";
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"0");
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ErrCode), L"3");
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ExceptCode), L"0");
    EXPECT_EQ(mb.Values(), Range(1000, 10));

    mb.Request(L"4", L"5", L"3");
    mb->Execute();
    EXPECT_EQ(mb.Values(), Range(2005, 3));

    mb.Request(L"1", L"0", L"10");
    mb->Execute();
    std::vector<long> coils = mb.Values();
    ASSERT_EQ(coils.size(), 16u);  // two bytes of coils
    for (long i = 0; i < 10; ++i) EXPECT_EQ(coils[i], i % 3 == 0 ? 1 : 0) << i;

    mb.Request(L"2", L"0", L"8");
    mb->Execute();
    EXPECT_EQ(mb.Values(), std::vector<long>({1, 0, 1, 0, 1, 0, 1, 0}));

    mb.Write(L"6", L"50", {4242});
    mb->Execute();
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ErrCode), L"6");
    mb.Write(L"16", L"51", {65535, 7});
    mb->Execute();
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ErrCode), L"16");
    mb.Request(L"3", L"50", L"3");
    mb->Execute();
    EXPECT_EQ(mb.Values(), std::vector<long>({4242, 65535, 7}));

    mb.Write(L"5", L"20", {65280});
    mb->Execute();
    mb.Write(L"15", L"21", {1, 1, 0, 1});
    mb->Execute();
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ErrCode), L"15");
    mb.Request(L"1", L"20", L"5");
    mb->Execute();
    std::vector<long> written = mb.Values();
    ASSERT_GE(written.size(), 5u);
    EXPECT_EQ(std::vector<long>(written.begin(), written.begin() + 5), std::vector<long>({1, 1, 1, 0, 1}));

    mb.Write(L"23", L"70", {321});
    mb.Request(L"23", L"70", L"2");
    mb.Set(&velkomb::_VelkoMB::put_MBFunCode, L"23");
    mb->Execute();
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ErrCode), L"23");
    EXPECT_EQ(mb.Values(), std::vector<long>({321, 1071}));
}

TEST(RealDevice, ExceptionReplyKeepsTheLastValues)
{
    Client mb;
    ASSERT_TRUE(mb.ConnectAndWait());
    mb.Request(L"3", L"0", L"2");
    mb->Execute();
    mb.Request(L"3", L"250", L"2");
    int before = mb.sink.events;
    mb->Execute();
    EXPECT_EQ(mb.sink.events, before + 1);
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ErrCode), L"131");
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ExceptCode), L"2");
    EXPECT_EQ(mb.Values(), Range(1000, 2));
    mb.Request(L"3", L"1", L"1");
    mb->Execute();
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ExceptCode), L"0");
}

TEST(RealDevice, DisconnectClosesGracefullyAndConnectComesBack)
{
    Client mb;
    ASSERT_TRUE(mb.ConnectAndWait());
    ASSERT_EQ(mb->Disconnect(), S_OK);
    EXPECT_EQ(mb.State(), L"8");
    for (int i = 0; i < 100 && mb.State() != L"0"; ++i) Pump(20);
    EXPECT_EQ(mb.State(), L"0");
    // Nothing is sent while disconnected.
    mb.Request(L"3", L"0", L"1");
    EXPECT_EQ(mb->Execute(), S_OK);
    ASSERT_TRUE(mb.ConnectAndWait());
    mb->Execute();
    EXPECT_EQ(mb.Values(), Range(1000, 1));
    // Connect while connected makes way for the new connection.
    ASSERT_TRUE(mb.ConnectAndWait());
    mb.Request(L"3", L"2", L"1");
    mb->Execute();
    EXPECT_EQ(mb.Values(), Range(1002, 1));
}

TEST(RealDevice, BadSettingsRaiseAndLeaveTheClientReady)
{
    Client mb;
    ASSERT_TRUE(mb.ConnectAndWait());
    mb.Request(L"abc", L"0", L"1");
    EXPECT_EQ(mb->Execute(), static_cast<HRESULT>(0x800A000D));
    mb.Request(L"3", L"65536", L"1");
    EXPECT_EQ(mb->Execute(), static_cast<HRESULT>(0x800A0006));
    mb.Write(L"16", L"0", {1});
    mb.Set(&velkomb::_VelkoMB::put_NrWRegisters, L"3");  // more than the array holds
    EXPECT_EQ(mb->Execute(), static_cast<HRESULT>(0x800A0009));
    // Nothing was outstanding: the next request goes out.
    mb.Request(L"3", L"3", L"1");
    EXPECT_EQ(mb->Execute(), S_OK);
    EXPECT_EQ(mb.Values(), Range(1003, 1));
    mb.Set(&velkomb::_VelkoMB::put_ResponseWatchdog, L"256");
    EXPECT_EQ(mb->Execute(), static_cast<HRESULT>(0x800A0006));
}

TEST(RealDevice, WriteArrayIsCopiedWhenSet)
{
    Client mb;
    ASSERT_TRUE(mb.ConnectAndWait());
    mb.Set(&velkomb::_VelkoMB::put_MBFunCode, L"16");
    mb.Set(&velkomb::_VelkoMB::put_StartWAddress, L"80");
    mb.Set(&velkomb::_VelkoMB::put_NrWRegisters, L"2");
    automation::Variant array = automation::VariantArray(1);
    VARIANT v;
    V_VT(&v) = VT_I4;
    V_I4(&v) = 11;
    automation::PutElement(*array.get(), 0, v);
    automation::PutElement(*array.get(), 1, v);
    // The host passes its own variable by reference, then changes it.
    VARIANT byRef;
    V_VT(&byRef) = VT_VARIANT | VT_BYREF;
    V_VARIANTREF(&byRef) = array.get();
    ASSERT_EQ(mb->put_arwWReg(&byRef), S_OK);
    V_I4(&v) = 99;
    automation::PutElement(*array.get(), 1, v);
    mb->Execute();
    mb.Request(L"3", L"80", L"2");
    mb->Execute();
    EXPECT_EQ(mb.Values(), std::vector<long>({11, 11}));
    // arwReg hands out copies too.
    automation::Variant first, second;
    mb->get_arwReg(first.get());
    automation::PutElement(*first.get(), 1, v);
    mb->get_arwReg(second.get());
    EXPECT_EQ(V_I2(automation::ElementOf(*second.get(), 1).get()), 11);
}

TEST(RealDevice, QuitRequestedDuringTheWaitReachesTheHost)
{
    Client mb;
    ASSERT_TRUE(mb.ConnectAndWait());
    PostQuitMessage(7);
    mb.Request(L"3", L"0", L"1");
    ASSERT_EQ(mb->Execute(), S_OK);
    EXPECT_EQ(mb.Values(), Range(1000, 1));
    MSG message;
    ASSERT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(message.wParam, 7u);
}

// --- The fake device, switched through its control port ---

void Control(const std::string& options)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(5020);
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    ASSERT_EQ(connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    std::string line = options + "\n";
    send(s, line.data(), static_cast<int>(line.size()), 0);
    char answer[16] = {};
    recv(s, answer, sizeof answer - 1, 0);
    closesocket(s);
    ASSERT_EQ(std::string(answer), "OK\n") << options;
}

class FakeDevice : public ::testing::Test {
protected:
    void SetUp() override { Control("--mode normal"); }
    void TearDown() override { Control("--mode normal"); }
};

TEST_F(FakeDevice, SplitReplyIsDecodedWhole)
{
    Client mb;
    ASSERT_TRUE(mb.ConnectAndWait());
    // The last one delivers the 15-byte reply one byte at a time.
    for (const char* cuts : {"1,8,9", "7,8", "9,10,11,12", "3", "1,2,3,4,5,6,7,8,9,10,11,12,13,14"}) {
        Control(std::string("--mode split --pause 0.02 --split-at ") + cuts);
        mb.Request(L"3", L"10", L"3");
        int before = mb.sink.events;
        mb->Execute();
        EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"0") << cuts;
        EXPECT_EQ(mb.sink.events, before + 1) << cuts;
        EXPECT_EQ(mb.Values(), Range(1010, 3)) << cuts;
    }
}

TEST_F(FakeDevice, MergedRepliesDecodeOnlyTheFirst)
{
    Client mb;
    ASSERT_TRUE(mb.ConnectAndWait());
    Control("--mode merged");
    mb.Request(L"3", L"0", L"2");
    mb->Execute();
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ExceptCode), L"0");
    EXPECT_EQ(mb.Values(), Range(1000, 2));
}

TEST_F(FakeDevice, SilenceEndsInTheWatchdogAndTheNextRequestRecovers)
{
    Client mb;
    mb.Set(&velkomb::_VelkoMB::put_ResponseWatchdog, L"1");
    ASSERT_TRUE(mb.ConnectAndWait());
    Control("--mode silent");
    mb.Request(L"3", L"0", L"1");
    const ULONGLONG start = GetTickCount64();
    mb->Execute();
    const ULONGLONG waited = GetTickCount64() - start;
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"1");
    EXPECT_GE(waited, 1000u);
    EXPECT_LT(waited, 3000u);
    // A reply that never completes ends the same way.
    Control("--mode truncated --length 10");
    mb->Execute();
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"1");
    Control("--mode normal");
    mb.Request(L"3", L"4", L"1");
    mb->Execute();
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"0");
}

TEST_F(FakeDevice, LateReplyIsNotTakenForTheNextOne)
{
    Client mb;
    mb.Set(&velkomb::_VelkoMB::put_ResponseWatchdog, L"1");
    ASSERT_TRUE(mb.ConnectAndWait());
    Control("--mode delay --delay 1.5");
    mb.Request(L"3", L"0", L"1");
    mb->Execute();
    ASSERT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"1");
    Control("--mode normal");
    Sleep(1500);  // the late reply is waiting, not yet handled
    mb.Request(L"3", L"100", L"1");
    mb->Execute();
    EXPECT_EQ(mb.Values(), Range(1100, 1));
}

TEST_F(FakeDevice, ResetMidReplyLeavesAClientThatReconnects)
{
    Client mb;
    mb.Set(&velkomb::_VelkoMB::put_ResponseWatchdog, L"1");
    ASSERT_TRUE(mb.ConnectAndWait());
    Control("--mode reset-mid-reply --length 8 --pause 0.05");
    mb.Request(L"3", L"0", L"1");
    mb->Execute();
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"1");
    // Wine reports a reset after data as a close without error, Windows as
    // error 10054: either way the connection is gone.
    EXPECT_NE(mb.State(), L"7");
    Control("--mode normal");
    ASSERT_TRUE(mb.ConnectAndWait());
    mb->Execute();
    EXPECT_EQ(mb.Values(), Range(1000, 1));
}

TEST_F(FakeDevice, NestedExecuteInsideNewDataInReturnsAtOnce)
{
    Client mb;
    ASSERT_TRUE(mb.ConnectAndWait());
    HRESULT nested = E_FAIL;
    mb.sink.onEvent = [&] {
        mb.sink.onEvent = nullptr;
        nested = mb->Execute();  // the reply was handled: this one is a real request
    };
    mb.Request(L"3", L"0", L"1");
    mb->Execute();
    EXPECT_EQ(nested, S_OK);
    EXPECT_EQ(mb.Values(), Range(1000, 1));
}

} // namespace
