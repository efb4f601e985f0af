#include "tests/support/client_driver.h"
#include <utility>
#include "automation/bstr.h"
#include "automation/safearray.h"
#include "automation/variant.h"
#include "client/velkomb.h"
#include "component/com/plain_dispatch.h"
#include "tests/support/test_support.h"

namespace testsupport {

std::string ControlAnswer(const std::string& line)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    const DWORD patience = 10000;  // ms: a device that never answers fails the test, not the run
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&patience), sizeof patience);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(5020);
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    std::string answer;
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::string sent = line + "\n";
        send(s, sent.data(), static_cast<int>(sent.size()), 0);
        char buffer[512];
        int received = 0;
        while ((received = recv(s, buffer, sizeof buffer, 0)) > 0) answer.append(buffer, static_cast<size_t>(received));
    }
    closesocket(s);
    return answer;
}

bool Control(const std::string& options) { return ControlAnswer(options) == "OK\n"; }

std::wstring LateResult::Text() const
{
    automation::Variant text;
    if (FAILED(VariantChangeType(text.get(), const_cast<VARIANT*>(value.get()), 0, VT_BSTR))) return L"<none>";
    return automation::TextOf(V_BSTR(text.get()));
}

namespace {

// Calls member `name` as a script host does: its id by name, then Invoke
// with the arguments in reverse order.
LateResult Invoke(IDispatch* object, const wchar_t* name, WORD flags, std::vector<automation::Variant>& args)
{
    LateResult result;
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    result.hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(result.hr)) return result;
    std::vector<VARIANT> reversed;
    for (auto arg = args.rbegin(); arg != args.rend(); ++arg) reversed.push_back(*arg->get());
    DISPID put = DISPID_PROPERTYPUT;
    const bool isPut = flags == DISPATCH_PROPERTYPUT;
    DISPPARAMS params{reversed.data(), isPut ? &put : nullptr, static_cast<UINT>(reversed.size()), isPut ? 1u : 0u};
    EXCEPINFO exception{};
    UINT argError = 0;
    result.hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, isPut ? nullptr : result.value.get(),
                               &exception, &argError);
    if (result.hr == DISP_E_EXCEPTION) {
        result.number = HRESULT_FACILITY(exception.scode) == FACILITY_CONTROL ? HRESULT_CODE(exception.scode)
                                                                              : exception.scode;
        result.source = automation::TextOf(exception.bstrSource);
        result.description = automation::TextOf(exception.bstrDescription);
    }
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
    return result;
}

} // namespace

// Counts NewDataIn for its driver and runs the driver's handler.
class DrivenClient::Sink final : public velkomb::com::PlainDispatch<Sink> {
public:
    explicit Sink(DrivenClient& owner) : owner_(owner) {}
    void* Find(REFIID iid)
    {
        return IsEqualIID(iid, velkomb::DIID___VelkoMB) ? static_cast<IDispatch*>(this) : PlainDispatch::Find(iid);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        if (id != velkomb::DISPID_NewDataIn) return S_OK;
        ++owner_.events;
        if (owner_.onNewData) owner_.onNewData();
        return S_OK;
    }

private:
    DrivenClient& owner_;
};

DrivenClient::DrivenClient() : sink_(new Sink(*this))
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

DrivenClient::~DrivenClient() { ReleaseObject(); }

void DrivenClient::ReleaseObject()
{
    if (!mb_) return;
    point_->Unadvise(cookie_);
    point_->Release();
    sink_->Release();
    std::exchange(mb_, nullptr)->Release();
}

HRESULT DrivenClient::Set(Put put, const std::wstring& text)
{
    automation::Bstr value(text);
    BSTR raw = value.get();
    return (mb_->*put)(&raw);
}

std::wstring DrivenClient::Text(Get get)
{
    automation::Bstr value;
    (mb_->*get)(value.out());
    return value.str();
}

std::wstring DrivenClient::State()
{
    mb_->SockDiag();
    return Text(&velkomb::_VelkoMB::get_ConnState);
}

bool DrivenClient::Connect(DWORD milliseconds)
{
    if (FAILED(mb_->Connect())) return false;
    const ULONGLONG end = GetTickCount64() + milliseconds;
    while (State() != L"7" && GetTickCount64() < end) PumpFor(1);
    return State() == L"7";
}

LateResult DrivenClient::Call(const wchar_t* name, std::vector<automation::Variant> args)
{
    return Invoke(mb_, name, DISPATCH_METHOD | DISPATCH_PROPERTYGET, args);
}

LateResult DrivenClient::Let(const wchar_t* name, automation::Variant value)
{
    std::vector<automation::Variant> args;
    args.push_back(std::move(value));
    return Invoke(mb_, name, DISPATCH_PROPERTYPUT, args);
}

void DrivenClient::Request(const wchar_t* code, long start, long count)
{
    Set(&velkomb::_VelkoMB::put_MBFunCode, code);
    Set(&velkomb::_VelkoMB::put_StartAddress, std::to_wstring(start));
    Set(&velkomb::_VelkoMB::put_NrRegisters, std::to_wstring(count));
}

void DrivenClient::Write(const wchar_t* code, long start, const std::vector<long>& values)
{
    Set(&velkomb::_VelkoMB::put_MBFunCode, code);
    Set(&velkomb::_VelkoMB::put_StartWAddress, std::to_wstring(start));
    Set(&velkomb::_VelkoMB::put_NrWRegisters, std::to_wstring(values.size()));
    automation::Variant array = automation::VariantArray(static_cast<long>(values.size()) - 1);
    for (size_t i = 0; i < values.size(); ++i) {
        VARIANT v;
        V_VT(&v) = VT_I4;
        V_I4(&v) = values[i];
        automation::PutElement(*array.get(), static_cast<long>(i), v);
    }
    mb_->put_arwWReg(array.get());
}

std::vector<long> DrivenClient::Values()
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

} // namespace testsupport
