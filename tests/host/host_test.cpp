// The registered component as a C++ host sees it: creation by ProgID,
// late binding by name, the dual vtable, errors, connection points,
// unloading and registration.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
#include <map>
#include <string>
#include <tuple>
#include <vector>
#include "component/interfaces.h"

namespace {

struct ComApartment : ::testing::Environment {
    void SetUp() override { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    void TearDown() override { CoUninitialize(); }
};
const auto* apartment = ::testing::AddGlobalTestEnvironment(new ComApartment);

IDispatch* Create(const wchar_t* progId)
{
    CLSID clsid;
    if (FAILED(CLSIDFromProgID(progId, &clsid))) return nullptr;
    IDispatch* object = nullptr;
    CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(&object));
    return object;
}

// The ids of a member and of its parameters, as late-bound hosts ask.
std::vector<DISPID> IdsOf(IDispatch* object, std::vector<const wchar_t*> names)
{
    std::vector<DISPID> ids(names.size(), DISPID_UNKNOWN);
    object->GetIDsOfNames(IID_NULL, const_cast<LPOLESTR*>(names.data()), static_cast<UINT>(names.size()),
                          LOCALE_USER_DEFAULT, ids.data());
    return ids;
}

DISPID IdOf(IDispatch* object, const wchar_t* name) { return IdsOf(object, {name})[0]; }

struct CallResult {
    HRESULT hr;
    VARIANT value;
    EXCEPINFO exception;
    UINT argError;
    std::wstring source() const { return exception.bstrSource ? exception.bstrSource : L""; }
    std::wstring description() const { return exception.bstrDescription ? exception.bstrDescription : L""; }
};

CallResult Dispatch(IDispatch* object, DISPID id, WORD flags, DISPPARAMS params)
{
    CallResult result{};
    VariantInit(&result.value);
    result.argError = ~0u;
    result.hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                               flags == DISPATCH_PROPERTYPUT ? nullptr : &result.value, &result.exception,
                               &result.argError);
    return result;
}

// Calls a member by name as a script host does; args in declaration order.
CallResult Call(IDispatch* object, const wchar_t* name, WORD flags, std::vector<VARIANT> args = {})
{
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPID put = DISPID_PROPERTYPUT;
    const bool isPut = flags == DISPATCH_PROPERTYPUT && !args.empty();
    return Dispatch(object, IdOf(object, name), flags,
                    {reversed.data(), isPut ? &put : nullptr, static_cast<UINT>(reversed.size()), isPut ? 1u : 0u});
}

VARIANT Long(LONG value)
{
    VARIANT v;
    V_VT(&v) = VT_I4;
    V_I4(&v) = value;
    return v;
}

VARIANT MissingMarker()
{
    VARIANT v;
    V_VT(&v) = VT_ERROR;
    V_ERROR(&v) = DISP_E_PARAMNOTFOUND;
    return v;
}

VARIANT Text(const wchar_t* text)
{
    VARIANT v;
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = SysAllocString(text);
    return v;
}

VARIANT ByRef(VARIANT* inner)
{
    VARIANT v;
    V_VT(&v) = VT_VARIANT | VT_BYREF;
    V_VARIANTREF(&v) = inner;
    return v;
}

std::wstring Get(IDispatch* object, const wchar_t* name)
{
    CallResult r = Call(object, name, DISPATCH_PROPERTYGET | DISPATCH_METHOD);
    if (FAILED(r.hr) || V_VT(&r.value) != VT_BSTR) return L"<fail>";
    std::wstring text = V_BSTR(&r.value);
    VariantClear(&r.value);
    return text;
}

std::wstring Shown(const VARIANT& value)
{
    VARIANT text;
    VariantInit(&text);
    if (FAILED(VariantChangeType(&text, const_cast<VARIANT*>(&value), 0, VT_BSTR))) return L"<no text>";
    std::wstring shown = std::to_wstring(V_VT(&value)) + L":" + V_BSTR(&text);
    VariantClear(&text);
    return shown;
}

// A property's value as Shown gives it.
std::wstring Read(IDispatch* object, const wchar_t* name)
{
    CallResult r = Call(object, name, DISPATCH_PROPERTYGET);
    std::wstring shown = Shown(r.value);
    VariantClear(&r.value);
    return shown;
}

