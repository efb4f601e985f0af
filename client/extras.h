// The client's members beyond its type library: reachable by name through
// IDispatch only, so the library, the dual interface `_VelkoMB`, its vtable
// and its dispatch ids stay as hosts compiled against them know them. The
// interface below and the records after it list the members in the same
// order; the records are those the library is written from, so names,
// parameter names, kinds and types are looked up and checked as for the
// library's own members.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <vector>
#include "component/typelib/definitions.h"

namespace velkomb::client {

// Dispatch ids no table of the library uses: methods 0x6004xxxx, properties
// 0x6804xxxx (a property's read and write share one).
enum : DISPID {
    DISPID_ConnectAndWait = 0x60040000,
    DISPID_GetValue = 0x60040001,
    DISPID_SetValue = 0x60040002,
    DISPID_Request = 0x60040003,
    DISPID_ReadDeviceId = 0x60040004,
    DISPID_MaskWrite = 0x60040005,
    DISPID_ExecuteAsync = 0x60040006,
    DISPID_WaitForReply = 0x60040007,
    DISPID_Port = 0x68040000,
    DISPID_UnitId = 0x68040001,
    DISPID_WordOrder = 0x68040002,
    DISPID_LastRequest = 0x68040003,
    DISPID_LastReply = 0x68040004,
    DISPID_ExceptText = 0x68040005,
    DISPID_TransactionIds = 0x68040006,
    DISPID_StaleReplies = 0x68040007,
    DISPID_LastStaleReply = 0x68040008,
    DISPID_AutoReconnect = 0x68040009,
    DISPID_Retries = 0x6804000A,
    DISPID_Transport = 0x6804000B,
    DISPID_SerialPort = 0x6804000C,
    DISPID_SerialSettings = 0x6804000D,
    DISPID_FrameErrors = 0x6804000E,
    DISPID_Busy = 0x6804000F,
    DISPID_MaxPerRequest = 0x68040010,
    DISPID_BlockDone = 0x68040011,
};

// Parameters by pointer, as in the dual interfaces: property writes take
// their value by reference, reads and results come back through a last
// [out, retval] pointer. No base class and no virtual destructor, so the
// vtable holds exactly these functions in this order.
struct VelkoMBExtras {
    virtual HRESULT STDMETHODCALLTYPE put_Port(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Port(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_UnitId(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_UnitId(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE ConnectAndWait() = 0;
    virtual HRESULT STDMETHODCALLTYPE put_WordOrder(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_WordOrder(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetValue(VARIANT* index, VARIANT* dataType, VARIANT* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetValue(VARIANT* index, VARIANT* dataType, VARIANT* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_LastRequest(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_LastReply(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ExceptText(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_TransactionIds(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_TransactionIds(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_StaleReplies(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_LastStaleReply(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_AutoReconnect(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_AutoReconnect(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Retries(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Retries(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE Request(VARIANT* functionCode, VARIANT* data, VARIANT* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReadDeviceId(VARIANT* objectId, VARIANT* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE MaskWrite(VARIANT* address, VARIANT* andMask, VARIANT* orMask) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Transport(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Transport(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_SerialPort(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_SerialPort(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_SerialSettings(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_SerialSettings(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_FrameErrors(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE ExecuteAsync() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Busy(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE WaitForReply(VARIANT* seconds) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_MaxPerRequest(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_MaxPerRequest(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_BlockDone(BSTR* value) = 0;

protected:
    ~VelkoMBExtras() = default;
};

// The arguments of the methods are variants, so that each bad argument
// raises the client's own error (9, 13, 5 or 6 with the member as source)
// rather than a bare type mismatch from the dispatch layer.
inline std::vector<typelib::Function> VelkoMBExtraMembers()
{
    using namespace typelib;
    const Param index = ByRef(L"index", kVariant, kInOut);
    const Param dataType = ByRef(L"dataType", kVariant, kInOut);
    const Param result = {nullptr, kVariant, true, kRetval};
    const auto argument = [](const wchar_t* name) { return ByRef(name, kVariant, kInOut); };
    return {
        Put(DISPID_Port, L"Port", kText),
        Get(DISPID_Port, L"Port", kText),
        Put(DISPID_UnitId, L"UnitId", kText),
        Get(DISPID_UnitId, L"UnitId", kText),
        Method(DISPID_ConnectAndWait, L"ConnectAndWait"),
        Put(DISPID_WordOrder, L"WordOrder", kText),
        Get(DISPID_WordOrder, L"WordOrder", kText),
        Method(DISPID_GetValue, L"GetValue", {index, dataType, result}),
        Method(DISPID_SetValue, L"SetValue", {index, dataType, argument(L"value")}),
        Get(DISPID_LastRequest, L"LastRequest", kText),
        Get(DISPID_LastReply, L"LastReply", kText),
        Get(DISPID_ExceptText, L"ExceptText", kText),
        Put(DISPID_TransactionIds, L"TransactionIds", kText),
        Get(DISPID_TransactionIds, L"TransactionIds", kText),
        Get(DISPID_StaleReplies, L"StaleReplies", kText),
        Get(DISPID_LastStaleReply, L"LastStaleReply", kText),
        Put(DISPID_AutoReconnect, L"AutoReconnect", kText),
        Get(DISPID_AutoReconnect, L"AutoReconnect", kText),
        Put(DISPID_Retries, L"Retries", kText),
        Get(DISPID_Retries, L"Retries", kText),
        Method(DISPID_Request, L"Request",
               {argument(L"functionCode"), ByRef(L"data", kVariant, kInOutOptional), result}),
        Method(DISPID_ReadDeviceId, L"ReadDeviceId", {ByRef(L"objectId", kVariant, kInOutOptional), result}),
        Method(DISPID_MaskWrite, L"MaskWrite", {argument(L"address"), argument(L"andMask"), argument(L"orMask")}),
        Put(DISPID_Transport, L"Transport", kText),
        Get(DISPID_Transport, L"Transport", kText),
        Put(DISPID_SerialPort, L"SerialPort", kText),
        Get(DISPID_SerialPort, L"SerialPort", kText),
        Put(DISPID_SerialSettings, L"SerialSettings", kText),
        Get(DISPID_SerialSettings, L"SerialSettings", kText),
        Get(DISPID_FrameErrors, L"FrameErrors", kText),
        Method(DISPID_ExecuteAsync, L"ExecuteAsync"),
        Get(DISPID_Busy, L"Busy", kText),
        Method(DISPID_WaitForReply, L"WaitForReply", {ByRef(L"seconds", kVariant, kInOutOptional)}),
        Put(DISPID_MaxPerRequest, L"MaxPerRequest", kText),
        Get(DISPID_MaxPerRequest, L"MaxPerRequest", kText),
        Get(DISPID_BlockDone, L"BlockDone", kText),
    };
}

} // namespace velkomb::client
