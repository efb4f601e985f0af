// Identities and dual interfaces of the component, in the order hosts
// compiled against the type library expect them.
#pragma once
#include <windows.h>
#include <oaidl.h>

namespace velkomb {

// {BA0AEAE1-729E-4C0A-A5C8-6519B7D8D62D}
inline constexpr GUID LIBID_VelkoMBDLL = {0xBA0AEAE1, 0x729E, 0x4C0A, {0xA5, 0xC8, 0x65, 0x19, 0xB7, 0xD8, 0xD6, 0x2D}};
inline constexpr WORD LibraryMajorVersion = 186;
inline constexpr WORD LibraryMinorVersion = 0;
// The library describes the build it is linked into: 32- or 64-bit Windows.
inline constexpr SYSKIND LibrarySysKind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;

// {62DA8D38-DC57-4619-A9A4-DB97A44EB38C}
inline constexpr GUID IID__VelkoMB = {0x62DA8D38, 0xDC57, 0x4619, {0xA9, 0xA4, 0xDB, 0x97, 0xA4, 0x4E, 0xB3, 0x8C}};
// {1CD48C7A-4F30-4EFA-8665-9ED3637EF62C}
inline constexpr GUID CLSID_VelkoMB = {0x1CD48C7A, 0x4F30, 0x4EFA, {0x86, 0x65, 0x9E, 0xD3, 0x63, 0x7E, 0xF6, 0x2C}};
// {3BB7D999-DD34-4863-BC7A-CC822BFB82DF}
inline constexpr GUID IID__CSocket = {0x3BB7D999, 0xDD34, 0x4863, {0xBC, 0x7A, 0xCC, 0x82, 0x2B, 0xFB, 0x82, 0xDF}};
// {F2A12945-380E-43F0-A3C9-80CACF8A3B52}
inline constexpr GUID CLSID_CSocket = {0xF2A12945, 0x380E, 0x43F0, {0xA3, 0xC9, 0x80, 0xCA, 0xCF, 0x8A, 0x3B, 0x52}};
// {D3C9C850-B7CB-45BE-86B6-AD98546D4C84}
inline constexpr GUID DIID___VelkoMB = {0xD3C9C850, 0xB7CB, 0x45BE, {0x86, 0xB6, 0xAD, 0x98, 0x54, 0x6D, 0x4C, 0x84}};
// {907E73B2-709D-4C7A-A51C-EA295F99257B}
inline constexpr GUID DIID___CSocket = {0x907E73B2, 0x709D, 0x4C7A, {0xA5, 0x1C, 0xEA, 0x29, 0x5F, 0x99, 0x25, 0x7B}};
// {25B3CB25-551B-452F-9939-95D66C6DE35D}
inline constexpr GUID GUID_ProtocolConstants = {0x25B3CB25, 0x551B, 0x452F, {0x99, 0x39, 0x95, 0xD6, 0x6C, 0x6D, 0xE3, 0x5D}};
// {11F9C0F3-87DE-4C72-80A6-7FB73BCE6849}
inline constexpr GUID GUID_ErrorConstants = {0x11F9C0F3, 0x87DE, 0x4C72, {0x80, 0xA6, 0x7F, 0xB7, 0x3B, 0xCE, 0x68, 0x49}};
// {78C0E911-4176-445E-B3C8-9C00EF53B9FC}
inline constexpr GUID GUID_StateConstants = {0x78C0E911, 0x4176, 0x445E, {0xB3, 0xC8, 0x9C, 0x00, 0xEF, 0x53, 0xB9, 0xFC}};

enum ProtocolConstants : LONG { sckTCPProtocol = 0, sckUDPProtocol = 1 };

enum StateConstants : LONG {
    sckClosed = 0,
    sckOpen = 1,
    sckListening = 2,
    sckConnectionPending = 3,
    sckResolvingHost = 4,
    sckHostResolved = 5,
    sckConnecting = 6,
    sckConnected = 7,
    sckClosing = 8,
    sckError = 9,
};

// The error the socket raises by itself for a wrong protocol or state.
inline constexpr long sckBadState = 40006;
inline constexpr long sckAddressNotAvailable = 10049;

// Dispatch identifiers of the events.
enum : DISPID { DISPID_NewDataIn = 1 };
enum : DISPID {
    DISPID_OnClose = 1,
    DISPID_OnConnect = 2,
    DISPID_OnConnectionRequest = 3,
    DISPID_OnDataArrival = 4,
    DISPID_OnError = 5,
    DISPID_OnSendComplete = 6,
    DISPID_OnSendProgress = 7,
};

// Property writes take their value by reference, as the type library says.
struct _VelkoMB : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE Connect() = 0;
    virtual HRESULT STDMETHODCALLTYPE Disconnect() = 0;
    virtual HRESULT STDMETHODCALLTYPE SockDiag() = 0;
    virtual HRESULT STDMETHODCALLTYPE Execute() = 0;
    virtual HRESULT STDMETHODCALLTYPE put_IPAddress(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_IPAddress(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_StartAddress(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_StartAddress(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_NrRegisters(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_NrRegisters(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_StartWAddress(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_StartWAddress(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_NrWRegisters(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_NrWRegisters(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_arwReg(VARIANT* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_MBFunCode(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_arwWReg(VARIANT* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ErrCode(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ExceptCode(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ConnState(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_WatchdogError(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ResponseWatchdog(BSTR* value) = 0;
};

struct _CSocket : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE SendData(VARIANT* varData) = 0;
    virtual HRESULT STDMETHODCALLTYPE PeekData(VARIANT* varData, VARIANT* varType, VARIANT* maxLen) = 0;
    virtual HRESULT STDMETHODCALLTYPE Listen() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetData(VARIANT* varData, VARIANT* varType, VARIANT* maxLen) = 0;
    virtual HRESULT STDMETHODCALLTYPE Connect(VARIANT* strRemoteHost, VARIANT* lngRemotePort) = 0;
    virtual HRESULT STDMETHODCALLTYPE CloseSocket() = 0;
    virtual HRESULT STDMETHODCALLTYPE Bind(LONG* lngLocalPort, BSTR* strLocalIP) = 0;
    virtual HRESULT STDMETHODCALLTYPE Accept(LONG* requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_State(StateConstants* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_SocketHandle(LONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_RemotePort(LONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_RemotePort(LONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_RemoteHostIP(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_RemoteHost(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_RemoteHost(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Protocol(ProtocolConstants* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Protocol(ProtocolConstants* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_LocalPort(LONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_LocalPort(LONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_LocalIP(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_LocalHostName(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_BytesReceived(LONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE vbSocket(LONG* result) = 0;
};

} // namespace velkomb