// Dispatches the thread's messages until `done` holds, for 2 s at most.
template <class Done>
void PumpUntil(Done done)
{
    for (int i = 0; i < 200 && !done(); ++i) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

TEST(Host, LateBindingUsesTheLibrarysDispatchIds)
{
    IDispatch* client = Create(L"VelkoMBDLL.VelkoMB");
    IDispatch* socket = Create(L"VelkoMBDLL.CSocket.1");
    ASSERT_TRUE(client && socket);
    EXPECT_EQ(IdOf(client, L"Execute"), 0x60030011);
    EXPECT_EQ(IdOf(client, L"ipaddress"), 0x6803000C);
    EXPECT_EQ(IdOf(socket, L"vbSocket"), 0x60030013);
    EXPECT_EQ(IdOf(socket, L"OnDataArrival"), DISPID_UNKNOWN);  // events are not members

    // The client's members beyond the library have ids no table uses; the
    // type information it hands out still knows only the library's.
    EXPECT_EQ(IdOf(client, L"ConnectAndWait"), 0x60040000);
    EXPECT_EQ(IdsOf(client, {L"setvalue", L"value", L"Index"}), (std::vector<DISPID>{0x60040002, 2, 0}));
    EXPECT_EQ(IdOf(client, L"Port"), 0x68040000);
    EXPECT_EQ(IdOf(client, L"ExceptText"), 0x68040005);
    ITypeInfo* info = nullptr;
    ASSERT_EQ(client->GetTypeInfo(0, LOCALE_USER_DEFAULT, &info), S_OK);
    LPOLESTR port[] = {const_cast<LPOLESTR>(L"Port")};
    DISPID id = 0;
    EXPECT_EQ(info->GetIDsOfNames(port, 1, &id), DISP_E_UNKNOWNNAME);
    info->Release();
    client->Release();
    socket->Release();
}

TEST(Host, PropertiesTakeValuesAndScriptVariables)
{
    IDispatch* client = Create(L"VelkoMBDLL.VelkoMB");
    ASSERT_TRUE(client);
    for (const wchar_t* name : {L"IPAddress", L"StartAddress", L"NrRegisters", L"StartWAddress", L"NrWRegisters"})
        EXPECT_EQ(Get(client, name), L"") << name;

    EXPECT_EQ(Call(client, L"IPAddress", DISPATCH_PROPERTYPUT, {Text(L"127.0.0.1")}).hr, S_OK);
    EXPECT_EQ(Get(client, L"IPAddress"), L"127.0.0.1");

    // A script variable arrives as a reference to a variant.
    VARIANT variable = Text(L"100");
    EXPECT_EQ(Call(client, L"StartAddress", DISPATCH_PROPERTYPUT, {ByRef(&variable)}).hr, S_OK);
    EXPECT_EQ(Get(client, L"StartAddress"), L"100");
    // A number for a text property is converted.
    VARIANT number;
    V_VT(&number) = VT_I2;
    V_I2(&number) = 10;
    EXPECT_EQ(Call(client, L"NrRegisters", DISPATCH_PROPERTYPUT, {ByRef(&number)}).hr, S_OK);
    EXPECT_EQ(Get(client, L"NrRegisters"), L"10");
    VariantClear(&variable);

    // Write-only and read-only members.
    EXPECT_EQ(Call(client, L"MBFunCode", DISPATCH_PROPERTYGET).hr, DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Call(client, L"ErrCode", DISPATCH_PROPERTYPUT, {Text(L"1")}).hr, DISP_E_MEMBERNOTFOUND);
    CallResult reg = Call(client, L"arwReg", DISPATCH_PROPERTYGET);
    EXPECT_EQ(V_VT(&reg.value), VT_EMPTY);
    client->Release();
}

TEST(Host, DualVtableMatchesDispatch)
{
    IDispatch* client = Create(L"VelkoMBDLL.VelkoMB");
    ASSERT_TRUE(client);
    velkomb::_VelkoMB* dual = nullptr;
    ASSERT_EQ(client->QueryInterface(velkomb::IID__VelkoMB, reinterpret_cast<void**>(&dual)), S_OK);
    BSTR value = SysAllocString(L"3");
    EXPECT_EQ(dual->put_ResponseWatchdog(&value), S_OK);
    EXPECT_EQ(dual->put_NrWRegisters(&value), S_OK);
    SysFreeString(value);
    EXPECT_EQ(Get(client, L"NrWRegisters"), L"3");
    BSTR out = nullptr;
    EXPECT_EQ(dual->get_WatchdogError(&out), S_OK);
    EXPECT_EQ(SysStringLen(out), 0u);
    SysFreeString(out);
    dual->Release();

    IDispatch* socket = Create(L"VelkoMBDLL.CSocket");
    velkomb::_CSocket* sock = nullptr;
    ASSERT_EQ(socket->QueryInterface(velkomb::IID__CSocket, reinterpret_cast<void**>(&sock)), S_OK);
    LONG handle = 0, port = 1234;
    EXPECT_EQ(sock->get_SocketHandle(&handle), S_OK);
    EXPECT_EQ(handle, -1);
    EXPECT_EQ(sock->put_LocalPort(&port), S_OK);
    CallResult local = Call(socket, L"LocalPort", DISPATCH_PROPERTYGET);
    EXPECT_EQ(V_VT(&local.value), VT_I4);
    EXPECT_EQ(V_I4(&local.value), 1234);
    sock->Release();
    socket->Release();
    client->Release();
}

// The dual interface's vtable view, as the platform's own IDispatch uses it.
ITypeInfo* VtableView(IDispatch* object)
{
    ITypeInfo *dispatchView = nullptr, *view = nullptr;
    HREFTYPE reference = 0;
    if (SUCCEEDED(object->GetTypeInfo(0, LOCALE_USER_DEFAULT, &dispatchView)) &&
        SUCCEEDED(dispatchView->GetRefTypeOfImplType(static_cast<UINT>(-1), &reference)))
        dispatchView->GetRefTypeInfo(reference, &view);
    if (dispatchView) dispatchView->Release();
    return view;
}

// The objects answer names and calls as the platform's DispGetIDsOfNames and
// ITypeInfo::Invoke answer them from the type library, wherever arguments
// need no repair: ids, results and their types, errors and their EXCEPINFO.
TEST(Host, DispatchAnswersAsTheTypeLibraryWould)
{
    for (const auto& [progId, iid] : {std::pair{L"VelkoMBDLL.VelkoMB", velkomb::IID__VelkoMB},
                                      std::pair{L"VelkoMBDLL.CSocket", velkomb::IID__CSocket}}) {
        SCOPED_TRACE(progId);
        IDispatch* object = Create(progId);
        ASSERT_TRUE(object);
        ITypeInfo* info = VtableView(object);
        ASSERT_TRUE(info);
        void* dual = nullptr;
        ASSERT_EQ(object->QueryInterface(iid, &dual), S_OK);

        std::vector<std::vector<std::wstring>> lookups = {{L"NoSuchMember"}, {L"QueryInterface"}, {L"INVOKE"}};
        TYPEATTR* attr = nullptr;
        ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
        std::vector<std::pair<DISPID, INVOKEKIND>> members;
        for (UINT i = 0; i < attr->cFuncs; ++i) {
            FUNCDESC* desc = nullptr;
            ASSERT_EQ(info->GetFuncDesc(i, &desc), S_OK);
            members.emplace_back(desc->memid, desc->invkind);
            BSTR names[8] = {};
            UINT count = 0;
            info->GetNames(desc->memid, names, 8, &count);
            std::wstring upper = names[0];
            for (auto& c : upper) c = towupper(c);
            std::vector<std::wstring> all(names, names + count);
            lookups.push_back({names[0]});
            lookups.push_back({upper});
            all.push_back(L"bogus");
            lookups.push_back(all);
            for (UINT j = 0; j < count; ++j) SysFreeString(names[j]);
            info->ReleaseFuncDesc(desc);
        }
        info->ReleaseTypeAttr(attr);
        for (const auto& names : lookups) {
            std::vector<LPOLESTR> texts;
            for (const auto& name : names) texts.push_back(const_cast<LPOLESTR>(name.c_str()));
            const UINT count = static_cast<UINT>(texts.size());
            std::vector<DISPID> ours(count, 1), platforms(count, 1);
            EXPECT_EQ(object->GetIDsOfNames(IID_NULL, texts.data(), count, 0, ours.data()),
                      DispGetIDsOfNames(info, texts.data(), count, platforms.data()))
                << names[0];
            EXPECT_EQ(ours, platforms) << names[0];
        }

        // Every property read of a new object, also given an index (`x =
        // mb.arwReg(1)`), methods that fail on one, unknown ids and kinds,
        // writes that do not name their value (`named`: the value is named
        // DISPID_PROPERTYPUT) and `Set obj.Prop = x` on properties that have
        // no such write.
        std::vector<std::tuple<DISPID, WORD, std::vector<VARIANT>, bool>> calls = {
            {12345, DISPATCH_METHOD, {}, false}, {members[0].first, DISPATCH_PROPERTYPUT, {}, false}};
        for (const auto& [id, kind] : members) {
            if (kind == INVOKE_PROPERTYGET) {
                calls.push_back({id, DISPATCH_PROPERTYGET | DISPATCH_METHOD, {}, false});
                calls.push_back({id, DISPATCH_PROPERTYGET | DISPATCH_METHOD, {Long(1)}, false});
            }
            if (kind == INVOKE_FUNC) calls.push_back({id, DISPATCH_PROPERTYGET, {}, false});
            if (kind == INVOKE_PROPERTYPUT) {
                calls.push_back({id, DISPATCH_PROPERTYPUT, {Long(1)}, false});
                calls.push_back({id, DISPATCH_PROPERTYPUTREF, {Long(1)}, true});
            }
        }
        if (iid == velkomb::IID__VelkoMB) {
            for (const wchar_t* name : {L"Execute", L"Disconnect", L"SockDiag"})
                calls.push_back({IdOf(object, name), DISPATCH_METHOD, {}, false});
        } else {
            calls.push_back({IdOf(object, L"Connect"), DISPATCH_METHOD, {}, false});
        }
        DISPID put = DISPID_PROPERTYPUT;
        for (auto& [id, flags, args, named] : calls) {
            SCOPED_TRACE(id);
            DISPPARAMS params{args.data(), named ? &put : nullptr, static_cast<UINT>(args.size()), named ? 1u : 0u};
            CallResult ours = Dispatch(object, id, flags, params);
            CallResult platforms{};
            platforms.argError = ~0u;
            VariantInit(&platforms.value);
            platforms.hr =
                info->Invoke(dual, id, flags, &params, &platforms.value, &platforms.exception, &platforms.argError);
            EXPECT_EQ(ours.hr, platforms.hr);
            EXPECT_EQ(Shown(ours.value), Shown(platforms.value));
            EXPECT_EQ(ours.exception.scode, platforms.exception.scode);
            EXPECT_EQ(ours.source(), platforms.source());
            EXPECT_EQ(ours.description(), platforms.description());
            for (CallResult* r : {&ours, &platforms}) {
                VariantClear(&r->value);
                SysFreeString(r->exception.bstrSource);
                SysFreeString(r->exception.bstrDescription);
                SysFreeString(r->exception.bstrHelpFile);
            }
        }

        // Where Wine's standard dispatcher answers otherwise than Windows',
        // the objects answer as Windows': riid must be IID_NULL, and a failed
        // GetTypeInfo hands out nothing.
        DISPPARAMS none{};
        VARIANT result;
        VariantInit(&result);
        EXPECT_EQ(object->Invoke(members[0].first, IID_IDispatch, 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none,
                                 &result, nullptr, nullptr),
                  DISP_E_UNKNOWNINTERFACE);
        EXPECT_EQ(V_VT(&result), VT_EMPTY);
        ITypeInfo* unknown = info;
        EXPECT_EQ(object->GetTypeInfo(1, 0, &unknown), DISP_E_BADINDEX);
        EXPECT_EQ(unknown, nullptr);

        static_cast<IUnknown*>(dual)->Release();
        info->Release();
        object->Release();
    }
}

TEST(Host, ErrorsCarryNumberSourceAndDescription)
{
    IDispatch* client = Create(L"VelkoMBDLL.VelkoMB");
    ASSERT_TRUE(client);
    CallResult execute = Call(client, L"Execute", DISPATCH_METHOD);
    EXPECT_EQ(execute.hr, DISP_E_EXCEPTION);
    EXPECT_EQ(execute.exception.scode, static_cast<HRESULT>(0x800A000D));
    EXPECT_EQ(execute.description(), L"Type mismatch");
    EXPECT_EQ(execute.source(), L"VelkoMB.Execute");
    CallResult disconnect = Call(client, L"Disconnect", DISPATCH_METHOD);
    EXPECT_EQ(disconnect.exception.scode, static_cast<HRESULT>(0x800A005B));

    IDispatch* socket = Create(L"VelkoMBDLL.CSocket");
    VARIANT bytes = Text(L"AB");
    CallResult send = Call(socket, L"SendData", DISPATCH_METHOD, {ByRef(&bytes)});
    EXPECT_EQ(send.exception.scode, static_cast<HRESULT>(0x800A9C46));
    EXPECT_EQ(send.source(), L"CSocket.SendData");
    EXPECT_EQ(send.description(), L"Wrong protocol or connection state for the requested transaction or request.");
    VariantClear(&bytes);
    CallResult connect = Call(socket, L"Connect", DISPATCH_METHOD);
    EXPECT_EQ(connect.exception.scode, static_cast<HRESULT>(0x800A0000 | 10049));
    EXPECT_EQ(connect.source(), L"CSocket.CSocket.Connect");
    EXPECT_EQ(connect.description(), L"Cannot assign requested address.");
    // The failed Connect created the socket: Protocol writes are ignored now.
    VARIANT udp;
    V_VT(&udp) = VT_I4;
    V_I4(&udp) = 1;
    EXPECT_EQ(Call(socket, L"Protocol", DISPATCH_PROPERTYPUT, {udp}).hr, S_OK);
    CallResult protocol = Call(socket, L"Protocol", DISPATCH_PROPERTYGET);
    EXPECT_EQ(V_I4(&protocol.value), 0);
    socket->Release();
    client->Release();
}

TEST(Host, OmittedAndLiteralArgumentsReachTypedParameters)
{
    // Bind takes a long* and a BSTR*: left out, they arrive as 0 and empty.
    IDispatch* any = Create(L"VelkoMBDLL.CSocket");
    ASSERT_TRUE(any);
    EXPECT_EQ(Call(any, L"Bind", DISPATCH_METHOD).hr, S_OK);
    CallResult handle = Call(any, L"SocketHandle", DISPATCH_PROPERTYGET);
    EXPECT_NE(V_I4(&handle.value), -1);

    // A 16-bit literal for the long*, a script variable for the BSTR*.
    IDispatch* local = Create(L"VelkoMBDLL.CSocket");
    VARIANT port;
    V_VT(&port) = VT_I2;
    V_I2(&port) = 0;
    VARIANT address = Text(L"127.0.0.1");
    EXPECT_EQ(Call(local, L"Bind", DISPATCH_METHOD, {port, ByRef(&address)}).hr, S_OK);
    EXPECT_EQ(Get(local, L"LocalIP"), L"127.0.0.1");
    VARIANT bad = Text(L"not an address");
    CallResult failed = Call(local, L"Bind", DISPATCH_METHOD, {port, bad});
    EXPECT_EQ(failed.source(), L"CSocket.Bind");
    VariantClear(&address);
    VariantClear(&bad);
    local->Release();
    any->Release();
}

// VBA's late binding of sock.Bind strLocalIP:="127.0.0.1", lngLocalPort:=0
// and of sock.Connect "127.0.0.1", lngRemotePort:=1502: named arguments
// stand first in rgvarg, their parameters' ids in rgdispidNamedArgs.
TEST(Host, NamedArgumentsGoToTheParametersTheyName)
{
    IDispatch* socket = Create(L"VelkoMBDLL.CSocket");
    ASSERT_TRUE(socket);
    Call(socket, L"Protocol", DISPATCH_PROPERTYPUT, {Long(1)});  // UDP: Connect completes at once
    std::vector<DISPID> bind = IdsOf(socket, {L"Bind", L"strLocalIP", L"lngLocalPort"});
    EXPECT_EQ(bind, (std::vector<DISPID>{0x60030010, 1, 0}));
    VARIANT named[] = {Text(L"127.0.0.1"), Long(0)};
    DISPID ids[] = {bind[1], bind[2]};
    EXPECT_EQ(Dispatch(socket, bind[0], DISPATCH_METHOD, {named, ids, 2, 2}).hr, S_OK);
    EXPECT_EQ(Get(socket, L"LocalIP"), L"127.0.0.1");

    // Positional and named together.
    std::vector<DISPID> connect = IdsOf(socket, {L"Connect", L"lngRemotePort"});
    VARIANT mixed[] = {Long(1502), named[0]};
    EXPECT_EQ(Dispatch(socket, connect[0], DISPATCH_METHOD, {mixed, &connect[1], 2, 1}).hr, S_OK);
    EXPECT_EQ(Get(socket, L"RemoteHost"), L"127.0.0.1");
    CallResult port = Call(socket, L"RemotePort", DISPATCH_PROPERTYGET);
    EXPECT_EQ(V_I4(&port.value), 1502);

    // A name that is no parameter, or one a positional argument filled already,
    // is refused at its position; more names than arguments are refused whole.
    DISPID wrong[] = {bind[1], 7};
    CallResult unknown = Dispatch(socket, bind[0], DISPATCH_METHOD, {named, wrong, 2, 2});
    EXPECT_EQ(unknown.hr, DISP_E_PARAMNOTFOUND);
    EXPECT_EQ(unknown.argError, 1u);
    VARIANT twice[] = {Long(0), Long(0)};
    CallResult repeated = Dispatch(socket, bind[0], DISPATCH_METHOD, {twice, &bind[2], 2, 1});
    EXPECT_EQ(repeated.hr, DISP_E_PARAMNOTFOUND);
    EXPECT_EQ(repeated.argError, 0u);
    EXPECT_EQ(Dispatch(socket, bind[0], DISPATCH_METHOD, {named, ids, 1, 2}).hr, E_INVALIDARG);
    VariantClear(&named[0]);
    socket->Release();
}

// Only parameters the type library marks optional may be left out; a call
// without a required argument fails with 449 before anything runs.
TEST(Host, RequiredArgumentsCannotBeLeftOut)
{
    IDispatch* socket = Create(L"VelkoMBDLL.CSocket");
    ASSERT_TRUE(socket);
    EXPECT_EQ(Call(socket, L"Accept", DISPATCH_METHOD).hr, DISP_E_PARAMNOTOPTIONAL);
    CallResult marked = Call(socket, L"Accept", DISPATCH_METHOD, {MissingMarker()});
    EXPECT_EQ(marked.hr, DISP_E_PARAMNOTOPTIONAL);
    EXPECT_EQ(marked.argError, 0u);
    CallResult handle = Call(socket, L"SocketHandle", DISPATCH_PROPERTYGET);
    EXPECT_EQ(V_I4(&handle.value), -1);  // Accept did not run
    EXPECT_EQ(Call(socket, L"GetData", DISPATCH_METHOD).hr, DISP_E_PARAMNOTOPTIONAL);
    // sock.Connect , 1502 leaves out an optional argument with the marker.
    Call(socket, L"Protocol", DISPATCH_PROPERTYPUT, {Long(1)});
    Call(socket, L"RemoteHost", DISPATCH_PROPERTYPUT, {Text(L"127.0.0.1")});
    EXPECT_EQ(Call(socket, L"Connect", DISPATCH_METHOD, {MissingMarker(), Long(1502)}).hr, S_OK);
    socket->Release();

    IDispatch* client = Create(L"VelkoMBDLL.VelkoMB");
    ASSERT_TRUE(client);
    EXPECT_EQ(Call(client, L"IPAddress", DISPATCH_PROPERTYPUT, {Text(L"127.0.0.1")}).hr, S_OK);
    EXPECT_EQ(Call(client, L"IPAddress", DISPATCH_PROPERTYPUT).hr, DISP_E_PARAMNOTOPTIONAL);
    EXPECT_EQ(Call(client, L"IPAddress", DISPATCH_PROPERTYPUT, {MissingMarker()}).hr, DISP_E_PARAMNOTOPTIONAL);
    EXPECT_EQ(Get(client, L"IPAddress"), L"127.0.0.1");
    client->Release();
}

TEST(Host, GetDataWritesVariablesAndLeavesValuesAlone)
{
    // A UDP socket sending to itself has data waiting after one pump.
    IDispatch* socket = Create(L"VelkoMBDLL.CSocket");
    ASSERT_TRUE(socket);
    VARIANT udp;
    V_VT(&udp) = VT_I4;
    V_I4(&udp) = 1;
    Call(socket, L"Protocol", DISPATCH_PROPERTYPUT, {udp});
    VARIANT any;
    V_VT(&any) = VT_I4;
    V_I4(&any) = 0;
    VARIANT loopback = Text(L"127.0.0.1");
    ASSERT_EQ(Call(socket, L"Bind", DISPATCH_METHOD, {any, loopback}).hr, S_OK);
    VariantClear(&loopback);
    velkomb::_CSocket* sock = nullptr;
    socket->QueryInterface(velkomb::IID__CSocket, reinterpret_cast<void**>(&sock));
    SOCKET handle = 0;
    sock->get_SocketHandle(reinterpret_cast<LONG*>(&handle));
    sockaddr_in self{};
    int length = sizeof self;
    getsockname(handle, reinterpret_cast<sockaddr*>(&self), &length);
    LONG port = ntohs(self.sin_port);
    sock->put_RemotePort(&port);
    BSTR host = SysAllocString(L"127.0.0.1");
    sock->put_RemoteHost(&host);
    SysFreeString(host);
    VARIANT data = Text(L"abcdef");
    ASSERT_EQ(Call(socket, L"SendData", DISPATCH_METHOD, {ByRef(&data)}).hr, S_OK);
    VariantClear(&data);
    LONG waiting = 0;
    PumpUntil([&] { return sock->get_BytesReceived(&waiting) == S_OK && waiting >= 6; });
    ASSERT_EQ(waiting, 6);

    // A value passed by value is the caller's: it is neither freed nor replaced.
    VARIANT value = Text(L"mine");
    BSTR owned = V_BSTR(&value);
    VARIANT two;
    V_VT(&two) = VT_I4;
    V_I4(&two) = 2;
    VARIANT textType;
    V_VT(&textType) = VT_I4;
    V_I4(&textType) = VT_BSTR;
    EXPECT_EQ(Call(socket, L"PeekData", DISPATCH_METHOD, {value, textType, two}).hr, S_OK);
    EXPECT_EQ(V_VT(&value), VT_BSTR);
    EXPECT_EQ(V_BSTR(&value), owned);
    EXPECT_STREQ(owned, L"mine");
    VariantClear(&value);

    // A typed variable (VT_BSTR | VT_BYREF, as VB passes a String) receives the text.
    BSTR variable = SysAllocString(L"old");
    VARIANT ref;
    V_VT(&ref) = VT_BSTR | VT_BYREF;
    V_BSTRREF(&ref) = &variable;
    EXPECT_EQ(Call(socket, L"GetData", DISPATCH_METHOD, {ref, textType, two}).hr, S_OK);
    EXPECT_STREQ(variable, L"ab");
    SysFreeString(variable);
    // A VB array declared with bounds (Dim b(5) As Byte, passed as a typed
    // reference) and an array locked while the host walks it (held by a
    // variant variable) are the host's: neither is replaced, and the call
    // fails with 10.
    BYTE storage[6] = {};
    SAFEARRAY fixed{1, FADF_AUTO | FADF_FIXEDSIZE, 1, 0, storage, {{6, 0}}};
    SAFEARRAY* fixedVariable = &fixed;
    VARIANT fixedRef;
    V_VT(&fixedRef) = VT_ARRAY | VT_UI1 | VT_BYREF;
    V_ARRAYREF(&fixedRef) = &fixedVariable;
    SAFEARRAY* locked = SafeArrayCreateVector(VT_UI1, 0, 2);
    SafeArrayLock(locked);
    VARIANT lockedHolder;
    V_VT(&lockedHolder) = VT_ARRAY | VT_UI1;
    V_ARRAY(&lockedHolder) = locked;
    const VARIANT byteArray = Long(VT_ARRAY | VT_UI1);
    for (const wchar_t* method : {L"PeekData", L"GetData"})
        for (const VARIANT& target : {fixedRef, ByRef(&lockedHolder)}) {
            CallResult refused = Call(socket, method, DISPATCH_METHOD, {target, byteArray, Long(1)});
            EXPECT_EQ(refused.exception.scode, static_cast<HRESULT>(0x800A000A));
            EXPECT_EQ(refused.description(), L"This array is fixed or temporarily locked");
            EXPECT_EQ(refused.source(), std::wstring(L"CSocket.") + method);
        }
    EXPECT_EQ(fixedVariable, &fixed);
    EXPECT_EQ(std::vector<BYTE>(storage, storage + 6), std::vector<BYTE>(6, 0));
    EXPECT_EQ(V_VT(&lockedHolder), VT_ARRAY | VT_UI1);
    EXPECT_EQ(V_ARRAY(&lockedHolder), locked);
    SafeArrayUnlock(locked);
    SafeArrayDestroy(locked);

    // And a variant variable takes the value with its own type: all four
    // bytes left, as the refused calls took none.
    VARIANT holder;
    VariantInit(&holder);
    EXPECT_EQ(Call(socket, L"GetData", DISPATCH_METHOD, {ByRef(&holder), byteArray}).hr, S_OK);
    ASSERT_EQ(V_VT(&holder), VT_ARRAY | VT_UI1);
    const auto* bytes = static_cast<const char*>(V_ARRAY(&holder)->pvData);
    EXPECT_EQ(std::string(bytes, V_ARRAY(&holder)->rgsabound[0].cElements), "cdef");
    VariantClear(&holder);
    sock->Release();
    socket->Release();
}

// A UDP socket bound to loopback that sends to itself, with `data` waiting
// when it is not empty.
IDispatch* LoopbackSocket(const wchar_t* data)
{
    IDispatch* socket = Create(L"VelkoMBDLL.CSocket");
    Call(socket, L"Protocol", DISPATCH_PROPERTYPUT, {Long(1)});
    VARIANT loopback = Text(L"127.0.0.1");
    Call(socket, L"Bind", DISPATCH_METHOD, {Long(0), loopback});
    Call(socket, L"RemoteHost", DISPATCH_PROPERTYPUT, {loopback});
    VariantClear(&loopback);
    CallResult handle = Call(socket, L"SocketHandle", DISPATCH_PROPERTYGET);
    sockaddr_in self{};
    int length = sizeof self;
    getsockname(static_cast<SOCKET>(V_I4(&handle.value)), reinterpret_cast<sockaddr*>(&self), &length);
    Call(socket, L"RemotePort", DISPATCH_PROPERTYPUT, {Long(ntohs(self.sin_port))});
    if (*data) {
        VARIANT bytes = Text(data);
        Call(socket, L"SendData", DISPATCH_METHOD, {bytes});
        VariantClear(&bytes);
        PumpUntil([&] { return Read(socket, L"BytesReceived") == L"3:" + std::to_wstring(wcslen(data)); });
    }
    return socket;
}

IDispatch* Client() { return Create(L"VelkoMBDLL.VelkoMB"); }
IDispatch* IdleSocket() { return LoopbackSocket(L""); }
IDispatch* SocketWithData() { return LoopbackSocket(L"abcdef"); }

std::wstring Nothing(IDispatch*) { return L""; }

std::wstring Remote(IDispatch* socket) { return Read(socket, L"RemoteHost") + L" " + Read(socket, L"RemotePort"); }
std::wstring Waiting(IDispatch* socket) { return Read(socket, L"BytesReceived"); }

// The bytes that arrived, in hexadecimal.
std::wstring Arrived(IDispatch* socket)
{
    PumpUntil([&] { return Read(socket, L"BytesReceived") != L"3:0"; });
    VARIANT bytes;
    VariantInit(&bytes);
    Call(socket, L"GetData", DISPATCH_METHOD, {ByRef(&bytes), Long(VT_ARRAY | VT_UI1)});
    std::wstring hex;
    if (V_VT(&bytes) == (VT_ARRAY | VT_UI1))
        for (ULONG i = 0; i < V_ARRAY(&bytes)->rgsabound[0].cElements; ++i)
            hex += std::to_wstring(static_cast<const BYTE*>(V_ARRAY(&bytes)->pvData)[i]) + L" ";
    VariantClear(&bytes);
    return hex;
}

// `number` as a value of `type`.
VARIANT Number(VARTYPE type, double number)
{
    VARIANT value, source;
    VariantInit(&value);
    V_VT(&source) = VT_R8;
    V_R8(&source) = number;
    VariantChangeType(&value, &source, 0, type);
    return value;
}

// A host's typed variable holding `storage`'s value, as VB passes a Long or
// a String variable to a Variant parameter.
VARIANT Typed(VARIANT* storage)
{
    VARIANT v;
    V_VT(&v) = V_VT(storage) | VT_BYREF;
    V_BYREF(&v) = &V_UI1(storage);
    return v;
}

enum class Passed { AsValues, AsTypedVariables, AsVariantVariables };

struct VariableCall {
    IDispatch* (*object)();
    const wchar_t* member;
    WORD flags;
    std::vector<VARIANT> values;  // in declaration order
    int written;                  // the argument the member stores into; -1 for none
    std::wstring (*effect)(IDispatch*);
};

// What a call answers and leaves behind, with its arguments passed as
// `passed` says; the argument it stores into is always a variable, of the
// value's type when variables are typed.
std::vector<std::wstring> Answer(const VariableCall& call, Passed passed)
{
    IDispatch* object = call.object();
    std::vector<VARIANT> variables(call.values.size()), args;
    for (size_t i = 0; i < call.values.size(); ++i) {
        VariantInit(&variables[i]);
        VariantCopy(&variables[i], const_cast<VARIANT*>(&call.values[i]));
        const bool written = static_cast<int>(i) == call.written;
        if (passed == Passed::AsTypedVariables)
            args.push_back(Typed(&variables[i]));
        else if (passed == Passed::AsVariantVariables || written)
            args.push_back(ByRef(&variables[i]));
        else
            args.push_back(variables[i]);
    }
    CallResult r = Call(object, call.member, call.flags, args);
    std::vector<std::wstring> answer = {std::to_wstring(r.hr), Shown(r.value), std::to_wstring(r.exception.scode),
                                        r.description(), call.effect(object)};
    if (call.written >= 0) answer.push_back(Shown(variables[static_cast<size_t>(call.written)]));
    for (VARIANT& v : variables) VariantClear(&v);
    VariantClear(&r.value);
    SysFreeString(r.exception.bstrSource);
    SysFreeString(r.exception.bstrDescription);
    object->Release();
    return answer;
}

// VB passes a variable of any type to a Variant parameter by reference
// (Dim p As Long: sock.Connect host, p): every Variant parameter reads it as
// the value it holds, and stores into it converted to its type.
TEST(Host, VariantParametersTakeVariablesOfAnyType)
{
    std::vector<VARIANT> owned;
    auto kept = [&](VARIANT value) { return owned.emplace_back(value); };
    VARIANT array;
    V_VT(&array) = VT_ARRAY | VT_VARIANT;
    V_ARRAY(&array) = SafeArrayCreateVector(VT_VARIANT, 0, 2);
    kept(array);
    const VARIANT host = kept(Text(L"127.0.0.1")), int16 = kept(Text(L"Int16")), nothing = kept(Text(L""));
    const int none = -1;
    const std::vector<VariableCall> calls = {
        {IdleSocket, L"Connect", DISPATCH_METHOD, {host, Number(VT_I2, 1502)}, none, Remote},
        {IdleSocket, L"Connect", DISPATCH_METHOD, {host, Number(VT_I4, 1503)}, none, Remote},
        {IdleSocket, L"Connect", DISPATCH_METHOD, {host, Number(VT_R8, 1504)}, none, Remote},
        {IdleSocket, L"Connect", DISPATCH_METHOD, {host, kept(Number(VT_BSTR, 1505))}, none, Remote},
        {IdleSocket, L"Connect", DISPATCH_METHOD, {host, Number(VT_BOOL, -1)}, none, Remote},
        {IdleSocket, L"SendData", DISPATCH_METHOD, {kept(Text(L"ab"))}, none, Arrived},
        {IdleSocket, L"SendData", DISPATCH_METHOD, {Number(VT_I2, 1502)}, none, Arrived},
        {IdleSocket, L"SendData", DISPATCH_METHOD, {Number(VT_I4, 70000)}, none, Arrived},
        {IdleSocket, L"SendData", DISPATCH_METHOD, {Number(VT_R8, 1.5)}, none, Arrived},
        {IdleSocket, L"SendData", DISPATCH_METHOD, {Number(VT_BOOL, -1)}, none, Arrived},
        {SocketWithData, L"PeekData", DISPATCH_METHOD, {nothing, Number(VT_I2, VT_BSTR), Number(VT_I4, 2)}, 0,
         Waiting},
        {SocketWithData, L"PeekData", DISPATCH_METHOD, {nothing, Number(VT_R8, VT_BSTR), kept(Number(VT_BSTR, 3))}, 0,
         Waiting},
        {SocketWithData, L"GetData", DISPATCH_METHOD, {Number(VT_I4, 0), kept(Number(VT_BSTR, VT_I4)), Number(VT_R8, 4)},
         0, Waiting},
        {SocketWithData, L"GetData", DISPATCH_METHOD, {Number(VT_I2, 0), Number(VT_I4, VT_I2), Number(VT_I2, 2)}, 0,
         Waiting},
        {SocketWithData, L"GetData", DISPATCH_METHOD,
         {Number(VT_R8, 0), Number(VT_I2, VT_R8), Number(VT_BOOL, -1)}, 0, Waiting},
        {Client, L"arwWReg", DISPATCH_PROPERTYPUT, {array}, none, Nothing},
        {Client, L"arwWReg", DISPATCH_PROPERTYPUT, {Number(VT_I4, 5)}, none, Nothing},
        {Client, L"GetValue", DISPATCH_METHOD, {Number(VT_I2, 1), int16}, none, Nothing},
        {Client, L"GetValue", DISPATCH_METHOD, {kept(Text(L"one")), int16}, none, Nothing},
        {Client, L"GetValue", DISPATCH_METHOD, {Number(VT_R8, 1), kept(Text(L"Int99"))}, none, Nothing},
        {Client, L"SetValue", DISPATCH_METHOD, {Number(VT_I4, 0), kept(Text(L"Float32")), Number(VT_R8, 21.5)}, none,
         Nothing},
        {Client, L"SetValue", DISPATCH_METHOD, {Number(VT_I2, -1), int16, Number(VT_I4, 1)}, none, Nothing},
        {Client, L"SetValue", DISPATCH_METHOD, {kept(Number(VT_BSTR, 2)), int16, kept(Text(L"many"))}, none, Nothing},
        {Client, L"SetValue", DISPATCH_METHOD, {Number(VT_R8, 2), int16, Number(VT_BOOL, -1)}, none, Nothing},
    };
    for (const VariableCall& call : calls) {
        std::wstring trace = call.member;
        for (const VARIANT& value : call.values) trace += L" " + Shown(value);
        SCOPED_TRACE(std::string(trace.begin(), trace.end()));
        const auto byValue = Answer(call, Passed::AsValues);
        EXPECT_EQ(Answer(call, Passed::AsTypedVariables), byValue);
        EXPECT_EQ(Answer(call, Passed::AsVariantVariables), byValue);
    }
    for (VARIANT& value : owned) VariantClear(&value);
}

// The names of an object's events by dispatch id, as a host that builds its
// sinks from type information reads them: the functions of the default source
// interface, skipping the restricted ones it inherits from IDispatch.
std::map<DISPID, std::wstring> EventNames(IDispatch* object)
{
    std::map<DISPID, std::wstring> names;
    IProvideClassInfo* provider = nullptr;
    ITypeInfo *coclass = nullptr, *events = nullptr;
    HREFTYPE source = 0;
    TYPEATTR* attr = nullptr;
    if (FAILED(object->QueryInterface(IID_IProvideClassInfo, reinterpret_cast<void**>(&provider)))) return names;
    if (SUCCEEDED(provider->GetClassInfo(&coclass)) && SUCCEEDED(coclass->GetRefTypeOfImplType(1, &source)) &&
        SUCCEEDED(coclass->GetRefTypeInfo(source, &events)) && SUCCEEDED(events->GetTypeAttr(&attr))) {
        for (UINT i = 0; i < attr->cFuncs; ++i) {
            FUNCDESC* desc = nullptr;
            if (FAILED(events->GetFuncDesc(i, &desc))) continue;
            BSTR name = nullptr;
            UINT count = 0;
            if (!(desc->wFuncFlags & FUNCFLAG_FRESTRICTED) &&
                SUCCEEDED(events->GetNames(desc->memid, &name, 1, &count)) && count == 1)
                names[desc->memid] = name;
            SysFreeString(name);
            events->ReleaseFuncDesc(desc);
        }
        events->ReleaseTypeAttr(attr);
    }
    if (events) events->Release();
    if (coclass) coclass->Release();
    provider->Release();
    return names;
}

// Counts the events it receives, and names them when it knows their names.
struct CountingSink : IDispatch {
    LONG references = 1;
    int calls = 0;
    std::map<DISPID, std::wstring> names;
    std::vector<std::wstring> received;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, velkomb::DIID___CSocket)) {
            *out = this;
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override { *n = 0; return S_OK; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        ++calls;
        if (auto name = names.find(id); name != names.end()) received.push_back(name->second);
        return S_OK;
    }
};

