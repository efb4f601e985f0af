// The type library, interface records and version block that this program
// carries as resources, compared with what hosts compiled against them expect.
//
// How Wine reports some attributes, whatever the library holds:
// - library flags include LIBFLAG_FHASDISKIMAGE (the header's own flags are
//   checked in the raw image instead);
// - the dispatch view of a dual interface comes without the OLE automation
//   flag (0x10D0) and lists IDispatch's methods first, so members are checked
//   on the interface view (GetRefTypeOfImplType(-1)), which keeps 0x11D0;
// - a dispatch interface lists its base IDispatch's seven methods before its
//   own members and counts them in cFuncs, as Windows does;
// - GetDocumentation and GetNames look members up by dispatch id, so they show
//   the first procedure of a property; help strings of every procedure are
//   read from the function records of the raw image.
#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>
#include <gtest/gtest.h>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Microsoft::WRL::ComPtr;

std::wstring ModulePath()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

std::string Narrow(const wchar_t* text)
{
    std::string narrow;
    for (; text && *text; ++text) narrow += static_cast<char>(*text);
    return narrow;
}

std::string Text(BSTR text)
{
    std::string narrow = Narrow(text);
    SysFreeString(text);
    return narrow;
}

std::string GuidText(const GUID& guid)
{
    wchar_t text[40];
    StringFromGUID2(guid, text, 40);
    return Narrow(text);
}

std::string TypeName(ITypeInfo* info)
{
    BSTR name = nullptr;
    info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
    return Text(name);
}

std::string TypeText(ITypeInfo* owner, const TYPEDESC& type)
{
    switch (type.vt) {
    case VT_PTR: return TypeText(owner, *type.lptdesc) + "*";
    case VT_USERDEFINED: {
        ComPtr<ITypeInfo> target;
        if (FAILED(owner->GetRefTypeInfo(type.hreftype, &target))) return "unresolved";
        return TypeName(target.Get());
    }
    case VT_BSTR: return "BSTR";
    case VT_VARIANT: return "VARIANT";
    case VT_I4: return "long";
    case VT_I2: return "short";
    case VT_BOOL: return "VARIANT_BOOL";
    case VT_HRESULT: return "HRESULT";
    case VT_VOID: return "void";
    default: return "vt" + std::to_string(type.vt);
    }
}

// A copy of a resource of this module, empty when it is missing.
std::vector<BYTE> ResourceBytes(const wchar_t* type, const wchar_t* name)
{
    HRSRC resource = FindResourceW(nullptr, name, type);
    if (!resource) return {};
    const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(nullptr, resource)));
    return std::vector<BYTE>(data, data + SizeofResource(nullptr, resource));
}

BOOL CALLBACK AddLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR languages)
{
    reinterpret_cast<std::vector<WORD>*>(languages)->push_back(language);
    return TRUE;
}

std::vector<WORD> ResourceLanguages(const wchar_t* type, const wchar_t* name)
{
    std::vector<WORD> languages;
    EnumResourceLanguagesW(nullptr, type, name, AddLanguage, reinterpret_cast<LONG_PTR>(&languages));
    return languages;
}

constexpr const wchar_t* kTypeLibraryType = L"TYPELIB";

// The library image as stored: header fields and the help strings of the
// function records, which the loaded library cannot show per procedure.
class StoredImage {
public:
    StoredImage() : bytes_(ResourceBytes(kTypeLibraryType, MAKEINTRESOURCEW(1))) {}

    LONG Header(size_t field) const { return Read32(field); }

    std::vector<std::string> HelpStrings(UINT typeIndex, UINT functions) const
    {
        size_t record = Read32(TypeInfoOffset(typeIndex) + kMembersField) + 4;
        std::vector<std::string> help;
        for (UINT i = 0; i < functions; ++i) {
            const size_t size = Read32(record) & 0xFFFF;
            const size_t params = static_cast<WORD>(Read32(record + kArgCountField)) * kParamRecordSize;
            const bool hasHelp = size - params > kHelpStringField;
            help.push_back(hasHelp ? StoredString(Read32(record + kHelpStringField)) : "");
            record += size;
        }
        return help;
    }

