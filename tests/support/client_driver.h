// A VelkoMB driven as a host drives it through its dual interface: text
// properties in and out, a quick connect, writes from a list of values, the
// read array as numbers, a count of NewDataIn, and the fake device's control
// port. Watchdog "1" unless a test sets another.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <ocidl.h>
#include <functional>
#include <string>
#include <vector>
#include "component/interfaces.h"

namespace testsupport {

using Put = HRESULT (STDMETHODCALLTYPE velkomb::_VelkoMB::*)(BSTR*);
using Get = HRESULT (STDMETHODCALLTYPE velkomb::_VelkoMB::*)(BSTR*);

// Sends one line of options to the fake device's control port (5020); false
// when it did not answer OK.
bool Control(const std::string& options);

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