// A sink that answers neither the event interface nor IDispatch, or claims
// to answer and hands out nothing.
struct UnfitSink : CountingSink {
    bool claims;
    explicit UnfitSink(bool claimsToAnswer) : claims(claimsToAnswer) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        *out = nullptr;
        if (IsEqualIID(iid, IID_IUnknown)) {
            *out = this;
            AddRef();
            return S_OK;
        }
        return claims ? S_OK : E_NOINTERFACE;
    }
};

TEST(Host, ConnectionPointTakesSeveralSinks)
{
    IDispatch* socket = Create(L"VelkoMBDLL.CSocket");
    ASSERT_TRUE(socket);
    IConnectionPointContainer* container = nullptr;
    ASSERT_EQ(socket->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)), S_OK);
    IConnectionPoint* point = nullptr;
    ASSERT_EQ(container->FindConnectionPoint(velkomb::DIID___CSocket, &point), S_OK);
    IConnectionPoint* none = nullptr;
    EXPECT_EQ(container->FindConnectionPoint(velkomb::DIID___VelkoMB, &none), CONNECT_E_NOCONNECTION);

    CountingSink first, second;
    second.names = EventNames(socket);
    EXPECT_EQ(second.names.size(), 7u);
    DWORD a = 0, b = 0;
    EXPECT_EQ(point->Advise(&first, &a), S_OK);
    EXPECT_EQ(point->Advise(&second, &b), S_OK);
    EXPECT_NE(a, b);
    for (bool claims : {false, true}) {
        UnfitSink unfit(claims);
        DWORD cookie = 1;
        EXPECT_EQ(point->Advise(&unfit, &cookie), CONNECT_E_CANNOTCONNECT) << claims;
        EXPECT_EQ(cookie, 0u);
        EXPECT_EQ(unfit.references, 1);
    }
    // A refused connection raises OnError on every sink.
    VARIANT host, port;
    V_VT(&host) = VT_BSTR;
    V_BSTR(&host) = SysAllocString(L"127.0.0.1");
    V_VT(&port) = VT_I4;
    V_I4(&port) = 1;  // nothing listens there
    EXPECT_EQ(Call(socket, L"Connect", DISPATCH_METHOD, {host, port}).hr, S_OK);
    VariantClear(&host);
    PumpUntil([&] { return first.calls > 0 && second.calls > 0; });
    EXPECT_EQ(first.calls, 1);
    EXPECT_EQ(second.received, std::vector<std::wstring>{L"OnError"});

    IEnumConnections* connections = nullptr;
    ASSERT_EQ(point->EnumConnections(&connections), S_OK);
    CONNECTDATA data[3];
    ULONG fetched = 0;
    EXPECT_EQ(connections->Next(3, data, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 2u);
    for (ULONG i = 0; i < fetched; ++i) data[i].pUnk->Release();
    connections->Release();
    EXPECT_EQ(point->Unadvise(a), S_OK);
    EXPECT_EQ(point->Unadvise(a), CONNECT_E_NOCONNECTION);

    IProvideClassInfo2* classInfo = nullptr;
    ASSERT_EQ(socket->QueryInterface(IID_IProvideClassInfo2, reinterpret_cast<void**>(&classInfo)), S_OK);
    GUID source{};
    EXPECT_EQ(classInfo->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source), S_OK);
    EXPECT_TRUE(IsEqualGUID(source, velkomb::DIID___CSocket));
    classInfo->Release();
    point->Release();
    container->Release();
    socket->Release();
    EXPECT_EQ(first.references, 1);  // released with the object
    EXPECT_EQ(second.references, 1);
}