    static constexpr size_t kLocaleField = 0x0C;
    static constexpr size_t kReportedLocaleField = 0x10;
    static constexpr size_t kFlagsField = 0x1C;
    static constexpr size_t kHelpStringOffsetField = 0x24;
    static constexpr size_t kHelpFileOffsetField = 0x3C;

private:
    static constexpr size_t kHeaderSize = 0x54;
    static constexpr size_t kVarFlagsField = 0x14;
    static constexpr size_t kTypeCountField = 0x20;
    static constexpr size_t kSegmentSize = 16;
    static constexpr size_t kStringSegment = 8;
    static constexpr size_t kMembersField = 0x04;
    static constexpr size_t kArgCountField = 0x14;
    static constexpr size_t kHelpStringField = 0x1C;
    static constexpr size_t kParamRecordSize = 12;

    // After the header: an optional help DLL entry, one offset per type
    // description, then the segment directory.
    size_t TypeOffsets() const { return kHeaderSize + ((Read32(kVarFlagsField) & 0x100) ? 4 : 0); }
    size_t Segments() const { return TypeOffsets() + 4 * Read32(kTypeCountField); }
    size_t TypeInfoOffset(UINT index) const { return Read32(Segments()) + Read32(TypeOffsets() + 4 * index); }

    std::string StoredString(LONG offset) const
    {
        if (offset < 0) return "";
        const size_t at = Read32(Segments() + kStringSegment * kSegmentSize) + offset;
        const size_t length = static_cast<WORD>(Read32(at));
        if (at + 2 + length > bytes_.size()) return "out of range";
        return std::string(bytes_.begin() + at + 2, bytes_.begin() + at + 2 + length);
    }

    LONG Read32(size_t at) const
    {
        if (at + 4 > bytes_.size()) return -1;
        return bytes_[at] | bytes_[at + 1] << 8 | bytes_[at + 2] << 16 | bytes_[at + 3] << 24;
    }

    std::vector<BYTE> bytes_;
};

struct ExpectedParam {
    std::string type;
    USHORT flags;
    const char* name; // empty: unnamed
};

struct ExpectedFunction {
    MEMBERID id;
    INVOKEKIND kind;
    const char* name;
    std::vector<ExpectedParam> params;
    SHORT optional;
    const char* help;
};

constexpr USHORT kIn = PARAMFLAG_FIN;
constexpr USHORT kInOut = PARAMFLAG_FIN | PARAMFLAG_FOUT;
constexpr USHORT kOptional = kInOut | PARAMFLAG_FOPT;
constexpr USHORT kRetval = PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;

ExpectedFunction Call(MEMBERID id, const char* name, std::vector<ExpectedParam> params = {}, const char* help = "",
                      SHORT optional = 0)
{
    return {id, INVOKE_FUNC, name, std::move(params), optional, help};
}

ExpectedFunction Read(MEMBERID id, const char* name, const std::string& type, const char* help = "")
{
    return {id, INVOKE_PROPERTYGET, name, {{type + "*", kRetval, ""}}, 0, help};
}

ExpectedFunction Write(MEMBERID id, const char* name, const std::string& type, const char* help = "")
{
    ExpectedFunction function = Read(id, name, type, help);
    function.kind = INVOKE_PROPERTYPUT;
    function.params[0].flags = kInOut;
    return function;
}

const std::vector<ExpectedFunction>& VelkoMBMembers()
{
    static const std::vector<ExpectedFunction> members = {
        Call(0x6003000D, "Connect"),
        Call(0x6003000E, "Disconnect"),
        Call(0x6003000F, "SockDiag"),
        Call(0x60030011, "Execute"),
        Write(0x6803000C, "IPAddress", "BSTR"),
        Read(0x6803000C, "IPAddress", "BSTR"),
        Write(0x6803000B, "StartAddress", "BSTR"),
        Read(0x6803000B, "StartAddress", "BSTR"),
        Write(0x6803000A, "NrRegisters", "BSTR"),
        Read(0x6803000A, "NrRegisters", "BSTR"),
        Write(0x68030009, "StartWAddress", "BSTR"),
        Read(0x68030009, "StartWAddress", "BSTR"),
        Write(0x68030008, "NrWRegisters", "BSTR"),
        Read(0x68030008, "NrWRegisters", "BSTR"),
        Read(0x68030007, "arwReg", "VARIANT"),
        Write(0x68030006, "MBFunCode", "BSTR"),
        Write(0x68030005, "arwWReg", "VARIANT"),
        Read(0x68030004, "ErrCode", "BSTR"),
        Read(0x68030003, "ExceptCode", "BSTR"),
        Read(0x68030002, "ConnState", "BSTR"),
        Read(0x68030001, "WatchdogError", "BSTR"),
        Write(0x68030000, "ResponseWatchdog", "BSTR"),
    };
    return members;
}

