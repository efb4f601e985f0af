// The host side of the engine: hands out the WScript named items and
// reports uncaught errors, which end the script with exit code 1.
#pragma once
#include "tools/scripthost/host_state.h"
#include <activscp.h>
#include <wrl/client.h>

namespace velkomb::scripthost {

class ScriptSite final : public IActiveScriptSite {
public:
    ScriptSite(HostState& host, Microsoft::WRL::ComPtr<IDispatch> wscript);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE GetLCID(LCID* lcid) override;
    HRESULT STDMETHODCALLTYPE GetItemInfo(LPCOLESTR name, DWORD returnMask, IUnknown** item,
                                          ITypeInfo** typeInfo) override;
    HRESULT STDMETHODCALLTYPE GetDocVersionString(BSTR* version) override;
    HRESULT STDMETHODCALLTYPE OnScriptTerminate(const VARIANT* result, const EXCEPINFO* exception) override;
    HRESULT STDMETHODCALLTYPE OnStateChange(SCRIPTSTATE state) override;
    HRESULT STDMETHODCALLTYPE OnScriptError(IActiveScriptError* error) override;
    HRESULT STDMETHODCALLTYPE OnEnterScript() override;
    HRESULT STDMETHODCALLTYPE OnLeaveScript() override;

private:
    ~ScriptSite() = default;

    HostState& host_;
    Microsoft::WRL::ComPtr<IDispatch> wscript_;
    LONG references_ = 1;
};

} // namespace velkomb::scripthost