using CanUnloadNow = HRESULT(STDAPICALLTYPE*)();
using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

// An export as the function it is (cast through a generic function pointer,
// as a FARPROC of either build is not of that type).
template <class Function>
Function Export(HMODULE module, const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

TEST(Host, UnloadsOnlyWithoutObjectsOrLocks)
{
    HMODULE module = LoadLibraryW(L"VelkoMB.dll");
    ASSERT_TRUE(module);
    auto canUnload = Export<CanUnloadNow>(module, MAKEINTRESOURCEA(1));
    auto getClassObject = Export<GetClassObject>(module, MAKEINTRESOURCEA(2));
    ASSERT_TRUE(canUnload && getClassObject);
    EXPECT_EQ(GetProcAddress(module, "DllRegisterServer"), GetProcAddress(module, MAKEINTRESOURCEA(3)));
    EXPECT_EQ(GetProcAddress(module, "DllUnregisterServer"), GetProcAddress(module, MAKEINTRESOURCEA(4)));
    EXPECT_EQ(canUnload(), S_OK);

    IClassFactory* factory = nullptr;
    ASSERT_EQ(getClassObject(velkomb::CLSID_CSocket, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    IUnknown* object = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)), S_OK);
    EXPECT_EQ(canUnload(), S_FALSE);
    object->Release();
    EXPECT_EQ(canUnload(), S_FALSE);  // the factory is still held
    factory->LockServer(TRUE);
    factory->Release();
    EXPECT_EQ(canUnload(), S_FALSE);  // locked
    ASSERT_EQ(getClassObject(velkomb::CLSID_CSocket, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    factory->LockServer(FALSE);
    factory->Release();
    EXPECT_EQ(canUnload(), S_OK);
    IClassFactory* other = nullptr;
    EXPECT_EQ(getClassObject(velkomb::IID__CSocket, IID_IClassFactory, reinterpret_cast<void**>(&other)),
              CLASS_E_CLASSNOTAVAILABLE);
    FreeLibrary(module);
}

bool Loaded() { return GetModuleHandleW(L"VelkoMB.dll") != nullptr; }

// A host may keep enumerators and class factories after it has released
// every object; the library stays loaded under them and goes after them.
TEST(Host, HeldEnumeratorsAndFactoriesKeepTheLibraryLoaded)
{
    IClassFactory* factory = nullptr;
    ASSERT_EQ(CoGetClassObject(velkomb::CLSID_CSocket, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&factory)),
              S_OK);
    IConnectionPointContainer* container = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)),
              S_OK);
    IConnectionPoint* point = nullptr;
    ASSERT_EQ(container->FindConnectionPoint(velkomb::DIID___CSocket, &point), S_OK);
    CountingSink sink;
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(&sink, &cookie), S_OK);
    IEnumConnections* connections = nullptr;
    ASSERT_EQ(point->EnumConnections(&connections), S_OK);
    IEnumConnectionPoints* points = nullptr;
    ASSERT_EQ(container->EnumConnectionPoints(&points), S_OK);
    point->Release();
    container->Release();
    IConnectionPoint* enumerated = nullptr;
    EXPECT_EQ(points->Next(1, &enumerated, nullptr), S_OK);
    enumerated->Release();
    points->Release();  // the last reference on the object

    CoFreeUnusedLibrariesEx(0, 0);
    ASSERT_TRUE(Loaded());
    CONNECTDATA data{};
    EXPECT_EQ(connections->Next(1, &data, nullptr), S_OK);
    EXPECT_EQ(data.pUnk, static_cast<IUnknown*>(&sink));
    data.pUnk->Release();
    connections->Release();
    EXPECT_EQ(sink.references, 1);

    CoFreeUnusedLibrariesEx(0, 0);
    ASSERT_TRUE(Loaded());
    IUnknown* object = nullptr;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)), S_OK);
    object->Release();
    factory->Release();
    CoFreeUnusedLibrariesEx(0, 0);
    EXPECT_FALSE(Loaded());
}