const std::vector<ExpectedFunction>& CSocketMembers()
{
    const std::vector<ExpectedParam> data = {
        {"VARIANT*", kInOut, "varData"}, {"VARIANT*", kOptional, "varType"}, {"VARIANT*", kOptional, "maxLen"}};
    static const std::vector<ExpectedFunction> members = {
        Call(0x6003000A, "SendData", {{"VARIANT*", kInOut, "varData"}}, "Send data to remote computer"),
        Call(0x6003000B, "PeekData", data, "Look at incoming data without removing it from the buffer", 2),
        Call(0x6003000C, "Listen", {}, "Listen for incoming connection requests"),
        Call(0x6003000D, "GetData", data, "Retrieve data sent by the remote computer", 2),
        Call(0x6003000E, "Connect", {{"VARIANT*", kOptional, "strRemoteHost"}, {"VARIANT*", kOptional, "lngRemotePort"}},
             "Connect to the remote computer", 2),
        Call(0x6003000F, "CloseSocket", {}, "Close current connection"),
        Call(0x60030010, "Bind", {{"long*", kOptional, "lngLocalPort"}, {"BSTR*", kOptional, "strLocalIP"}},
             "Binds socket to specific port and adapter", 0),
        Call(0x60030011, "Accept", {{"long*", kInOut, "requestID"}}, "Accept an incoming connection request"),
        Read(0x68030009, "State", "StateConstants"),
        Read(0x68030008, "SocketHandle", "long", " Returns the socket handle"),
        Read(0x68030007, "RemotePort", "long", "Returns/Sets the port to be connected to on the remote computer"),
        Write(0x68030007, "RemotePort", "long", "Returns/Sets the port to be connected to on the remote computer"),
        Read(0x68030006, "RemoteHostIP", "BSTR", "Returns the remote host IP address"),
        Read(0x68030005, "RemoteHost", "BSTR", "Returns/Sets the name used to identify the remote computer"),
        Write(0x68030005, "RemoteHost", "BSTR", "Returns/Sets the name used to identify the remote computer"),
        Read(0x68030004, "Protocol", "ProtocolConstants", "Returns/Sets the socket protocol"),
        Write(0x68030004, "Protocol", "ProtocolConstants", "Returns/Sets the socket protocol"),
        Read(0x68030003, "LocalPort", "long", "Returns/Sets the port used on the local computer"),
        Write(0x68030003, "LocalPort", "long", "Returns/Sets the port used on the local computer"),
        Read(0x68030002, "LocalIP", "BSTR", "Returns the local machine IP address"),
        Read(0x68030001, "LocalHostName", "BSTR", "Returns the local machine name"),
        Read(0x68030000, "BytesReceived", "long", "Returns the number of bytes received on this connection"),
        Call(0x60030013, "vbSocket", {{"long*", kRetval, ""}}),
    };
    return members;
}

const std::vector<ExpectedFunction>& VelkoMBEvents()
{
    static const std::vector<ExpectedFunction> events = {Call(1, "NewDataIn")};
    return events;
}

const std::vector<ExpectedFunction>& CSocketEvents()
{
    static const std::vector<ExpectedFunction> events = {
        Call(1, "OnClose", {}, "Occurs when the connection has been closed"),
        Call(2, "OnConnect", {}, "Occurs connect operation is completed"),
        Call(3, "OnConnectionRequest", {{"long", kIn, "requestID"}}),
        Call(4, "OnDataArrival", {{"long", kIn, "bytesTotal"}}),
        Call(5, "OnError",
             {{"short", kIn, "Number"}, {"BSTR*", kInOut, "Description"}, {"long", kIn, "Scode"},
              {"BSTR", kIn, "Source"}, {"BSTR", kIn, "HelpFile"}, {"long", kIn, "HelpContext"},
              {"VARIANT_BOOL*", kInOut, "CancelDisplay"}}),
        Call(6, "OnSendComplete"),
        Call(7, "OnSendProgress", {{"long", kIn, "bytesSent"}, {"long", kIn, "bytesRemaining"}}),
    };
    return events;
}

struct ExpectedType {
    const char* name;
    TYPEKIND kind;
    const char* guid;
    WORD flags;
};

