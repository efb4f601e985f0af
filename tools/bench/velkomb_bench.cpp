// Clients of the registered component as a C++ host drives them: K VelkoMB
// objects on this thread, each connected to 127.0.0.1:502, polled round-robin
// with reads of 10 holding registers through Execute, late bound (Invoke, as
// scripts call it) or through the dual vtable. Each transaction is Execute
// followed by reading arwReg; shaped as a polling script writes it, it also
// sets MBFunCode, StartAddress and NrRegisters before and reads WatchdogError
// after, all late bound, each looked up by name as script engines do at every
// member access. A script's literal lends the same text to every write;
// `--texts fresh` makes each write a newly allocated text, freed after, as
// VBA's temporaries and strings a script builds are. `--policy strict` sets
// counted transaction ids, one retry and reconnection before connecting.
// --transport chooses the client's Transport; "RTU" goes over the serial port
// --serial-port at 19200 8N1 (a pseudo-terminal takes no parity) instead of
// 127.0.0.1:502.
//   velkomb_bench.exe [--binding dispatch|vtable] [--shape execute|script]
//                     [--texts lent|fresh] [--policy default|strict]
//                     [--clients K] [--count N] [--warmup N] [--sample-every N]
//                     [--transport TCP|"RTU over TCP"|RTU] [--serial-port COMn]
#include <windows.h>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>
#include "component/interfaces.h"
#include "tools/bench/bench_common.h"

namespace {

using velkomb::_VelkoMB;

constexpr double kWatchdogSeconds = 3;
constexpr double kConnectSeconds = 10;

// One VelkoMB object. Set-up goes through late binding; the measured
// transaction through the binding under test.
class Device {
public:
    Device(IDispatch* object, bool lateBound, bool scriptShaped, bool freshTexts)
        : object_(object), lateBound_(lateBound), scriptShaped_(scriptShaped), freshTexts_(freshTexts)
    {
        object_->QueryInterface(velkomb::IID__VelkoMB, reinterpret_cast<void**>(&dual_));
        execute_ = IdOf(L"Execute");
        arwReg_ = IdOf(L"arwReg");
    }
    ~Device()
    {
        Invoke(IdOf(L"Disconnect"), DISPATCH_METHOD, nullptr, nullptr);
        if (dual_) dual_->Release();
        object_->Release();
        for (auto& setting : settings_) SysFreeString(setting.text);
    }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    void Set(const wchar_t* name, const wchar_t* text)
    {
        VARIANT value;
        V_VT(&value) = VT_BSTR;
        V_BSTR(&value) = SysAllocString(text);
        Invoke(IdOf(name), DISPATCH_PROPERTYPUT, &value, nullptr);
        VariantClear(&value);
    }
    std::wstring Get(const wchar_t* name)
    {
        VARIANT result;
        VariantInit(&result);
        Invoke(IdOf(name), DISPATCH_PROPERTYGET | DISPATCH_METHOD, nullptr, &result);
        std::wstring text = V_VT(&result) == VT_BSTR && V_BSTR(&result) ? V_BSTR(&result) : L"";
        VariantClear(&result);
        return text;
    }
    void Call(const wchar_t* name) { Invoke(IdOf(name), DISPATCH_METHOD, nullptr, nullptr); }
    bool Connected()
    {
        Call(L"SockDiag");
        return Get(L"ConnState") == L"7";
    }

