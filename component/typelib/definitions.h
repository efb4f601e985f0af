// What the type library describes, as tables: its nine type descriptions in
// the order hosts expect them, every member with its dispatch identifier,
// parameters and help string, and the enumeration constants.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <vector>
#include "component/interfaces.h"

namespace velkomb::typelib {

// Positions of the type descriptions in the library.
enum TypeIndex : int {
    kVelkoMBInterface,
    kVelkoMBClass,
    kCSocketInterface,
    kCSocketClass,
    kVelkoMBEvents,
    kCSocketEvents,
    kProtocolConstants,
    kErrorConstants,
    kStateConstants,
    kTypeCount
};

// An automation type, or (vt == VT_USERDEFINED) one of the library's own types.
struct Type {
    VARTYPE vt;
    TypeIndex userType = kTypeCount;
};

inline constexpr Type kText{VT_BSTR};
inline constexpr Type kVariant{VT_VARIANT};
inline constexpr Type kLong{VT_I4};
inline constexpr Type kShort{VT_I2};
inline constexpr Type kBoolean{VT_BOOL};
inline constexpr Type kState{VT_USERDEFINED, kStateConstants};
inline constexpr Type kProtocol{VT_USERDEFINED, kProtocolConstants};

inline constexpr USHORT kIn = PARAMFLAG_FIN;
inline constexpr USHORT kInOut = PARAMFLAG_FIN | PARAMFLAG_FOUT;
inline constexpr USHORT kInOutOptional = kInOut | PARAMFLAG_FOPT;
inline constexpr USHORT kRetval = PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;

// A parameter; property procedures leave theirs unnamed (name nullptr).
struct Param {
    const wchar_t* name;
    Type type;
    bool byRef;
    USHORT flags;
};

struct Function {
    MEMBERID id;
    const wchar_t* name;
    INVOKEKIND kind;
    std::vector<Param> params;
    SHORT optionalCount = 0;
    const wchar_t* help = nullptr;
};

inline Function Method(MEMBERID id, const wchar_t* name, std::vector<Param> params = {},
                       const wchar_t* help = nullptr, SHORT optionalCount = 0)
{
    return {id, name, INVOKE_FUNC, std::move(params), optionalCount, help};
}

inline Function Get(MEMBERID id, const wchar_t* name, Type type, const wchar_t* help = nullptr)
{
    return {id, name, INVOKE_PROPERTYGET, {{nullptr, type, true, kRetval}}, 0, help};
}

inline Function Put(MEMBERID id, const wchar_t* name, Type type, const wchar_t* help = nullptr)
{
    return {id, name, INVOKE_PROPERTYPUT, {{nullptr, type, true, kInOut}}, 0, help};
}

inline Param ByRef(const wchar_t* name, Type type, USHORT flags) { return {name, type, true, flags}; }
inline Param ByValue(const wchar_t* name, Type type) { return {name, type, false, kIn}; }

// Members of the dual interfaces, in the order of their function tables.
inline const std::vector<Function> VelkoMBMembers()
{
    return {
        Method(0x6003000D, L"Connect"),
        Method(0x6003000E, L"Disconnect"),
        Method(0x6003000F, L"SockDiag"),
        Method(0x60030011, L"Execute"),
        Put(0x6803000C, L"IPAddress", kText),
        Get(0x6803000C, L"IPAddress", kText),
        Put(0x6803000B, L"StartAddress", kText),
        Get(0x6803000B, L"StartAddress", kText),
        Put(0x6803000A, L"NrRegisters", kText),
        Get(0x6803000A, L"NrRegisters", kText),
        Put(0x68030009, L"StartWAddress", kText),
        Get(0x68030009, L"StartWAddress", kText),
        Put(0x68030008, L"NrWRegisters", kText),
        Get(0x68030008, L"NrWRegisters", kText),
        Get(0x68030007, L"arwReg", kVariant),
        Put(0x68030006, L"MBFunCode", kText),
        Put(0x68030005, L"arwWReg", kVariant),
        Get(0x68030004, L"ErrCode", kText),
        Get(0x68030003, L"ExceptCode", kText),
        Get(0x68030002, L"ConnState", kText),
        Get(0x68030001, L"WatchdogError", kText),
        Put(0x68030000, L"ResponseWatchdog", kText),
    };
}

inline const std::vector<Function> CSocketMembers()
{
    const std::vector<Param> dataParams = {
        ByRef(L"varData", kVariant, kInOut),
        ByRef(L"varType", kVariant, kInOutOptional),
        ByRef(L"maxLen", kVariant, kInOutOptional),
    };
    const wchar_t* remotePort = L"Returns/Sets the port to be connected to on the remote computer";
    const wchar_t* remoteHost = L"Returns/Sets the name used to identify the remote computer";
    const wchar_t* protocol = L"Returns/Sets the socket protocol";
    const wchar_t* localPort = L"Returns/Sets the port used on the local computer";
    return {
        Method(0x6003000A, L"SendData", {ByRef(L"varData", kVariant, kInOut)}, L"Send data to remote computer"),
        Method(0x6003000B, L"PeekData", dataParams, L"Look at incoming data without removing it from the buffer", 2),
        Method(0x6003000C, L"Listen", {}, L"Listen for incoming connection requests"),
        Method(0x6003000D, L"GetData", dataParams, L"Retrieve data sent by the remote computer", 2),
        Method(0x6003000E, L"Connect",
               {ByRef(L"strRemoteHost", kVariant, kInOutOptional), ByRef(L"lngRemotePort", kVariant, kInOutOptional)},
               L"Connect to the remote computer", 2),
        Method(0x6003000F, L"CloseSocket", {}, L"Close current connection"),
        // Both parameters carry the optional flag, yet the method counts no
        // optional parameters and records no defaults.
        Method(0x60030010, L"Bind",
               {ByRef(L"lngLocalPort", kLong, kInOutOptional), ByRef(L"strLocalIP", kText, kInOutOptional)},
               L"Binds socket to specific port and adapter"),
        Method(0x60030011, L"Accept", {ByRef(L"requestID", kLong, kInOut)}, L"Accept an incoming connection request"),
        Get(0x68030009, L"State", kState),
        Get(0x68030008, L"SocketHandle", kLong, L" Returns the socket handle"),
        Get(0x68030007, L"RemotePort", kLong, remotePort),
        Put(0x68030007, L"RemotePort", kLong, remotePort),
        Get(0x68030006, L"RemoteHostIP", kText, L"Returns the remote host IP address"),
        Get(0x68030005, L"RemoteHost", kText, remoteHost),
        Put(0x68030005, L"RemoteHost", kText, remoteHost),
        Get(0x68030004, L"Protocol", kProtocol, protocol),
        Put(0x68030004, L"Protocol", kProtocol, protocol),
        Get(0x68030003, L"LocalPort", kLong, localPort),
        Put(0x68030003, L"LocalPort", kLong, localPort),
        Get(0x68030002, L"LocalIP", kText, L"Returns the local machine IP address"),
        Get(0x68030001, L"LocalHostName", kText, L"Returns the local machine name"),
        Get(0x68030000, L"BytesReceived", kLong, L"Returns the number of bytes received on this connection"),
        Method(0x60030013, L"vbSocket", {{nullptr, kLong, true, kRetval}}),
    };
}

// Events: dispatch functions without a result.
inline const std::vector<Function> VelkoMBEvents()
{
    return {Method(DISPID_NewDataIn, L"NewDataIn")};
}

inline const std::vector<Function> CSocketEvents()
{
    return {
        Method(DISPID_OnClose, L"OnClose", {}, L"Occurs when the connection has been closed"),
        Method(DISPID_OnConnect, L"OnConnect", {}, L"Occurs connect operation is completed"),
        Method(DISPID_OnConnectionRequest, L"OnConnectionRequest", {ByValue(L"requestID", kLong)}),
        Method(DISPID_OnDataArrival, L"OnDataArrival", {ByValue(L"bytesTotal", kLong)}),
        Method(DISPID_OnError, L"OnError",
               {ByValue(L"Number", kShort), ByRef(L"Description", kText, kInOut), ByValue(L"Scode", kLong),
                ByValue(L"Source", kText), ByValue(L"HelpFile", kText), ByValue(L"HelpContext", kLong),
                ByRef(L"CancelDisplay", kBoolean, kInOut)}),
        Method(DISPID_OnSendComplete, L"OnSendComplete"),
        Method(DISPID_OnSendProgress, L"OnSendProgress",
               {ByValue(L"bytesSent", kLong), ByValue(L"bytesRemaining", kLong)}),
    };
}

struct Constant {
    const wchar_t* name;
    LONG value;
};

inline const std::vector<Constant> ProtocolConstantMembers()
{
    return {{L"sckTCPProtocol", 0}, {L"sckUDPProtocol", 1}};
}

// In alphabetical order of the names.
inline const std::vector<Constant> ErrorConstantMembers()
{
    return {
        {L"sckAddressInUse", 10048},      {L"sckAddressNotAvailable", 10049},
        {L"sckAlreadyComplete", 10037},   {L"sckAlreadyConnected", 10056},
        {L"sckBadState", 40006},          {L"sckConnectAborted", 10053},
        {L"sckConnectionRefused", 10061}, {L"sckConnectionReset", 10054},
        {L"sckGetNotSupported", 394},     {L"sckHostNotFound", 11001},
        {L"sckHostNotFoundTryAgain", 11002}, {L"sckInProgress", 10036},
        {L"sckInvalidArg", 40014},        {L"sckInvalidArgument", 10014},
        {L"sckInvalidOp", 40020},         {L"sckInvalidPropertyValue", 380},
        {L"sckMsgTooBig", 10040},         {L"sckNetReset", 10052},
        {L"sckNetworkSubsystemFailed", 10050}, {L"sckNetworkUnreachable", 10051},
        {L"sckNoBufferSpace", 10055},     {L"sckNoData", 11004},
        {L"sckNonRecoverableError", 11003}, {L"sckNotConnected", 10057},
        {L"sckNotInitialized", 10093},    {L"sckNotSocket", 10038},
        {L"sckOpCanceled", 10004},        {L"sckOutOfMemory", 7},
        {L"sckOutOfRange", 40021},        {L"sckPortNotSupported", 10043},
        {L"sckSetNotSupported", 383},     {L"sckSocketShutdown", 10058},
        {L"sckSuccess", 40017},           {L"sckTimedout", 10060},
        {L"sckUnsupported", 40018},       {L"sckWouldBlock", 10035},
        {L"sckWrongProtocol", 40026},
    };
}

inline const std::vector<Constant> StateConstantMembers()
{
    return {
        {L"sckClosed", 0},     {L"sckOpen", 1},         {L"sckListening", 2},  {L"sckConnectionPending", 3},
        {L"sckResolvingHost", 4}, {L"sckHostResolved", 5}, {L"sckConnecting", 6}, {L"sckConnected", 7},
        {L"sckClosing", 8},    {L"sckError", 9},
    };
}

struct TypeDefinition {
    const wchar_t* name;
    TYPEKIND kind;
    GUID guid;
    WORD flags;
};

inline constexpr WORD kDualFlags = TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE |
                                   TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE;
inline constexpr WORD kEventFlags = TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE;

// Indexed by TypeIndex.
inline const TypeDefinition kTypes[kTypeCount] = {
    {L"_VelkoMB", TKIND_INTERFACE, IID__VelkoMB, kDualFlags},
    {L"VelkoMB", TKIND_COCLASS, CLSID_VelkoMB, TYPEFLAG_FCANCREATE},
    {L"_CSocket", TKIND_INTERFACE, IID__CSocket, kDualFlags},
    {L"CSocket", TKIND_COCLASS, CLSID_CSocket, TYPEFLAG_FCANCREATE},
    {L"__VelkoMB", TKIND_DISPATCH, DIID___VelkoMB, kEventFlags},
    {L"__CSocket", TKIND_DISPATCH, DIID___CSocket, kEventFlags},
    {L"ProtocolConstants", TKIND_ENUM, GUID_ProtocolConstants, 0},
    {L"ErrorConstants", TKIND_ENUM, GUID_ErrorConstants, 0},
    {L"StateConstants", TKIND_ENUM, GUID_StateConstants, 0},
};

} // namespace velkomb::typelib