// As Wine reports them: dual interfaces through their dispatch view.
const ExpectedType kTypes[] = {
    {"_VelkoMB", TKIND_DISPATCH, "{62DA8D38-DC57-4619-A9A4-DB97A44EB38C}", 0x10D0},
    {"VelkoMB", TKIND_COCLASS, "{1CD48C7A-4F30-4EFA-8665-9ED3637EF62C}", 0x2},
    {"_CSocket", TKIND_DISPATCH, "{3BB7D999-DD34-4863-BC7A-CC822BFB82DF}", 0x10D0},
    {"CSocket", TKIND_COCLASS, "{F2A12945-380E-43F0-A3C9-80CACF8A3B52}", 0x2},
    {"__VelkoMB", TKIND_DISPATCH, "{D3C9C850-B7CB-45BE-86B6-AD98546D4C84}", 0x1090},
    {"__CSocket", TKIND_DISPATCH, "{907E73B2-709D-4C7A-A51C-EA295F99257B}", 0x1090},
    {"ProtocolConstants", TKIND_ENUM, "{25B3CB25-551B-452F-9939-95D66C6DE35D}", 0},
    {"ErrorConstants", TKIND_ENUM, "{11F9C0F3-87DE-4C72-80A6-7FB73BCE6849}", 0},
    {"StateConstants", TKIND_ENUM, "{78C0E911-4176-445E-B3C8-9C00EF53B9FC}", 0},
};
enum { kVelkoMBInterface, kVelkoMBClass, kCSocketInterface, kCSocketClass, kVelkoMBEvents, kCSocketEvents };

constexpr const char* kLibraryGuid = "{BA0AEAE1-729E-4C0A-A5C8-6519B7D8D62D}";
constexpr const char* kStdOleGuid = "{00020430-0000-0000-C000-000000000046}";
constexpr const char* kDispatchGuid = "{00020400-0000-0000-C000-000000000046}";

class TypeLibraryTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(S_OK, LoadTypeLibEx(ModulePath().c_str(), REGKIND_NONE, &library_)); }

    ComPtr<ITypeInfo> Type(UINT index)
    {
        ComPtr<ITypeInfo> info;
        EXPECT_EQ(S_OK, library_->GetTypeInfo(index, &info));
        return info;
    }

    static ComPtr<ITypeInfo> ImplementedType(ITypeInfo* info, UINT index)
    {
        HREFTYPE reference = 0;
        ComPtr<ITypeInfo> implemented;
        EXPECT_EQ(S_OK, info->GetRefTypeOfImplType(index, &reference));
        EXPECT_EQ(S_OK, info->GetRefTypeInfo(reference, &implemented));
        return implemented;
    }

    // The TKIND_INTERFACE view of a dual interface.
    ComPtr<ITypeInfo> InterfaceView(UINT index)
    {
        ComPtr<ITypeInfo> info = ImplementedType(Type(index).Get(), static_cast<UINT>(-1));
        TYPEATTR* attr = nullptr;
        info->GetTypeAttr(&attr);
        EXPECT_EQ(TKIND_INTERFACE, attr->typekind);
        EXPECT_EQ(0x11D0, attr->wTypeFlags);
        EXPECT_EQ(1, attr->cImplTypes);
        info->ReleaseTypeAttr(attr);
        return info;
    }

    ComPtr<ITypeLib> library_;
};

void ExpectBaseIsDispatch(ITypeInfo* base)
{
    ComPtr<ITypeLib> container;
    UINT index = 0;
    ASSERT_EQ(S_OK, base->GetContainingTypeLib(&container, &index));
    TLIBATTR* lib = nullptr;
    container->GetLibAttr(&lib);
    EXPECT_EQ(kStdOleGuid, GuidText(lib->guid));
    EXPECT_EQ(2, lib->wMajorVerNum);
    container->ReleaseTLibAttr(lib);
    TYPEATTR* attr = nullptr;
    base->GetTypeAttr(&attr);
    EXPECT_EQ(kDispatchGuid, GuidText(attr->guid));
    base->ReleaseTypeAttr(attr);
    EXPECT_EQ("IDispatch", TypeName(base));
}

// IDispatch's methods as a dispatch interface lists them ahead of its own:
// restricted, with stdole2's member ids, which hosts skip.
constexpr UINT kDispatchMethods = 7;