    // Execute and the values read; true when they are the device's.
    bool Transact()
    {
        VARIANT values;
        VariantInit(&values);
        HRESULT hr;
        if (scriptShaped_) {
            hr = S_OK;
            for (auto& setting : settings_) {
                VARIANT text;
                V_VT(&text) = VT_BSTR;
                V_BSTR(&text) = freshTexts_ ? SysAllocStringLen(setting.text, SysStringLen(setting.text))
                                            : setting.text;
                if (SUCCEEDED(hr)) hr = Invoke(IdOf(setting.name), DISPATCH_PROPERTYPUT, &text, nullptr);
                if (freshTexts_) SysFreeString(V_BSTR(&text));
            }
            if (SUCCEEDED(hr)) hr = Invoke(IdOf(L"Execute"), DISPATCH_METHOD, nullptr, nullptr);
            if (SUCCEEDED(hr) && Get(L"WatchdogError") != L"0") hr = E_FAIL;
            if (SUCCEEDED(hr)) hr = Invoke(IdOf(L"arwReg"), DISPATCH_PROPERTYGET | DISPATCH_METHOD, nullptr, &values);
        } else if (lateBound_) {
            hr = Invoke(execute_, DISPATCH_METHOD, nullptr, nullptr);
            if (SUCCEEDED(hr)) hr = Invoke(arwReg_, DISPATCH_PROPERTYGET | DISPATCH_METHOD, nullptr, &values);
        } else {
            hr = dual_->Execute();
            if (SUCCEEDED(hr)) hr = dual_->get_arwReg(&values);
        }
        const bool valid = SUCCEEDED(hr) && HoldsDeviceValues(values);
        VariantClear(&values);
        return valid;
    }

private:
    DISPID IdOf(const wchar_t* name)
    {
        DISPID id = DISPID_UNKNOWN;
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        object_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
        return id;
    }
    HRESULT Invoke(DISPID id, WORD flags, VARIANT* value, VARIANT* result)
    {
        DISPID put = DISPID_PROPERTYPUT;
        const bool isPut = flags == DISPATCH_PROPERTYPUT;
        DISPPARAMS params{value, isPut ? &put : nullptr, value ? 1u : 0u, isPut ? 1u : 0u};
        return object_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, nullptr, nullptr);
    }
    // Registers 0..9 of the bench devices hold 1000..1009, from index 1 on.
    static bool HoldsDeviceValues(VARIANT& values)
    {
        if (V_VT(&values) != (VT_ARRAY | VT_VARIANT)) return false;
        VARIANT* elements = nullptr;
        if (FAILED(SafeArrayAccessData(V_ARRAY(&values), reinterpret_cast<void**>(&elements)))) return false;
        const bool ok = V_VT(&elements[1]) == VT_I2 && V_I2(&elements[1]) == 1000 && V_VT(&elements[10]) == VT_I2 &&
                        V_I2(&elements[10]) == 1009;
        SafeArrayUnaccessData(V_ARRAY(&values));
        return ok;
    }

    struct Setting {
        const wchar_t* name;
        BSTR text;
    };

    IDispatch* object_;
    _VelkoMB* dual_ = nullptr;
    bool lateBound_;
    bool scriptShaped_;
    bool freshTexts_;
    DISPID execute_;
    DISPID arwReg_;
    Setting settings_[3] = {{L"MBFunCode", SysAllocString(L"3")},
                            {L"StartAddress", SysAllocString(L"0")},
                            {L"NrRegisters", SysAllocString(L"10")}};
};

IDispatch* NewClientObject()
{
    CLSID clsid;
    IDispatch* object = nullptr;
    if (SUCCEEDED(CLSIDFromProgID(L"VelkoMBDLL.VelkoMB", &clsid)))
        CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(&object));
    if (!object) {
        std::fprintf(stderr, "VelkoMBDLL.VelkoMB cannot be created: is VelkoMB.dll registered?\n");
        ExitProcess(2);
    }
    return object;
}

