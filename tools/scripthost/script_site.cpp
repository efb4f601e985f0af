#include "tools/scripthost/script_site.h"
#include "tools/scripthost/script_error.h"

namespace velkomb::scripthost {

namespace {

bool IsWScriptName(LPCOLESTR name)
{
    return CompareStringOrdinal(name, -1, L"WScript", -1, TRUE) == CSTR_EQUAL ||
           CompareStringOrdinal(name, -1, L"WSH", -1, TRUE) == CSTR_EQUAL;
}

} // namespace

ScriptSite::ScriptSite(HostState& host, Microsoft::WRL::ComPtr<IDispatch> wscript)
    : host_(host), wscript_(std::move(wscript))
{
}

HRESULT STDMETHODCALLTYPE ScriptSite::QueryInterface(REFIID riid, void** object)
{
    if (!object) return E_POINTER;
    if (riid != IID_IUnknown && riid != __uuidof(IActiveScriptSite)) {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    *object = static_cast<IActiveScriptSite*>(this);
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE ScriptSite::AddRef() { return InterlockedIncrement(&references_); }

ULONG STDMETHODCALLTYPE ScriptSite::Release()
{
    const ULONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return left;
}

HRESULT STDMETHODCALLTYPE ScriptSite::GetLCID(LCID*) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE ScriptSite::GetItemInfo(LPCOLESTR name, DWORD returnMask, IUnknown** item,
                                                  ITypeInfo** typeInfo)
{
    if (item) *item = nullptr;
    if (typeInfo) *typeInfo = nullptr;
    if (!IsWScriptName(name)) return TYPE_E_ELEMENTNOTFOUND;
    if ((returnMask & SCRIPTINFO_ITYPEINFO) && !(returnMask & SCRIPTINFO_IUNKNOWN)) return TYPE_E_ELEMENTNOTFOUND;
    if (returnMask & SCRIPTINFO_IUNKNOWN) {
        if (!item) return E_POINTER;
        wscript_.Get()->AddRef();
        *item = wscript_.Get();
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE ScriptSite::GetDocVersionString(BSTR*) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE ScriptSite::OnScriptTerminate(const VARIANT*, const EXCEPINFO*) { return S_OK; }

HRESULT STDMETHODCALLTYPE ScriptSite::OnStateChange(SCRIPTSTATE) { return S_OK; }

HRESULT STDMETHODCALLTYPE ScriptSite::OnScriptError(IActiveScriptError* error)
{
    // The error that WScript.Quit raised to unwind the script is no error.
    if (host_.quitting || !error) return S_OK;
    EXCEPINFO exception{};
    DWORD context = 0;
    ULONG line = 0;
    LONG column = 0;
    error->GetExceptionInfo(&exception);
    error->GetSourcePosition(&context, &line, &column);
    ReportScriptError(host_.scriptFullName, line + 1, column + 1, exception);
    ClearExceptionInfo(exception);
    host_.Quit(1);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE ScriptSite::OnEnterScript() { return S_OK; }

HRESULT STDMETHODCALLTYPE ScriptSite::OnLeaveScript() { return S_OK; }

} // namespace velkomb::scripthost