std::wstring ReadValue(const std::wstring& key, const wchar_t* name = nullptr)
{
    wchar_t value[512];
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
        return L"<absent>";
    return value;
}

bool KeyExists(const std::wstring& key)
{
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
    RegCloseKey(handle);
    return true;
}

TEST(Host, RegistrationRoundTrip)
{
    HMODULE module = LoadLibraryW(L"VelkoMB.dll");
    ASSERT_TRUE(module);
    auto registerServer = Export<CanUnloadNow>(module, "DllRegisterServer");
    auto unregisterServer = Export<CanUnloadNow>(module, "DllUnregisterServer");
    const std::wstring keys[] = {
        L"CLSID\\{1CD48C7A-4F30-4EFA-8665-9ED3637EF62C}", L"CLSID\\{F2A12945-380E-43F0-A3C9-80CACF8A3B52}",
        L"VelkoMBDLL.VelkoMB", L"VelkoMBDLL.VelkoMB.1", L"VelkoMBDLL.CSocket", L"VelkoMBDLL.CSocket.1",
        L"TypeLib\\{BA0AEAE1-729E-4C0A-A5C8-6519B7D8D62D}", L"Interface\\{62DA8D38-DC57-4619-A9A4-DB97A44EB38C}",
        L"Interface\\{907E73B2-709D-4C7A-A51C-EA295F99257B}",
    };

    ASSERT_EQ(unregisterServer(), S_OK);
    for (const auto& key : keys) EXPECT_FALSE(KeyExists(key)) << std::string(key.begin(), key.end());

    ASSERT_EQ(registerServer(), S_OK);
    for (const auto& key : keys) EXPECT_TRUE(KeyExists(key)) << std::string(key.begin(), key.end());
    const std::wstring socketClass = L"CLSID\\{F2A12945-380E-43F0-A3C9-80CACF8A3B52}";
    EXPECT_EQ(ReadValue(socketClass + L"\\InprocServer32", L"ThreadingModel"), L"Apartment");
    EXPECT_EQ(ReadValue(socketClass + L"\\TypeLib"), L"{BA0AEAE1-729E-4C0A-A5C8-6519B7D8D62D}");
    EXPECT_EQ(ReadValue(L"VelkoMBDLL.CSocket\\CLSID"), L"{F2A12945-380E-43F0-A3C9-80CACF8A3B52}");
    // Type library versions are registered in hexadecimal: 186.0 is "ba.0".
    const std::wstring platform = sizeof(void*) == 8 ? L"win64" : L"win32";
    EXPECT_TRUE(KeyExists(L"TypeLib\\{BA0AEAE1-729E-4C0A-A5C8-6519B7D8D62D}\\ba.0\\0\\" + platform));
    // The automation marshaller serves the interfaces.
    EXPECT_EQ(ReadValue(L"Interface\\{3BB7D999-DD34-4863-BC7A-CC822BFB82DF}\\ProxyStubClsid32"),
              L"{00020424-0000-0000-C000-000000000046}");
    FreeLibrary(module);
}

} // namespace
