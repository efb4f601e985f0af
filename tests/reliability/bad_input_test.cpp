// Bad input from the host, through IDispatch as scripts call: every
// property and method argument of both classes fed every kind of variant.
// Each call must end in S_OK or an automation error a host can show, never
// in a crash or an unexpected failure.
#include <gtest/gtest.h>
#include <windows.h>
#include <atomic>
#include <cmath>
#include <new>
#include <string>
#include <vector>
#include "automation/bstr.h"
#include "automation/safearray.h"
#include "automation/variant.h"
#include "client/velkomb.h"
#include "component/com/module.h"
#include "socket/csocket.h"
#include "tests/support/test_support.h"

namespace {

// Running out of memory on demand: with a count set, the allocation that
// brings it to zero fails.
std::atomic<long> allocationsUntilFailure{0};

} // namespace

void* operator new(std::size_t size)
{
    if (allocationsUntilFailure > 0 && --allocationsUntilFailure == 0) throw std::bad_alloc();
    if (void* memory = HeapAlloc(GetProcessHeap(), 0, size ? size : 1)) return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { HeapFree(GetProcessHeap(), 0, memory); }
void operator delete(void* memory, std::size_t) noexcept { HeapFree(GetProcessHeap(), 0, memory); }

namespace {

using automation::Variant;

Variant Of(VARTYPE type, auto set)
{
    Variant v;
    V_VT(v.get()) = type;
    set(*v.get());
    return v;
}

Variant Text(const wchar_t* text)
{
    return Of(VT_BSTR, [&](VARIANT& v) { V_BSTR(&v) = SysAllocString(text); });
}

// A variant array with the given bounds per dimension, elements 7.
Variant Array(std::vector<SAFEARRAYBOUND> bounds)
{
    SAFEARRAY* array = SafeArrayCreate(VT_VARIANT, static_cast<UINT>(bounds.size()), bounds.data());
    std::vector<LONG> index(bounds.size());
    for (size_t d = 0; d < bounds.size(); ++d) index[d] = bounds[d].lLbound;
    VARIANT seven;
    V_VT(&seven) = VT_I2;
    V_I2(&seven) = 7;
    SafeArrayPutElement(array, index.data(), &seven);
    return Of(VT_ARRAY | VT_VARIANT, [&](VARIANT& v) { V_ARRAY(&v) = array; });
}

std::vector<Variant> HostileValues(IDispatch* someObject)
{
    std::vector<Variant> values;
    values.emplace_back();  // Empty
    values.push_back(Of(VT_NULL, [](VARIANT&) {}));
    values.push_back(Of(VT_ERROR, [](VARIANT& v) { V_ERROR(&v) = DISP_E_PARAMNOTFOUND; }));
    values.push_back(Of(VT_ERROR, [](VARIANT& v) { V_ERROR(&v) = E_FAIL; }));
    values.push_back(Of(VT_DISPATCH, [&](VARIANT& v) { V_DISPATCH(&v) = someObject; someObject->AddRef(); }));
    values.push_back(Of(VT_DISPATCH, [](VARIANT& v) { V_DISPATCH(&v) = nullptr; }));
    values.push_back(Of(VT_UNKNOWN, [](VARIANT& v) { V_UNKNOWN(&v) = nullptr; }));
    values.push_back(Of(VT_BOOL, [](VARIANT& v) { V_BOOL(&v) = VARIANT_TRUE; }));
    values.push_back(Of(VT_I2, [](VARIANT& v) { V_I2(&v) = -32768; }));
    values.push_back(Of(VT_I4, [](VARIANT& v) { V_I4(&v) = 2147483647; }));
    values.push_back(Of(VT_I4, [](VARIANT& v) { V_I4(&v) = -2147483647 - 1; }));
    values.push_back(Of(VT_R8, [](VARIANT& v) { V_R8(&v) = 1e308; }));
    values.push_back(Of(VT_R8, [](VARIANT& v) { V_R8(&v) = -1e308; }));
    values.push_back(Of(VT_R8, [](VARIANT& v) { V_R8(&v) = std::nan(""); }));
    values.push_back(Of(VT_R4, [](VARIANT& v) { V_R4(&v) = 2.5f; }));
    values.push_back(Of(VT_CY, [](VARIANT& v) { V_CY(&v).int64 = -1; }));
    values.push_back(Of(VT_DATE, [](VARIANT& v) { V_DATE(&v) = 1e10; }));
    values.push_back(Of(VT_UI1, [](VARIANT& v) { V_UI1(&v) = 255; }));
    for (const wchar_t* text : {L"", L" ", L" 12 ", L"1 2", L"1,5", L"1;2", L"1.5e400", L"-0", L"abc", L"\t\n"})
        values.push_back(Text(text));
    values.push_back(Array({{3, 0}}));
    values.push_back(Array({{3, 1}}));              // based at 1
    values.push_back(Array({{2, 0}, {2, 1}}));      // two dimensions
    values.push_back(Array({{0, 0}}));              // no elements
    Variant nested = Array({{2, 0}});
    LONG first = 0;
    SafeArrayPutElement(V_ARRAY(nested.get()), &first, Array({{2, 0}}).get());
    values.push_back(nested);
    values.push_back(automation::ByteArrayVariant(std::vector<uint8_t>{1, 2, 3}));
    return values;
}

bool IsHostError(HRESULT hr)
{
    return SUCCEEDED(hr) || HRESULT_FACILITY(hr) == FACILITY_CONTROL || hr == DISP_E_TYPEMISMATCH ||
           hr == DISP_E_OVERFLOW || hr == DISP_E_EXCEPTION || hr == DISP_E_PARAMNOTFOUND ||
           hr == DISP_E_BADVARTYPE || hr == DISP_E_BADPARAMCOUNT || hr == DISP_E_PARAMNOTOPTIONAL ||
           hr == E_INVALIDARG;
}

DISPID IdOf(IDispatch* object, const wchar_t* name)
{
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    return id;
}

// Calls a member with the arguments in call order; the HRESULT.
HRESULT Invoke(IDispatch* object, const wchar_t* name, WORD flags, std::vector<VARIANT> arguments)
{
    std::vector<VARIANT> reversed(arguments.rbegin(), arguments.rend());
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params{reversed.data(), flags == DISPATCH_PROPERTYPUT ? &put : nullptr,
                      static_cast<UINT>(reversed.size()), flags == DISPATCH_PROPERTYPUT ? 1u : 0u};
    Variant result;
    EXCEPINFO exception{};
    UINT wrong = 0;
    const HRESULT hr = object->Invoke(IdOf(object, name), IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                                      result.get(), &exception, &wrong);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
    return hr;
}

template <class Object>
IDispatch* Created()
{
    Object* created = Object::Create();
    IDispatch* dispatch = nullptr;
    created->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch));
    created->Release();
    return dispatch;
}