void ExpectInheritedDispatchMethods(ITypeInfo* info)
{
    const char* names[kDispatchMethods] = {"QueryInterface",   "AddRef",      "Release", "GetTypeInfoCount",
                                           "GetTypeInfo",      "GetIDsOfNames", "Invoke"};
    const MEMBERID ids[kDispatchMethods] = {0x60000000, 0x60000001, 0x60000002, 0x60010000,
                                            0x60010001, 0x60010002, 0x60010003};
    for (UINT i = 0; i < kDispatchMethods; ++i) {
        SCOPED_TRACE(names[i]);
        FUNCDESC* desc = nullptr;
        ASSERT_EQ(S_OK, info->GetFuncDesc(i, &desc));
        EXPECT_EQ(ids[i], desc->memid);
        EXPECT_EQ(FUNC_DISPATCH, desc->funckind);
        EXPECT_TRUE(desc->wFuncFlags & FUNCFLAG_FRESTRICTED);
        BSTR name = nullptr;
        UINT count = 0;
        info->GetNames(desc->memid, &name, 1, &count);
        EXPECT_EQ(names[i], Text(name));
        info->ReleaseFuncDesc(desc);
    }
}

std::vector<std::string> Names(ITypeInfo* info, MEMBERID id)
{
    BSTR names[16] = {};
    UINT count = 0;
    info->GetNames(id, names, 16, &count);
    std::vector<std::string> texts;
    for (UINT i = 0; i < count; ++i) texts.push_back(Text(names[i]));
    return texts;
}

std::string Help(ITypeInfo* info, MEMBERID id)
{
    BSTR help = nullptr;
    info->GetDocumentation(id, nullptr, &help, nullptr, nullptr);
    return Text(help);
}

MEMBERID IdOfName(ITypeInfo* info, const char* name)
{
    std::wstring wide(name, name + strlen(name));
    LPOLESTR names[] = {wide.data()};
    MEMBERID id = MEMBERID_NIL;
    info->GetIDsOfNames(names, 1, &id);
    return id;
}

void ExpectParams(ITypeInfo* info, const FUNCDESC& desc, const ExpectedFunction& expected)
{
    ASSERT_EQ(expected.params.size(), static_cast<size_t>(desc.cParams));
    std::vector<std::string> names = {expected.name};
    for (size_t p = 0; p < expected.params.size(); ++p) {
        SCOPED_TRACE(p);
        EXPECT_EQ(expected.params[p].type, TypeText(info, desc.lprgelemdescParam[p].tdesc));
        EXPECT_EQ(expected.params[p].flags, desc.lprgelemdescParam[p].paramdesc.wParamFlags);
        if (*expected.params[p].name) names.push_back(expected.params[p].name);
    }
    EXPECT_EQ(names, Names(info, expected.id));
}

// Members in table order, after `inherited` functions listed first. Virtual
// members sit behind IDispatch's seven functions and return HRESULT; events
// are dispatch functions without result.
void ExpectFunctions(ITypeInfo* info, const std::vector<ExpectedFunction>& table, FUNCKIND kind,
                     const std::vector<std::string>& storedHelp, UINT inherited = 0)
{
    const bool isVirtual = kind == FUNC_PUREVIRTUAL;
    TYPEATTR* attr = nullptr;
    info->GetTypeAttr(&attr);
    ASSERT_EQ(inherited + table.size(), static_cast<size_t>(attr->cFuncs));
    info->ReleaseTypeAttr(attr);
    ASSERT_EQ(table.size(), storedHelp.size());
    MEMBERID previous = MEMBERID_NIL;
    for (UINT i = 0; i < table.size(); ++i) {
        const ExpectedFunction& expected = table[i];
        SCOPED_TRACE(std::string(expected.name) + " #" + std::to_string(i));
        FUNCDESC* desc = nullptr;
        ASSERT_EQ(S_OK, info->GetFuncDesc(inherited + i, &desc));
        EXPECT_EQ(expected.id, desc->memid);
        EXPECT_EQ(expected.kind, desc->invkind);
        EXPECT_EQ(kind, desc->funckind);
        EXPECT_EQ(CC_STDCALL, desc->callconv);
        EXPECT_EQ(isVirtual ? "HRESULT" : "void", TypeText(info, desc->elemdescFunc.tdesc));
        EXPECT_EQ(expected.optional, desc->cParamsOpt);
        EXPECT_EQ(0, desc->wFuncFlags);
        if (isVirtual) {
            EXPECT_EQ(static_cast<SHORT>((7 + i) * sizeof(void*)), desc->oVft);
        }
        ExpectParams(info, *desc, expected);
        info->ReleaseFuncDesc(desc);
        EXPECT_EQ(expected.help, storedHelp[i]);
        if (expected.id != previous) {
            EXPECT_EQ(expected.help, Help(info, expected.id));
            EXPECT_EQ(expected.id, IdOfName(info, expected.name));
        }
        previous = expected.id;
    }
}

