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
// `--shape async` measures scans: every client's ExecuteAsync, then
// WaitForReply and arwReg of each in turn, so the K requests are outstanding
// together; --count and --warmup then count scans. --registers R reads R
// registers per Execute; with --max-per-request M above 0 a read of more than
// M goes as parts of M, by the client's MaxPerRequest (`--split component`)
// or as one Execute per part with its own StartAddress (`--split host`), and
// --count and --warmup count whole reads. Every part is a transaction of the
// result.
//   velkomb_bench.exe [--binding dispatch|vtable] [--shape execute|script|async]
//                     [--texts lent|fresh] [--policy default|strict]
//                     [--clients K] [--count N] [--warmup N] [--sample-every N]
//                     [--transport TCP|"RTU over TCP"|RTU] [--serial-port COMn]
//                     [--registers R] [--max-per-request M] [--split component|host]
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

struct Shape {
    bool lateBound;
    bool scriptShaped;
    bool freshTexts;
    bool strictPolicy;
    bool async;
    long registers;
    long maxPerRequest;
    bool hostSplit;

    long Parts() const { return maxPerRequest > 0 ? (registers + maxPerRequest - 1) / maxPerRequest : 1; }
    // NrRegisters of each Execute.
    long PerExecute() const { return hostSplit ? maxPerRequest : registers; }
};