struct Member {
    const wchar_t* name;
    WORD flags;
    int arguments;
    bool firstIsOut = false;  // passed by reference, as hosts pass a variable to fill
};

VARIANT ReferenceTo(Variant& target)
{
    VARIANT reference;
    V_VT(&reference) = VT_VARIANT | VT_BYREF;
    V_VARIANTREF(&reference) = target.get();
    return reference;
}

// Every argument position of every member gets every value, the other
// arguments left Empty.
int FeedEverything(IDispatch* object, const std::vector<Member>& members, const std::vector<Variant>& values)
{
    int cases = 0;
    for (const Member& member : members)
        for (int position = 0; position < member.arguments; ++position)
            for (const Variant& value : values) {
                std::vector<VARIANT> arguments(member.arguments);
                for (auto& a : arguments) VariantInit(&a);
                Variant out = position == 0 ? value : Variant();
                arguments[position] = *value.get();
                if (member.firstIsOut) arguments[0] = ReferenceTo(out);
                const HRESULT hr = Invoke(object, member.name, member.flags, arguments);
                ++cases;
                EXPECT_TRUE(IsHostError(hr)) << std::hex << hr << " " << std::string(member.name, member.name + wcslen(member.name));
            }
    return cases;
}

TEST(BadInput, EveryClientPropertyAndMethodTakesEveryVariant)
{
    IDispatch* mb = Created<velkomb::client::VelkoMB>();
    const std::vector<Variant> values = HostileValues(mb);
    const int cases = FeedEverything(mb, {{L"IPAddress", DISPATCH_PROPERTYPUT, 1}, {L"StartAddress", DISPATCH_PROPERTYPUT, 1},
        {L"NrRegisters", DISPATCH_PROPERTYPUT, 1}, {L"StartWAddress", DISPATCH_PROPERTYPUT, 1},
        {L"NrWRegisters", DISPATCH_PROPERTYPUT, 1}, {L"MBFunCode", DISPATCH_PROPERTYPUT, 1},
        {L"arwWReg", DISPATCH_PROPERTYPUT, 1}, {L"ResponseWatchdog", DISPATCH_PROPERTYPUT, 1}}, values);
    // Without a connection each bad setting still ends in an automation error.
    EXPECT_TRUE(IsHostError(Invoke(mb, L"Execute", DISPATCH_METHOD, {})));
    mb->Release();
    std::printf("bad input: %d client cases\n", cases);
}

Variant Number(long value)
{
    return Of(VT_I4, [&](VARIANT& v) { V_I4(&v) = value; });
}

