// A VelkoMB driven as a host drives it through its dual interface: text
// properties in and out, a quick connect, writes from a list of values, the
// read array as numbers, a count of NewDataIn, members called by name, and
// the fake device's control port. Watchdog "1" unless a test sets another.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <ocidl.h>
#include <functional>
#include <string>
#include <vector>
#include "automation/variant.h"
#include "component/interfaces.h"
#include "tests/support/test_support.h"

namespace testsupport {

using Put = HRESULT (STDMETHODCALLTYPE velkomb::_VelkoMB::*)(BSTR*);
using Get = HRESULT (STDMETHODCALLTYPE velkomb::_VelkoMB::*)(BSTR*);

// Sends one line to the fake device's control port (5020) and returns its
// answer; Control is true when the options were taken ("OK").
std::string ControlAnswer(const std::string& line);
bool Control(const std::string& options);

// Arguments for members called by name.
inline automation::Variant Arg(const wchar_t* text) { return Text(text); }
inline automation::Variant Arg(int number) { return Long(number); }
inline automation::Variant Arg(double number) { return Double(number); }

// The outcome of a member called by name: the value, or the automation error
// (number 0 when the call succeeded) with its source and description.
struct LateResult {
    HRESULT hr = S_OK;
    long number = 0;
    std::wstring source;
    std::wstring description;
    automation::Variant value;
    // The value as text (the runtime's conversion), "<none>" without one.
    std::wstring Text() const;
};

class DrivenClient {
public:
    DrivenClient();
    ~DrivenClient();
    DrivenClient(const DrivenClient&) = delete;
    DrivenClient& operator=(const DrivenClient&) = delete;

    velkomb::_VelkoMB* operator->() const { return mb_; }
    HRESULT Set(Put put, const std::wstring& text);
    std::wstring Text(Get get);
    std::wstring State();
    // Connect, then pump until the connection is up or `milliseconds` passed.
    bool Connect(DWORD milliseconds = 2000);
    void Request(const wchar_t* code, long start, long count);
    // A write of `values` from address `start` (NrWRegisters = their number).
    void Write(const wchar_t* code, long start, const std::vector<long>& values);
    // Elements 1.. of arwReg as numbers, -1 for Empty; empty without an array.
    std::vector<long> Values();
    // Members reached by name through IDispatch, as scripts reach them:
    // a method or property read, and a property write.
    LateResult Call(const wchar_t* name, std::vector<automation::Variant> args = {});
    LateResult Let(const wchar_t* name, automation::Variant value);
    std::wstring Read(const wchar_t* name) { return Call(name).Text(); }

    // Drops every reference the host holds (sink, connection point, object);
    // the driver is unusable afterwards.
    void ReleaseObject();

    int events = 0;
    std::function<void()> onNewData;

private:
    class Sink;
    velkomb::_VelkoMB* mb_ = nullptr;
    Sink* sink_ = nullptr;
    IConnectionPoint* point_ = nullptr;
    DWORD cookie_ = 0;
};

} // namespace testsupport
