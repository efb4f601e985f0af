#include "tests/support/test_support.h"
#include <gtest/gtest.h>
#include "automation/safearray.h"

namespace testsupport {
namespace {

class ApartmentEnvironment final : public ::testing::Environment {
public:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        WSADATA data{};
        ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
    }
    void TearDown() override
    {
        WSACleanup();
        CoUninitialize();
    }
};

[[maybe_unused]] ::testing::Environment* const apartment =
    ::testing::AddGlobalTestEnvironment(new ApartmentEnvironment);

} // namespace

LONG Event::LongArg(size_t index) const
{
    automation::Variant value;
    if (index >= args.size() || FAILED(VariantChangeType(value.get(), const_cast<VARIANT*>(args[index].get()), 0, VT_I4)))
        ADD_FAILURE() << "event " << id << " has no numeric argument " << index;
    return V_VT(value.get()) == VT_I4 ? V_I4(value.get()) : 0;
}

std::wstring Event::TextArg(size_t index) const
{
    if (index >= args.size() || args[index].type() != VT_BSTR) {
        ADD_FAILURE() << "event " << id << " has no text argument " << index;
        return {};
    }
    BSTR text = V_BSTR(args[index].get());
    return text ? std::wstring(text, SysStringLen(text)) : std::wstring();
}

EventSink::EventSink(REFIID events) : eventsIid_(events) {}

bool EventSink::AdviseOn(IUnknown* source)
{
    IConnectionPointContainer* container = nullptr;
    if (FAILED(source->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container))))
        return false;
    IConnectionPoint* point = nullptr;
    HRESULT hr = container->FindConnectionPoint(eventsIid_, &point);
    container->Release();
    if (FAILED(hr)) return false;
    DWORD cookie = 0;
    hr = point->Advise(static_cast<IDispatch*>(this), &cookie);
    point->Release();  // holding it would keep the source alive
    return SUCCEEDED(hr);
}

size_t EventSink::Count(DISPID id) const
{
    size_t count = 0;
    for (const Event& event : events_) count += event.id == id;
    return count;
}

const Event* EventSink::First(DISPID id) const
{
    for (const Event& event : events_)
        if (event.id == id) return &event;
    return nullptr;
}

const Event* EventSink::Last(DISPID id) const
{
    for (auto event = events_.rbegin(); event != events_.rend(); ++event)
        if (event->id == id) return &*event;
    return nullptr;
}

std::vector<DISPID> EventSink::Sequence() const
{
    std::vector<DISPID> ids;
    for (const Event& event : events_) ids.push_back(event.id);
    return ids;
}

HRESULT EventSink::QueryInterface(REFIID iid, void** out)
{
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, eventsIid_)) {
        *out = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

ULONG EventSink::Release()
{
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
}

HRESULT EventSink::GetTypeInfoCount(UINT* count)
{
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
}

HRESULT EventSink::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*, UINT*)
{
    Event event{id, {}};
    // Positional arguments arrive last to first.
    for (UINT i = params ? params->cArgs : 0; i > 0; --i)
        event.args.push_back(automation::Variant::CopyOf(params->rgvarg[i - 1]));
    if (result) VariantInit(result);
    events_.push_back(event);
    AddRef();  // the handler may drop the source, and the source this sink
    if (handler_) handler_(event);
    Release();
    return S_OK;
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        if (done()) return true;
        MSG message;
        bool dispatched = false;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
            dispatched = true;
            if (done()) return true;
        }
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) return false;
        if (!dispatched) MsgWaitForMultipleObjects(0, nullptr, FALSE, timeoutMs - elapsed, QS_ALLINPUT);
    }
}

void PumpFor(DWORD milliseconds)
{
    PumpUntil([] { return false; }, milliseconds);
}

ReportedError ErrorOf(HRESULT hr)
{
    ReportedError error{hr, {}, {}};
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK || !info) return error;
    BSTR source = nullptr;
    BSTR description = nullptr;
    info->GetSource(&source);
    info->GetDescription(&description);
    if (source) error.source.assign(source, SysStringLen(source));
    if (description) error.description.assign(description, SysStringLen(description));
    SysFreeString(source);
    SysFreeString(description);
    info->Release();
    return error;
}

automation::Variant Missing()
{
    automation::Variant v;
    V_VT(v.get()) = VT_ERROR;
    V_ERROR(v.get()) = DISP_E_PARAMNOTFOUND;
    return v;
}

automation::Variant Long(LONG value)
{
    automation::Variant v;
    V_VT(v.get()) = VT_I4;
    V_I4(v.get()) = value;
    return v;
}

automation::Variant Short(SHORT value)
{
    automation::Variant v;
    V_VT(v.get()) = VT_I2;
    V_I2(v.get()) = value;
    return v;
}

automation::Variant Double(double value)
{
    automation::Variant v;
    V_VT(v.get()) = VT_R8;
    V_R8(v.get()) = value;
    return v;
}

automation::Variant Boolean(bool value)
{
    automation::Variant v;
    V_VT(v.get()) = VT_BOOL;
    V_BOOL(v.get()) = value ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
}

automation::Variant Text(std::wstring_view text)
{
    automation::Variant v;
    V_VT(v.get()) = VT_BSTR;
    V_BSTR(v.get()) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return v;
}

automation::Variant Bytes(std::string_view bytes)
{
    return automation::ByteArrayVariant({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
}

} // namespace testsupport
