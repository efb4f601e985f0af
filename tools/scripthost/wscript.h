// The WScript (alias WSH) object that scripts see: output, arguments,
// Sleep/DoEvents that let window messages through, object creation with
// event connections, and Quit.
#pragma once
#include "tools/scripthost/dispatch_object.h"
#include "tools/scripthost/event_connections.h"
#include <string>
#include <vector>

namespace velkomb::scripthost {

class WScript final : public DispatchObject {
public:
    WScript(HostState& host, std::vector<std::wstring> arguments);

    // Before the engine closes: no event may reach a closed script.
    void DisconnectAll() { connections_.DisconnectAll(); }

protected:
    HRESULT Call(DISPID id, WORD flags, const DISPPARAMS& params, VARIANT* result) override;

private:
    HRESULT Echo(const DISPPARAMS& params);
    HRESULT Sleep(const DISPPARAMS& params);
    HRESULT CreateObject(const DISPPARAMS& params, VARIANT* result);
    HRESULT ConnectObject(const DISPPARAMS& params);
    HRESULT DisconnectObject(const DISPPARAMS& params);
    HRESULT Quit(const DISPPARAMS& params);
    HRESULT Connect(IDispatch* object, const VARIANT& prefix);
    HRESULT ArgumentsMember(const DISPPARAMS& params, VARIANT* result);
    std::wstring ScriptName() const;
    static HRESULT ReturnObject(VARIANT* result, const ComPtr<IDispatch>& object);

    HostState& host_;
    EventConnections connections_;
    ComPtr<IDispatch> arguments_;
    ComPtr<IDispatch> stdOut_;
    ComPtr<IDispatch> stdErr_;
};

} // namespace velkomb::scripthost
