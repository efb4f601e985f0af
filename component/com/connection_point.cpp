#include "component/com/connection_point.h"
#include <algorithm>
#include <array>
#include "component/com/enumerator.h"
#include "component/com/guarded.h"

namespace velkomb::com {

ConnectionPoint::~ConnectionPoint() { DisconnectAll(); }

void ConnectionPoint::DisconnectAll()
{
    auto sinks = std::move(sinks_);
    sinks_.clear();
    for (auto& sink : sinks) sink.dispatch->Release();
}

void ConnectionPoint::Raise(DISPID id, std::span<VARIANT> arguments)
{
    if (sinks_.empty()) return;
    // Positional arguments travel last to first. No event has more than
    // seven, and few objects more than a handful of sinks: both stay on the
    // stack, as events are raised at every transaction.
    std::array<VARIANT, 8> reversed;
    if (arguments.size() > reversed.size()) return;
    std::reverse_copy(arguments.begin(), arguments.end(), reversed.begin());
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(arguments.size()), 0};

    // A handler may advise or unadvise while the event runs: work on a
    // referenced snapshot of the sinks.
    std::array<IDispatch*, 4> few;
    std::vector<IDispatch*> many;
    if (sinks_.size() > few.size()) many.resize(sinks_.size());
    const std::span<IDispatch*> targets = many.empty() ? std::span(few.data(), sinks_.size()) : std::span(many);
    for (size_t i = 0; i < sinks_.size(); ++i) {
        targets[i] = sinks_[i].dispatch;
        targets[i]->AddRef();
    }
    for (IDispatch* target : targets) {
        VARIANT result;
        VariantInit(&result);
        EXCEPINFO exception{};
        UINT argError = 0;
        target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, &exception, &argError);
        VariantClear(&result);
        SysFreeString(exception.bstrSource);
        SysFreeString(exception.bstrDescription);
        SysFreeString(exception.bstrHelpFile);
        target->Release();
    }
}

HRESULT ConnectionPoint::QueryInterface(REFIID iid, void** out)
{
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IConnectionPoint)) {
        *out = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

HRESULT ConnectionPoint::GetConnectionInterface(IID* iid)
{
    if (!iid) return E_POINTER;
    *iid = events_;
    return S_OK;
}

HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** out)
{
    if (!out) return E_POINTER;
    owner_->AddRef();
    *out = owner_;
    return S_OK;
}

// A sink must answer the event interface or, as script sinks do, IDispatch.
// A sink that claims to answer but hands out nothing is refused too.
HRESULT ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie)
{
    if (!sink || !cookie) return E_POINTER;
    *cookie = 0;
    return Guarded([&] {
        sinks_.reserve(sinks_.size() + 1);  // the reference taken below is always stored
        IDispatch* dispatch = nullptr;
        for (const IID* iid : {static_cast<const IID*>(&events_), &IID_IDispatch}) {
            if (SUCCEEDED(sink->QueryInterface(*iid, reinterpret_cast<void**>(&dispatch))) && dispatch) break;
            dispatch = nullptr;
        }
        if (!dispatch) return CONNECT_E_CANNOTCONNECT;
        sinks_.push_back({nextCookie_++, dispatch});
        *cookie = sinks_.back().cookie;
        return S_OK;
    });
}

HRESULT ConnectionPoint::Unadvise(DWORD cookie)
{
    auto found = std::find_if(sinks_.begin(), sinks_.end(), [cookie](const Sink& s) { return s.cookie == cookie; });
    if (found == sinks_.end()) return CONNECT_E_NOCONNECTION;
    IDispatch* dispatch = found->dispatch;
    sinks_.erase(found);
    dispatch->Release();
    return S_OK;
}

HRESULT ConnectionPoint::EnumConnections(IEnumConnections** out)
{
    if (!out) return E_POINTER;
    *out = nullptr;
    return Guarded([&] {
        std::vector<CONNECTDATA> items;
        for (auto& sink : sinks_) items.push_back({sink.dispatch, sink.cookie});
        *out = new ConnectionEnumerator(std::move(items));
        return S_OK;
    });
}

VARIANT EventArg(LONG value)
{
    VARIANT v;
    V_VT(&v) = VT_I4;
    V_I4(&v) = value;
    return v;
}

VARIANT EventArg(SHORT value)
{
    VARIANT v;
    V_VT(&v) = VT_I2;
    V_I2(&v) = value;
    return v;
}

VARIANT EventArg(BSTR value)
{
    VARIANT v;
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = value;
    return v;
}

VARIANT EventArgRef(BSTR* value)
{
    VARIANT v;
    V_VT(&v) = VT_BSTR | VT_BYREF;
    V_BSTRREF(&v) = value;
    return v;
}

VARIANT EventArgRef(VARIANT_BOOL* value)
{
    VARIANT v;
    V_VT(&v) = VT_BOOL | VT_BYREF;
    V_BOOLREF(&v) = value;
    return v;
}

} // namespace velkomb::com
