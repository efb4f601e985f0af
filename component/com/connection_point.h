// One connection point of an object: the sinks of one event interface, and
// the raising of an event on all of them.
#pragma once
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
#include <span>
#include <vector>

namespace velkomb::com {

class ConnectionPoint final : public IConnectionPoint {
public:
    // `owner` is the object the point belongs to; the point lives inside it
    // and counts its references on it.
    ConnectionPoint(IConnectionPointContainer* owner, REFIID events) : owner_(owner), events_(events) {}
    ~ConnectionPoint();
    ConnectionPoint(const ConnectionPoint&) = delete;
    ConnectionPoint& operator=(const ConnectionPoint&) = delete;

    REFIID events() const { return events_; }
    // Drops every sink (when the owner goes away).
    void DisconnectAll();

    // Raises event `id` on every sink, arguments in declaration order. The
    // sinks' own failures are ignored: an event has no one to report to.
    void Raise(DISPID id, std::span<VARIANT> arguments = {});

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return owner_->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return owner_->Release(); }
    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** out) override;
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** out) override;

private:
    struct Sink {
        DWORD cookie;
        IDispatch* dispatch;
    };

    IConnectionPointContainer* owner_;
    IID events_;
    std::vector<Sink> sinks_;
    DWORD nextCookie_ = 1;
};

// Event arguments: values and references the caller keeps alive while the
// event is raised.
VARIANT EventArg(LONG value);
VARIANT EventArg(SHORT value);
VARIANT EventArg(BSTR value);
VARIANT EventArgRef(BSTR* value);
VARIANT EventArgRef(VARIANT_BOOL* value);

} // namespace velkomb::com
