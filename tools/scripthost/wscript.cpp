#include "tools/scripthost/wscript.h"
#include "tools/scripthost/arguments.h"
#include "tools/scripthost/console_output.h"
#include "tools/scripthost/dispatch_args.h"
#include "tools/scripthost/message_pump.h"
#include "tools/scripthost/text_stream.h"

namespace velkomb::scripthost {

namespace {

enum : DISPID {
    kEcho = 1, kSleep, kDoEvents, kCreateObject, kConnectObject, kDisconnectObject, kQuit,
    kArguments, kScriptName, kScriptFullName, kName, kStdOut, kStdErr,
};

constexpr DispatchMember kMembers[] = {
    {L"Echo", kEcho},
    {L"Sleep", kSleep},
    {L"DoEvents", kDoEvents},
    {L"CreateObject", kCreateObject},
    {L"ConnectObject", kConnectObject},
    {L"DisconnectObject", kDisconnectObject},
    {L"Quit", kQuit},
    {L"Arguments", kArguments},
    {L"ScriptName", kScriptName},
    {L"ScriptFullName", kScriptFullName},
    {L"Name", kName},
    {L"StdOut", kStdOut},
    {L"StdErr", kStdErr},
};

HRESULT RequiredText(const DISPPARAMS& params, UINT index, std::wstring& text)
{
    const VARIANT* value = Argument(params, index);
    return value ? ToText(*value, text) : DISP_E_PARAMNOTOPTIONAL;
}

HRESULT RequiredObject(const DISPPARAMS& params, UINT index, ComPtr<IDispatch>& object)
{
    const VARIANT* value = Argument(params, index);
    return value ? ToDispatch(*value, object.ReleaseAndGetAddressOf()) : DISP_E_PARAMNOTOPTIONAL;
}

} // namespace

WScript::WScript(HostState& host, std::vector<std::wstring> arguments)
    : DispatchObject(kMembers), host_(host), connections_(host)
{
    arguments_.Attach(new Arguments(std::move(arguments)));
    stdOut_.Attach(new TextStream(STD_OUTPUT_HANDLE));
    stdErr_.Attach(new TextStream(STD_ERROR_HANDLE));
}

HRESULT WScript::Call(DISPID id, WORD, const DISPPARAMS& params, VARIANT* result)
{
    if (host_.quitting) return kScriptQuitting;
    switch (id) {
    case kEcho: return Echo(params);
    case kSleep: return Sleep(params);
    case kDoEvents:
        DispatchWaitingMessages(host_.quitting);
        return host_.quitting ? kScriptQuitting : S_OK;
    case kCreateObject: return CreateObject(params, result);
    case kConnectObject: return ConnectObject(params);
    case kDisconnectObject: return DisconnectObject(params);
    case kQuit: return Quit(params);
    case kArguments: return ArgumentsMember(params, result);
    case kScriptName: ReturnText(result, ScriptName()); return S_OK;
    case kScriptFullName: ReturnText(result, host_.scriptFullName); return S_OK;
    case kName: ReturnText(result, L"scripthost"); return S_OK;
    case kStdOut: return ReturnObject(result, stdOut_);
    case kStdErr: return ReturnObject(result, stdErr_);
    default: return DISP_E_MEMBERNOTFOUND;
    }
}

HRESULT WScript::Echo(const DISPPARAMS& params)
{
    std::wstring line;
    for (UINT i = 0; i < PositionalCount(params); ++i) {
        std::wstring text;
        if (const VARIANT* value = Argument(params, i)) {
            const HRESULT hr = ToText(*value, text);
            if (FAILED(hr)) return hr;
        }
        if (i > 0) line += L' ';
        line += text;
    }
    WriteText(STD_OUTPUT_HANDLE, line + L"\r\n");
    return S_OK;
}

HRESULT WScript::Sleep(const DISPPARAMS& params)
{
    const VARIANT* value = Argument(params, 0);
    if (!value) return DISP_E_PARAMNOTOPTIONAL;
    long milliseconds = 0;
    const HRESULT hr = ToLong(*value, milliseconds);
    if (FAILED(hr)) return hr;
    PumpMessagesFor(milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0, host_.quitting);
    return host_.quitting ? kScriptQuitting : S_OK;
}

HRESULT WScript::CreateObject(const DISPPARAMS& params, VARIANT* result)
{
    std::wstring progId;
    HRESULT hr = RequiredText(params, 0, progId);
    if (FAILED(hr)) return hr;
    CLSID classId{};
    if (FAILED(hr = CLSIDFromProgID(progId.c_str(), &classId))) return hr;
    ComPtr<IDispatch> object;
    hr = CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&object));
    if (FAILED(hr)) return hr;
    if (const VARIANT* prefix = Argument(params, 1)) {
        if (FAILED(hr = Connect(object.Get(), *prefix))) return hr;
    }
    return ReturnObject(result, object);
}

HRESULT WScript::ConnectObject(const DISPPARAMS& params)
{
    ComPtr<IDispatch> object;
    const HRESULT hr = RequiredObject(params, 0, object);
    if (FAILED(hr)) return hr;
    const VARIANT* prefix = Argument(params, 1);
    return prefix ? Connect(object.Get(), *prefix) : DISP_E_PARAMNOTOPTIONAL;
}

HRESULT WScript::DisconnectObject(const DISPPARAMS& params)
{
    ComPtr<IDispatch> object;
    const HRESULT hr = RequiredObject(params, 0, object);
    if (SUCCEEDED(hr)) connections_.Disconnect(object.Get());
    return hr;
}

HRESULT WScript::Quit(const DISPPARAMS& params)
{
    long code = 0;
    if (const VARIANT* value = Argument(params, 0)) {
        const HRESULT hr = ToLong(*value, code);
        if (FAILED(hr)) return hr;
    }
    host_.Quit(static_cast<int>(code));
    return kScriptQuitting;
}

HRESULT WScript::Connect(IDispatch* object, const VARIANT& prefix)
{
    std::wstring prefixText;
    HRESULT hr = ToText(prefix, prefixText);
    if (FAILED(hr)) return hr;
    ComPtr<IDispatch> scriptNamespace;
    if (FAILED(hr = host_.engine->GetScriptDispatch(nullptr, &scriptNamespace))) return hr;
    return connections_.Connect(object, prefixText, scriptNamespace.Get());
}

// WScript.Arguments(i) arrives here with i: it is Item(i) of the collection.
HRESULT WScript::ArgumentsMember(const DISPPARAMS& params, VARIANT* result)
{
    if (PositionalCount(params) == 0) return ReturnObject(result, arguments_);
    return arguments_->Invoke(DISPID_VALUE, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                              const_cast<DISPPARAMS*>(&params), result, nullptr, nullptr);
}

std::wstring WScript::ScriptName() const
{
    const size_t separator = host_.scriptFullName.find_last_of(L"\\/");
    return separator == std::wstring::npos ? host_.scriptFullName : host_.scriptFullName.substr(separator + 1);
}

HRESULT WScript::ReturnObject(VARIANT* result, const ComPtr<IDispatch>& object)
{
    object.Get()->AddRef();
    ReturnDispatch(result, object.Get());
    return S_OK;
}

} // namespace velkomb::scripthost