TEST_F(TypeLibraryTest, LibraryAttributes)
{
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(S_OK, library_->GetLibAttr(&attr));
    EXPECT_EQ(kLibraryGuid, GuidText(attr->guid));
    EXPECT_EQ(0u, attr->lcid);
    EXPECT_EQ(sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32, attr->syskind);
    EXPECT_EQ(186, attr->wMajorVerNum);
    EXPECT_EQ(0, attr->wMinorVerNum);
    EXPECT_EQ(LIBFLAG_FHASDISKIMAGE, attr->wLibFlags); // added by the loader
    library_->ReleaseTLibAttr(attr);

    BSTR name = nullptr, help = nullptr, helpFile = nullptr;
    ASSERT_EQ(S_OK, library_->GetDocumentation(MEMBERID_NIL, &name, &help, nullptr, &helpFile));
    EXPECT_EQ("VelkoMBDLL", Text(name));
    EXPECT_EQ("", Text(help));
    EXPECT_EQ("", Text(helpFile));

    const StoredImage image;
    EXPECT_EQ(0x409, image.Header(StoredImage::kLocaleField));
    EXPECT_EQ(0, image.Header(StoredImage::kReportedLocaleField));
    EXPECT_EQ(0, image.Header(StoredImage::kFlagsField));
    EXPECT_EQ(-1, image.Header(StoredImage::kHelpStringOffsetField));
    EXPECT_EQ(-1, image.Header(StoredImage::kHelpFileOffsetField));
}

TEST_F(TypeLibraryTest, NineTypesInOrder)
{
    ASSERT_EQ(std::size(kTypes), library_->GetTypeInfoCount());
    for (UINT i = 0; i < std::size(kTypes); ++i) {
        SCOPED_TRACE(kTypes[i].name);
        ComPtr<ITypeInfo> info = Type(i);
        BSTR help = nullptr;
        info->GetDocumentation(MEMBERID_NIL, nullptr, &help, nullptr, nullptr);
        EXPECT_EQ("", Text(help));
        EXPECT_EQ(kTypes[i].name, TypeName(info.Get()));
        TYPEATTR* attr = nullptr;
        ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
        EXPECT_EQ(kTypes[i].kind, attr->typekind);
        EXPECT_EQ(kTypes[i].guid, GuidText(attr->guid));
        EXPECT_EQ(kTypes[i].flags, attr->wTypeFlags);
        EXPECT_EQ(1, attr->wMajorVerNum);
        EXPECT_EQ(0, attr->wMinorVerNum);
        info->ReleaseTypeAttr(attr);
    }
}

TEST_F(TypeLibraryTest, DualInterfaces)
{
    const StoredImage image;
    const std::pair<UINT, const std::vector<ExpectedFunction>*> interfaces[] = {
        {kVelkoMBInterface, &VelkoMBMembers()}, {kCSocketInterface, &CSocketMembers()}};
    for (const auto& [index, members] : interfaces) {
        SCOPED_TRACE(kTypes[index].name);
        ComPtr<ITypeInfo> view = InterfaceView(index);
        ExpectBaseIsDispatch(ImplementedType(view.Get(), 0).Get());
        ExpectFunctions(view.Get(), *members, FUNC_PUREVIRTUAL, image.HelpStrings(index, members->size()));
    }
}

TEST_F(TypeLibraryTest, EventInterfaces)
{
    const StoredImage image;
    const std::pair<UINT, const std::vector<ExpectedFunction>*> interfaces[] = {
        {kVelkoMBEvents, &VelkoMBEvents()}, {kCSocketEvents, &CSocketEvents()}};
    for (const auto& [index, events] : interfaces) {
        SCOPED_TRACE(kTypes[index].name);
        ComPtr<ITypeInfo> info = Type(index);
        TYPEATTR* attr = nullptr;
        ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
        EXPECT_EQ(1, attr->cImplTypes);
        EXPECT_EQ(static_cast<WORD>(7 * sizeof(void*)), attr->cbSizeVft);
        info->ReleaseTypeAttr(attr);
        ExpectBaseIsDispatch(ImplementedType(info.Get(), 0).Get());
        ExpectInheritedDispatchMethods(info.Get());
        ExpectFunctions(info.Get(), *events, FUNC_DISPATCH, image.HelpStrings(index, events->size()),
                        kDispatchMethods);
    }
}

