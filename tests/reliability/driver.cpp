#include "tests/reliability/driver.h"
#include <utility>
#include "automation/bstr.h"
#include "automation/safearray.h"
#include "automation/variant.h"
#include "client/velkomb.h"

namespace reliability {

void Pump(DWORD milliseconds)
{
    const ULONGLONG end = GetTickCount64() + milliseconds;
    for (ULONGLONG now = GetTickCount64(); now < end; now = GetTickCount64()) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
    }
}

bool Control(const std::string& options)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(5020);
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    std::string answer;
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::string line = options + "\n";
        send(s, line.data(), static_cast<int>(line.size()), 0);
        char buffer[16] = {};
        const int received = recv(s, buffer, sizeof buffer - 1, 0);
        if (received > 0) answer.assign(buffer, static_cast<size_t>(received));
    }
    closesocket(s);
    return answer == "OK\n";
}

// Counts NewDataIn for its driver and runs the driver's handler.
class Driven::Sink final : public IDispatch {
public:
    explicit Sink(Driven& owner) : owner_(owner) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, velkomb::DIID___VelkoMB)) {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override { *count = 0; return S_OK; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        if (id != velkomb::DISPID_NewDataIn) return S_OK;
        ++owner_.events;
        if (owner_.onNewData) owner_.onNewData();
        return S_OK;
    }

private:
    Driven& owner_;
    ULONG references_ = 1;
};

Driven::Driven() : sink_(new Sink(*this))
{
    velkomb::client::VelkoMB* created = velkomb::client::VelkoMB::Create();
    created->QueryInterface(velkomb::IID__VelkoMB, reinterpret_cast<void**>(&mb_));
    created->Release();
    IConnectionPointContainer* container = nullptr;
    mb_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
    container->FindConnectionPoint(velkomb::DIID___VelkoMB, &point_);
    container->Release();
    point_->Advise(sink_, &cookie_);
    Set(&velkomb::_VelkoMB::put_IPAddress, L"127.0.0.1");
    Set(&velkomb::_VelkoMB::put_ResponseWatchdog, L"1");
}

Driven::~Driven() { ReleaseObject(); }

void Driven::ReleaseObject()
{
    if (!mb_) return;
    point_->Unadvise(cookie_);
    point_->Release();
    sink_->Release();
    std::exchange(mb_, nullptr)->Release();
}

HRESULT Driven::Set(Put put, const std::wstring& text)
{
    automation::Bstr value(text);
    BSTR raw = value.get();
    return (mb_->*put)(&raw);
}

std::wstring Driven::Text(Get get)
{
    automation::Bstr value;
    (mb_->*get)(value.out());
    return value.str();
}

std::wstring Driven::State()
{
    mb_->SockDiag();
    return Text(&velkomb::_VelkoMB::get_ConnState);
}

bool Driven::Connect(DWORD milliseconds)
{
    if (FAILED(mb_->Connect())) return false;
    const ULONGLONG end = GetTickCount64() + milliseconds;
    while (State() != L"7" && GetTickCount64() < end) Pump(1);
    return State() == L"7";
}

void Driven::Request(const wchar_t* code, long start, long count)
{
    Set(&velkomb::_VelkoMB::put_MBFunCode, code);
    Set(&velkomb::_VelkoMB::put_StartAddress, std::to_wstring(start));
    Set(&velkomb::_VelkoMB::put_NrRegisters, std::to_wstring(count));
}

std::vector<long> Driven::Values()
{
    automation::Variant reg;
    mb_->get_arwReg(reg.get());
    std::vector<long> values;
    if (!(reg.type() & VT_ARRAY)) return values;
    LONG upper = -1;
    SafeArrayGetUBound(V_ARRAY(reg.get()), 1, &upper);
    for (long i = 1; i <= upper; ++i) {
        automation::Variant element = automation::ElementOf(*reg.get(), i);
        VARIANT number;
        VariantInit(&number);
        const bool isNumber = !element.isEmpty() && SUCCEEDED(VariantChangeType(&number, element.get(), 0, VT_I4));
        values.push_back(isNumber ? V_I4(&number) : -1);
    }
    return values;
}

} // namespace reliability