// A UDP socket on 127.0.0.1 that sends to itself, so that there are bytes
// to get and peek.
class LoopbackSocket {
public:
    LoopbackSocket() : socket_(Created<velkomb::socket::CSocket>())
    {
        Put(L"Protocol", Number(1));
        Put(L"RemoteHost", Text(L"127.0.0.1"));
        Put(L"RemotePort", Number(kPort));
        EXPECT_EQ(Invoke(socket_, L"Bind", DISPATCH_METHOD, {*Number(kPort).get(), *Text(L"127.0.0.1").get()}), S_OK);
    }
    ~LoopbackSocket() { socket_->Release(); }
    IDispatch* get() const { return socket_; }

    // Sends a datagram to itself until something is buffered.
    void Refill()
    {
        for (int tries = 0; tries < 3 && Received() == 0; ++tries) {
            Invoke(socket_, L"SendData", DISPATCH_METHOD, {*Text(L"0123456789abcdef").get()});
            testsupport::PumpFor(20);
        }
    }

private:
    static constexpr long kPort = 47991;
    void Put(const wchar_t* name, const Variant& value) { Invoke(socket_, name, DISPATCH_PROPERTYPUT, {*value.get()}); }
    long Received()
    {
        DISPPARAMS none{};
        Variant count;
        socket_->Invoke(IdOf(socket_, L"BytesReceived"), IID_NULL, 0, DISPATCH_PROPERTYGET, &none, count.get(), nullptr,
                        nullptr);
        return V_VT(count.get()) == VT_I4 ? V_I4(count.get()) : 0;
    }
    IDispatch* socket_;
};

TEST(BadInput, EverySocketPropertyAndMethodTakesEveryVariant)
{
    IDispatch* socket = Created<velkomb::socket::CSocket>();
    const std::vector<Variant> values = HostileValues(socket);
    int cases = FeedEverything(socket, {{L"RemotePort", DISPATCH_PROPERTYPUT, 1}, {L"RemoteHost", DISPATCH_PROPERTYPUT, 1},
        {L"Protocol", DISPATCH_PROPERTYPUT, 1}, {L"LocalPort", DISPATCH_PROPERTYPUT, 1}}, values);
    socket->Release();

    // Data calls with bytes waiting: every value as data, as type and as length.
    LoopbackSocket loopback;
    for (const Member& member : std::vector<Member>{{L"SendData", DISPATCH_METHOD, 1}, {L"PeekData", DISPATCH_METHOD, 3, true},
                                                    {L"GetData", DISPATCH_METHOD, 3, true}})
        for (const Variant& value : values) {
            loopback.Refill();
            cases += FeedEverything(loopback.get(), {member}, {value});
        }
    // Every type code with every length shape.
    std::vector<Variant> lengths = {Variant(), Number(0), Number(1), Number(-1), Number(3), Number(1 << 30), Text(L"2")};
    for (long type = 0; type <= 8209; type += (type < 80 ? 1 : 8209 - 80))
        for (const Variant& length : lengths) {
            loopback.Refill();
            for (const wchar_t* name : {L"PeekData", L"GetData"}) {
                Variant target;
                const HRESULT hr = Invoke(loopback.get(), name, DISPATCH_METHOD, {ReferenceTo(target), *Number(type).get(), *length.get()});
                ++cases;
                EXPECT_TRUE(IsHostError(hr)) << std::hex << hr << " type " << std::dec << type;
            }
        }
    std::printf("bad input: %d socket cases\n", cases);
}

// A host's first setting and Connect, running out of memory at each of their
// allocations in turn: each call fails with an automation error or not at
// all, the same calls work afterwards, and once released the client leaves
// nothing of the component behind.
TEST(BadInput, RunningOutOfMemoryLeavesNothingHalfMade)
{
    automation::Bstr address(L"127.0.0.1");
    BSTR value = address.get();
    bool completed = false;
    for (long failing = 1; failing < 1000 && !completed; ++failing) {
        velkomb::client::VelkoMB* mb = velkomb::client::VelkoMB::Create();
        allocationsUntilFailure = failing;
        HRESULT hr = mb->put_IPAddress(&value);
        if (hr == S_OK) hr = mb->Connect();
        completed = allocationsUntilFailure != 0;
        allocationsUntilFailure = 0;
        const testsupport::ReportedError error = testsupport::ErrorOf(hr);
        EXPECT_TRUE(hr == S_OK || hr == testsupport::ErrorNumber(automation::errOutOfMemory))
            << std::hex << hr << " at allocation " << std::dec << failing << ": "
            << std::string(error.description.begin(), error.description.end());
        EXPECT_EQ(mb->put_IPAddress(&value), S_OK) << "after allocation " << failing;
        EXPECT_EQ(mb->Connect(), S_OK) << "after allocation " << failing;
        mb->Release();
        EXPECT_TRUE(velkomb::com::CanUnload()) << "after allocation " << failing;
    }
    EXPECT_TRUE(completed);
}

} // namespace