TEST_F(TypeLibraryTest, ClassesImplementDefaultAndSourceInterfaces)
{
    const UINT classes[][3] = {{kVelkoMBClass, kVelkoMBInterface, kVelkoMBEvents},
                               {kCSocketClass, kCSocketInterface, kCSocketEvents}};
    const INT flags[] = {IMPLTYPEFLAG_FDEFAULT, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE};
    for (const auto& [index, defaultInterface, events] : classes) {
        SCOPED_TRACE(kTypes[index].name);
        ComPtr<ITypeInfo> info = Type(index);
        TYPEATTR* attr = nullptr;
        info->GetTypeAttr(&attr);
        EXPECT_EQ(2, attr->cImplTypes);
        info->ReleaseTypeAttr(attr);
        const UINT implemented[] = {defaultInterface, events};
        for (UINT i = 0; i < 2; ++i) {
            INT implFlags = 0;
            EXPECT_EQ(S_OK, info->GetImplTypeFlags(i, &implFlags));
            EXPECT_EQ(flags[i], implFlags);
            EXPECT_EQ(kTypes[implemented[i]].name, TypeName(ImplementedType(info.Get(), i).Get()));
        }
    }
}

struct ExpectedConstant {
    const char* name;
    LONG value;
};

TEST_F(TypeLibraryTest, EnumerationsAreLongConstantsNamedInTheirHelp)
{
    const std::vector<ExpectedConstant> protocols = {{"sckTCPProtocol", 0}, {"sckUDPProtocol", 1}};
    const std::vector<ExpectedConstant> errors = {
        {"sckAddressInUse", 10048}, {"sckAddressNotAvailable", 10049}, {"sckAlreadyComplete", 10037},
        {"sckAlreadyConnected", 10056}, {"sckBadState", 40006}, {"sckConnectAborted", 10053},
        {"sckConnectionRefused", 10061}, {"sckConnectionReset", 10054}, {"sckGetNotSupported", 394},
        {"sckHostNotFound", 11001}, {"sckHostNotFoundTryAgain", 11002}, {"sckInProgress", 10036},
        {"sckInvalidArg", 40014}, {"sckInvalidArgument", 10014}, {"sckInvalidOp", 40020},
        {"sckInvalidPropertyValue", 380}, {"sckMsgTooBig", 10040}, {"sckNetReset", 10052},
        {"sckNetworkSubsystemFailed", 10050}, {"sckNetworkUnreachable", 10051}, {"sckNoBufferSpace", 10055},
        {"sckNoData", 11004}, {"sckNonRecoverableError", 11003}, {"sckNotConnected", 10057},
        {"sckNotInitialized", 10093}, {"sckNotSocket", 10038}, {"sckOpCanceled", 10004},
        {"sckOutOfMemory", 7}, {"sckOutOfRange", 40021}, {"sckPortNotSupported", 10043},
        {"sckSetNotSupported", 383}, {"sckSocketShutdown", 10058}, {"sckSuccess", 40017},
        {"sckTimedout", 10060}, {"sckUnsupported", 40018}, {"sckWouldBlock", 10035},
        {"sckWrongProtocol", 40026}};
    const std::vector<ExpectedConstant> states = {
        {"sckClosed", 0}, {"sckOpen", 1}, {"sckListening", 2}, {"sckConnectionPending", 3},
        {"sckResolvingHost", 4}, {"sckHostResolved", 5}, {"sckConnecting", 6}, {"sckConnected", 7},
        {"sckClosing", 8}, {"sckError", 9}};
    const std::pair<UINT, const std::vector<ExpectedConstant>*> enums[] = {{6, &protocols}, {7, &errors}, {8, &states}};
    for (const auto& [index, constants] : enums) {
        SCOPED_TRACE(kTypes[index].name);
        ComPtr<ITypeInfo> info = Type(index);
        TYPEATTR* attr = nullptr;
        info->GetTypeAttr(&attr);
        ASSERT_EQ(constants->size(), static_cast<size_t>(attr->cVars));
        info->ReleaseTypeAttr(attr);
        for (UINT i = 0; i < constants->size(); ++i) {
            const ExpectedConstant& expected = (*constants)[i];
            SCOPED_TRACE(expected.name);
            VARDESC* var = nullptr;
            ASSERT_EQ(S_OK, info->GetVarDesc(i, &var));
            EXPECT_EQ(static_cast<MEMBERID>(0x40000000 + i), var->memid);
            EXPECT_EQ(VAR_CONST, var->varkind);
            EXPECT_EQ(VT_I4, var->elemdescVar.tdesc.vt);
            EXPECT_EQ(VT_I4, V_VT(var->lpvarValue));
            EXPECT_EQ(expected.value, V_I4(var->lpvarValue));
            EXPECT_EQ(std::vector<std::string>{expected.name}, Names(info.Get(), var->memid));
            EXPECT_EQ(expected.name, Help(info.Get(), var->memid));
            info->ReleaseVarDesc(var);
        }
    }
}