// One VelkoMB object. Set-up goes through late binding; the measured
// transaction through the binding under test.
class Device {
public:
    Device(IDispatch* object, const Shape& shape) : object_(object), shape_(shape)
    {
        object_->QueryInterface(velkomb::IID__VelkoMB, reinterpret_cast<void**>(&dual_));
        execute_ = IdOf(L"Execute");
        executeAsync_ = IdOf(L"ExecuteAsync");
        waitForReply_ = IdOf(L"WaitForReply");
        arwReg_ = IdOf(L"arwReg");
        startAddress_ = IdOf(L"StartAddress");
        settings_[2].text = SysAllocString(std::to_wstring(shape.PerExecute()).c_str());
        for (long first = 0; shape.hostSplit && first < shape.registers; first += shape.maxPerRequest)
            partStarts_.push_back(SysAllocString(std::to_wstring(first).c_str()));
    }
    ~Device()
    {
        Invoke(IdOf(L"Disconnect"), DISPATCH_METHOD, nullptr, nullptr);
        if (dual_) dual_->Release();
        object_->Release();
        for (auto& setting : settings_) SysFreeString(setting.text);
        for (BSTR start : partStarts_) SysFreeString(start);
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

    // One read of --registers registers, as one Execute or one per part of a
    // host's split; true when every value read is the device's.
    bool Transact()
    {
        if (!shape_.hostSplit) return TransactOnce(0, shape_.registers);
        bool valid = true;
        for (size_t part = 0; part < partStarts_.size(); ++part) {
            VARIANT start;
            V_VT(&start) = VT_BSTR;
            V_BSTR(&start) = partStarts_[part];
            valid &= SUCCEEDED(Invoke(startAddress_, DISPATCH_PROPERTYPUT, &start, nullptr)) &&
                     TransactOnce(static_cast<long>(part) * shape_.maxPerRequest, shape_.maxPerRequest);
        }
        return valid;
    }

    // ExecuteAsync: the request goes out and the call returns.
    bool Send() { return SUCCEEDED(Invoke(executeAsync_, DISPATCH_METHOD, nullptr, nullptr)); }
    // WaitForReply and the values read, as Transact's.
    bool Collect()
    {
        VARIANT values;
        VariantInit(&values);
        HRESULT hr = Invoke(waitForReply_, DISPATCH_METHOD, nullptr, nullptr);
        if (SUCCEEDED(hr)) hr = Invoke(arwReg_, DISPATCH_PROPERTYGET | DISPATCH_METHOD, nullptr, &values);
        const bool valid = SUCCEEDED(hr) && HoldsDeviceValues(values, 0, shape_.registers);
        VariantClear(&values);
        return valid;
    }

private:
    // Execute and the `count` values from `first` read.
    bool TransactOnce(long first, long count)
    {
        VARIANT values;
        VariantInit(&values);
        HRESULT hr;
        if (shape_.scriptShaped) {
            hr = S_OK;
            for (auto& setting : settings_) {
                VARIANT text;
                V_VT(&text) = VT_BSTR;
                V_BSTR(&text) = shape_.freshTexts ? SysAllocStringLen(setting.text, SysStringLen(setting.text))
                                            : setting.text;
                if (SUCCEEDED(hr)) hr = Invoke(IdOf(setting.name), DISPATCH_PROPERTYPUT, &text, nullptr);
                if (shape_.freshTexts) SysFreeString(V_BSTR(&text));
            }
            if (SUCCEEDED(hr)) hr = Invoke(IdOf(L"Execute"), DISPATCH_METHOD, nullptr, nullptr);
            if (SUCCEEDED(hr) && Get(L"WatchdogError") != L"0") hr = E_FAIL;
            if (SUCCEEDED(hr)) hr = Invoke(IdOf(L"arwReg"), DISPATCH_PROPERTYGET | DISPATCH_METHOD, nullptr, &values);
        } else if (shape_.lateBound) {
            hr = Invoke(execute_, DISPATCH_METHOD, nullptr, nullptr);
            if (SUCCEEDED(hr)) hr = Invoke(arwReg_, DISPATCH_PROPERTYGET | DISPATCH_METHOD, nullptr, &values);
        } else {
            hr = dual_->Execute();
            if (SUCCEEDED(hr)) hr = dual_->get_arwReg(&values);
        }
        const bool valid = SUCCEEDED(hr) && HoldsDeviceValues(values, first, count);
        VariantClear(&values);
        return valid;
    }

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
    // Register a of the bench devices holds 1000 + a; the first of the
    // `count` read is at index 1.
    static bool HoldsDeviceValues(VARIANT& values, long first, long count)
    {
        if (V_VT(&values) != (VT_ARRAY | VT_VARIANT)) return false;
        VARIANT* elements = nullptr;
        if (FAILED(SafeArrayAccessData(V_ARRAY(&values), reinterpret_cast<void**>(&elements)))) return false;
        const auto holds = [&](long index) {
            return V_VT(&elements[index]) == VT_I2 && V_I2(&elements[index]) == 1000 + first + index - 1;
        };
        const bool ok = holds(1) && holds(count);
        SafeArrayUnaccessData(V_ARRAY(&values));
        return ok;
    }

    struct Setting {
        const wchar_t* name;
        BSTR text;
    };

    IDispatch* object_;
    _VelkoMB* dual_ = nullptr;
    const Shape& shape_;
    DISPID execute_;
    DISPID executeAsync_;
    DISPID waitForReply_;
    DISPID arwReg_;
    DISPID startAddress_;
    Setting settings_[3] = {{L"MBFunCode", SysAllocString(L"3")},
                            {L"StartAddress", SysAllocString(L"0")},
                            {L"NrRegisters", nullptr}};
    std::vector<BSTR> partStarts_;
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

struct Transport {
    std::wstring name;
    std::wstring serialPort;
};

std::vector<std::unique_ptr<Device>> ConnectedDevices(long count, const Shape& shape, const Transport& transport)
{
    std::vector<std::unique_ptr<Device>> devices;
    for (long i = 0; i < count; ++i) {
        auto device = std::make_unique<Device>(NewClientObject(), shape);
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
        device->Set(L"NrRegisters", std::to_wstring(shape.PerExecute()).c_str());
        if (!shape.hostSplit) device->Set(L"MaxPerRequest", std::to_wstring(shape.maxPerRequest).c_str());
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
    const std::wstring loop = bench::TextOption(argc, argv, L"--shape", L"execute");
    const Shape shape = {bench::TextOption(argc, argv, L"--binding", L"dispatch") != L"vtable",
                         loop == L"script",
                         bench::TextOption(argc, argv, L"--texts", L"lent") == L"fresh",
                         bench::TextOption(argc, argv, L"--policy", L"default") == L"strict",
                         loop == L"async",
                         bench::Option(argc, argv, L"--registers", 10),
                         bench::Option(argc, argv, L"--max-per-request", 0),
                         bench::TextOption(argc, argv, L"--split", L"component") == L"host"};
    if (shape.hostSplit && (shape.maxPerRequest <= 0 || shape.registers % shape.maxPerRequest != 0)) {
        std::fprintf(stderr, "--split host needs --registers in whole parts of --max-per-request\n");
        return 2;
    }
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
        // One unit of the loop: the next client's read, or a scan of all.
        // A scan's time beyond the device's delay is mostly its sending.
        double sending = 0;
        const auto unit = [&](long i) {
            if (!shape.async) return static_cast<long>(!devices[i % clients]->Transact());
            long failed = 0;
            const double t0 = bench::Now();
            for (auto& device : devices) failed += !device->Send();
            sending += bench::Now() - t0;
            for (auto& device : devices) failed += !device->Collect();
            return failed;
        };
        const long transactionsPerUnit = shape.async ? clients : shape.Parts();
        const long registersPerUnit = shape.async ? clients * shape.registers : shape.registers;
        for (long i = 0; i < warmup; ++i) failures += unit(i);
        sending = 0;
        std::vector<std::pair<long, bench::ProcessFootprint>> footprints;
        bench::Checkpoint("ready");
        bench::Latencies latencies(count);
        const double start = bench::Now();
        for (long i = 0; i < count; ++i) {
            if (sampleEvery > 0 && i % sampleEvery == 0) footprints.emplace_back(i, bench::Footprint());
            const double t0 = bench::Now();
            failures += unit(i);
            const double latency = bench::Now() - t0;
            timeouts += latency > 0.9 * kWatchdogSeconds;
            latencies.add(latency);
        }
        const double elapsed = bench::Now() - start;
        if (sampleEvery > 0) footprints.emplace_back(count, bench::Footprint());
        bench::Checkpoint("done");
        char registers[96];
        std::snprintf(registers, sizeof registers, ", \"registers_per_s\": %.1f, \"send_us\": %.1f",
                      registersPerUnit * count / elapsed, sending / count * 1e6);
        bench::PrintResult(latencies.json(elapsed, transactionsPerUnit) + registers + ", \"failures\": " + std::to_string(failures) +
                           ", \"timeouts\": " + std::to_string(timeouts) +
                           ", \"footprint\": " + FootprintJson(footprints));
    }
    CoUninitialize();
    return failures || timeouts ? 1 : 0;
}
