// Generic helpers for tests of the component's objects on a real message
// loop: an event sink that records every event it gets, and a bounded message
// pump. Linking this file also gives the test program one apartment-threaded
// COM apartment and a Winsock reference of its own for its whole run, so raw
// socket calls of the tests work whatever the objects do with the service.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <ocidl.h>
#include <functional>
#include <string>
#include <string_view>
#include <vector>
#include "automation/variant.h"

namespace testsupport {

// One event as the sink received it: arguments in declaration order, by-
// reference arguments copied as their values.
struct Event {
    DISPID id;
    std::vector<automation::Variant> args;

    LONG LongArg(size_t index) const;
    std::wstring TextArg(size_t index) const;
};

// An IDispatch sink that records every event by dispatch identifier. An
// optional handler runs inside the event, after it has been recorded (it may
// call back into the source or drop the test's last reference to it).
class EventSink final : public IDispatch {
public:
    explicit EventSink(REFIID events);  // one reference for the creator

    // Advises this sink on source's connection point for the events
    // interface; true on success. The connection lasts as long as the source.
    bool AdviseOn(IUnknown* source);

    void OnEvent(std::function<void(const Event&)> handler) { handler_ = std::move(handler); }
    const std::vector<Event>& events() const { return events_; }
    size_t Count(DISPID id) const;
    // The first/last event with that identifier, or nullptr.
    const Event* First(DISPID id) const;
    const Event* Last(DISPID id) const;
    // The identifiers in the order they arrived.
    std::vector<DISPID> Sequence() const;
    void Clear() { events_.clear(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO*, UINT*) override;

private:
    ~EventSink() = default;

    IID eventsIid_;
    ULONG references_ = 1;
    std::vector<Event> events_;
    std::function<void(const Event&)> handler_;
};

// Dispatches the thread's messages like a host's loop until done() holds
// (tested before waiting and after every message) or timeoutMs has passed.
// True when done() held.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 5000);
// Dispatches messages for the whole time given.
void PumpFor(DWORD milliseconds);

// The failure a vtable call reported: HRESULT plus the thread's error info.
struct ReportedError {
    HRESULT hr = S_OK;
    std::wstring source;
    std::wstring description;
};
ReportedError ErrorOf(HRESULT hr);

// Argument values as a host passes them.
automation::Variant Missing();
automation::Variant Long(LONG value);
automation::Variant Short(SHORT value);
automation::Variant Double(double value);
automation::Variant Boolean(bool value);
automation::Variant Text(std::wstring_view text);
automation::Variant Bytes(std::string_view bytes);

// The HRESULT hosts read as automation error `number`.
constexpr HRESULT ErrorNumber(long number) { return static_cast<HRESULT>(0x800A0000u | (number & 0xFFFF)); }

} // namespace testsupport