TEST(ComponentResources, InterfaceRecordsHoldSizeAndIdentifier)
{
    const std::pair<const wchar_t*, const char*> records[] = {
        {L"_IID_CSOCKET", "{3BB7D999-DD34-4863-BC7A-CC822BFB82DF}"},
        {L"_SRCIID_CSOCKET", "{907E73B2-709D-4C7A-A51C-EA295F99257B}"},
        {L"_IID_VELKOMB", "{62DA8D38-DC57-4619-A9A4-DB97A44EB38C}"},
        {L"_SRCIID_VELKOMB", "{D3C9C850-B7CB-45BE-86B6-AD98546D4C84}"},
    };
    for (const auto& [type, guid] : records) {
        SCOPED_TRACE(Narrow(type));
        const std::vector<BYTE> bytes = ResourceBytes(type, MAKEINTRESOURCEW(1));
        ASSERT_EQ(20u, bytes.size());
        const std::vector<BYTE> size(bytes.begin(), bytes.begin() + 4);
        EXPECT_EQ((std::vector<BYTE>{16, 0, 0, 0}), size);
        GUID stored;
        memcpy(&stored, bytes.data() + 4, sizeof stored);
        EXPECT_EQ(guid, GuidText(stored));
        EXPECT_EQ(std::vector<WORD>{0}, ResourceLanguages(type, MAKEINTRESOURCEW(1)));
    }
    EXPECT_EQ(std::vector<WORD>{0}, ResourceLanguages(kTypeLibraryType, MAKEINTRESOURCEW(1)));
    EXPECT_EQ(std::vector<WORD>{1033}, ResourceLanguages(RT_VERSION, MAKEINTRESOURCEW(1)));
}

TEST(ComponentResources, VersionBlock)
{
    const std::wstring path = ModulePath();
    DWORD handle = 0;
    std::vector<BYTE> block(GetFileVersionInfoSizeW(path.c_str(), &handle));
    ASSERT_FALSE(block.empty());
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, block.size(), block.data()));

    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", &value, &length));
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    EXPECT_EQ(0x00010000u, fixed->dwFileVersionMS);
    EXPECT_EQ(0u, fixed->dwFileVersionLS);
    EXPECT_EQ(0x00010000u, fixed->dwProductVersionMS);
    EXPECT_EQ(0u, fixed->dwProductVersionLS);
    EXPECT_EQ(0u, fixed->dwFileFlags);
    EXPECT_EQ(static_cast<DWORD>(VOS__WINDOWS32), fixed->dwFileOS);
    EXPECT_EQ(static_cast<DWORD>(VFT_DLL), fixed->dwFileType);
    EXPECT_EQ(0u, fixed->dwFileSubtype);

    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length));
    ASSERT_EQ(4u, length);
    EXPECT_EQ(0x0409, static_cast<const WORD*>(value)[0]);
    EXPECT_EQ(0x04B0, static_cast<const WORD*>(value)[1]);

    // In this order within the block.
    const std::pair<const wchar_t*, const char*> strings[] = {
        {L"ProductName", "VelkoMB"},   {L"FileVersion", "1.00"},          {L"ProductVersion", "1.00"},
        {L"InternalName", "VelkoMB"}, {L"OriginalFilename", "VelkoMB.dll"}, {L"OLESelfRegister", ""},
    };
    const wchar_t* previous = nullptr;
    for (const auto& [key, expected] : strings) {
        SCOPED_TRACE(Narrow(key));
        const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + key;
        value = nullptr;
        length = 0;
        ASSERT_TRUE(VerQueryValueW(block.data(), query.c_str(), &value, &length));
        EXPECT_EQ(expected, length ? Narrow(static_cast<const wchar_t*>(value)) : "");
        EXPECT_LT(previous, static_cast<const wchar_t*>(value));
        previous = static_cast<const wchar_t*>(value);
    }
}

} // namespace