void PumpMessagesFor(DWORD milliseconds)
{
    MsgWaitForMultipleObjectsEx(0, nullptr, milliseconds, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
}

struct Shape {
    bool lateBound;
    bool scriptShaped;
    bool freshTexts;
    bool strictPolicy;
};

struct Transport {
    std::wstring name;
    std::wstring serialPort;
};

std::vector<std::unique_ptr<Device>> ConnectedDevices(long count, const Shape& shape, const Transport& transport)
{
    std::vector<std::unique_ptr<Device>> devices;
    for (long i = 0; i < count; ++i) {
        auto device =
            std::make_unique<Device>(NewClientObject(), shape.lateBound, shape.scriptShaped, shape.freshTexts);
        device->Set(L"Transport", transport.name.c_str());
        device->Set(L"SerialPort", transport.serialPort.c_str());
        device->Set(L"SerialSettings", L"19200,N,8,1");
        device->Set(L"IPAddress", L"127.0.0.1");
        if (shape.strictPolicy) {
            device->Set(L"TransactionIds", L"Counted");
            device->Set(L"Retries", L"1");
            device->Set(L"AutoReconnect", L"1");
        }
        device->Set(L"ResponseWatchdog", std::to_wstring(static_cast<int>(kWatchdogSeconds)).c_str());
        device->Set(L"MBFunCode", L"3");
        device->Set(L"StartAddress", L"0");
        device->Set(L"NrRegisters", L"10");
        device->Call(L"Connect");
        devices.push_back(std::move(device));
    }
    const double deadline = bench::Now() + kConnectSeconds;
    for (auto& device : devices) {
        while (!device->Connected()) {
            if (bench::Now() > deadline) {
                std::fprintf(stderr, "not connected within %.0f s\n", kConnectSeconds);
                ExitProcess(2);
            }
            PumpMessagesFor(10);
        }
    }
    return devices;
}

std::string FootprintJson(const std::vector<std::pair<long, bench::ProcessFootprint>>& samples)
{
    std::string text = "[";
    for (const auto& [done, footprint] : samples) {
        char sample[64];
        std::snprintf(sample, sizeof sample, "%s[%ld, %zu, %lu]", text.size() > 1 ? ", " : "", done,
                      footprint.privateBytes, static_cast<unsigned long>(footprint.handles));
        text += sample;
    }
    return text + "]";
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const Shape shape = {bench::TextOption(argc, argv, L"--binding", L"dispatch") != L"vtable",
                         bench::TextOption(argc, argv, L"--shape", L"execute") == L"script",
                         bench::TextOption(argc, argv, L"--texts", L"lent") == L"fresh",
                         bench::TextOption(argc, argv, L"--policy", L"default") == L"strict"};
    const long clients = bench::Option(argc, argv, L"--clients", 1);
    const long count = bench::Option(argc, argv, L"--count", 20000);
    const long warmup = bench::Option(argc, argv, L"--warmup", 200);
    const long sampleEvery = bench::Option(argc, argv, L"--sample-every", 0);
    const Transport transport{bench::TextOption(argc, argv, L"--transport", L"TCP"),
                              bench::TextOption(argc, argv, L"--serial-port", L"COM5")};
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    long failures = 0, timeouts = 0;
    {
        auto devices = ConnectedDevices(clients, shape, transport);
        for (long i = 0; i < warmup; ++i) failures += !devices[i % clients]->Transact();
        std::vector<std::pair<long, bench::ProcessFootprint>> footprints;
        bench::Checkpoint("ready");
        bench::Latencies latencies(count);
        const double start = bench::Now();
        for (long i = 0; i < count; ++i) {
            if (sampleEvery > 0 && i % sampleEvery == 0) footprints.emplace_back(i, bench::Footprint());
            const double t0 = bench::Now();
            failures += !devices[i % clients]->Transact();
            const double latency = bench::Now() - t0;
            timeouts += latency > 0.9 * kWatchdogSeconds;
            latencies.add(latency);
        }
        const double elapsed = bench::Now() - start;
        if (sampleEvery > 0) footprints.emplace_back(count, bench::Footprint());
        bench::Checkpoint("done");
        bench::PrintResult(latencies.json(elapsed) + ", \"failures\": " + std::to_string(failures) +
                           ", \"timeouts\": " + std::to_string(timeouts) +
                           ", \"footprint\": " + FootprintJson(footprints));
    }
    CoUninitialize();
    return failures || timeouts ? 1 : 0;
}
