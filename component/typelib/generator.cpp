// tlbgen OUTPUT.tlb: writes the component's type library with ICreateTypeLib2.
// Built in code rather than from an interface definition because the library
// must match fixed attributes (type order, unnamed property parameters, enum
// help strings, optional flags without an optional count) that an IDL
// compiler does not reproduce.
#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>
#include <cstdio>
#include <stdexcept>
#include <string>
#include "component/typelib/definitions.h"

namespace velkomb::typelib {
namespace {

using Microsoft::WRL::ComPtr;

// {00020430-0000-0000-C000-000000000046}
constexpr GUID LIBID_StdOle = {0x00020430, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

void Check(HRESULT hr, const char* what)
{
    if (FAILED(hr)) {
        char message[160];
        std::snprintf(message, sizeof message, "%s failed: 0x%08lX", what, static_cast<unsigned long>(hr));
        throw std::runtime_error(message);
    }
}

class Generator {
public:
    explicit Generator(const std::wstring& path)
    {
        Check(CreateTypeLib2(LibrarySysKind, path.c_str(), &library_), "CreateTypeLib2");
        Check(LoadRegTypeLib(LIBID_StdOle, 2, 0, LOCALE_NEUTRAL, &stdole_), "loading stdole2.tlb");
        Check(stdole_->GetTypeInfoOfGuid(IID_IDispatch, &dispatch_), "finding IDispatch");
    }

    void Write()
    {
        DescribeLibrary();
        // All nine first, in their order, so that references between them resolve.
        for (int index = 0; index < kTypeCount; ++index) CreateType(static_cast<TypeIndex>(index));
        DescribeDualInterface(kVelkoMBInterface, VelkoMBMembers());
        DescribeDualInterface(kCSocketInterface, CSocketMembers());
        DescribeClass(kVelkoMBClass, kVelkoMBInterface, kVelkoMBEvents);
        DescribeClass(kCSocketClass, kCSocketInterface, kCSocketEvents);
        DescribeEvents(kVelkoMBEvents, VelkoMBEvents());
        DescribeEvents(kCSocketEvents, CSocketEvents());
        DescribeEnum(kProtocolConstants, ProtocolConstantMembers());
        DescribeEnum(kErrorConstants, ErrorConstantMembers());
        DescribeEnum(kStateConstants, StateConstantMembers());
        for (auto& info : types_) Check(info->LayOut(), "LayOut");
        Check(library_->SaveAllChanges(), "SaveAllChanges");
    }

private:
    // The locale is left unset: the header then records 0x409 for the names
    // while the library reports locale 0.
    void DescribeLibrary()
    {
        Check(library_->SetName(const_cast<LPOLESTR>(L"VelkoMBDLL")), "SetName");
        Check(library_->SetGuid(LIBID_VelkoMBDLL), "SetGuid");
        Check(library_->SetVersion(LibraryMajorVersion, LibraryMinorVersion), "SetVersion");
    }

    void CreateType(TypeIndex index)
    {
        const TypeDefinition& type = kTypes[index];
        ComPtr<ICreateTypeInfo>& info = types_[index];
        Check(library_->CreateTypeInfo(const_cast<LPOLESTR>(type.name), type.kind, &info), "CreateTypeInfo");
        Check(info->SetGuid(type.guid), "SetGuid");
        Check(info->SetVersion(1, 0), "SetVersion");
        if (type.kind != TKIND_COCLASS) Check(info->SetTypeFlags(type.flags), "SetTypeFlags");
    }

    HREFTYPE Reference(TypeIndex from, ITypeInfo* to)
    {
        HREFTYPE reference = 0;
        Check(types_[from]->AddRefTypeInfo(to, &reference), "AddRefTypeInfo");
        return reference;
    }

    HREFTYPE Reference(TypeIndex from, TypeIndex to)
    {
        ComPtr<ITypeInfo> target;
        Check(types_[to].As(&target), "ITypeInfo of a new type");
        return Reference(from, target.Get());
    }

    void DescribeDualInterface(TypeIndex index, const std::vector<Function>& members)
    {
        Check(types_[index]->AddImplType(0, Reference(index, dispatch_.Get())), "AddImplType IDispatch");
        for (UINT i = 0; i < members.size(); ++i)
            AddFunction(index, i, members[i], FUNC_PUREVIRTUAL, VT_HRESULT);
    }

    // A dispatch interface inherits nothing here: the library reports every
    // dispatch interface as derived from IDispatch anyway, and a recorded
    // base would put IDispatch's seven methods in front of the events.
    void DescribeEvents(TypeIndex index, const std::vector<Function>& events)
    {
        for (UINT i = 0; i < events.size(); ++i)
            AddFunction(index, i, events[i], FUNC_DISPATCH, VT_VOID);
    }

    // Adding implemented interfaces marks a class dispatchable, so its own
    // flags are set afterwards.
    void DescribeClass(TypeIndex index, TypeIndex defaultInterface, TypeIndex events)
    {
        ICreateTypeInfo* info = types_[index].Get();
        Check(info->AddImplType(0, Reference(index, defaultInterface)), "AddImplType");
        Check(info->SetImplTypeFlags(0, IMPLTYPEFLAG_FDEFAULT), "SetImplTypeFlags");
        Check(info->AddImplType(1, Reference(index, events)), "AddImplType source");
        Check(info->SetImplTypeFlags(1, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE), "SetImplTypeFlags source");
        Check(info->SetTypeFlags(kTypes[index].flags), "SetTypeFlags");
    }

    void DescribeEnum(TypeIndex index, const std::vector<Constant>& constants)
    {
        ICreateTypeInfo* info = types_[index].Get();
        for (UINT i = 0; i < constants.size(); ++i) {
            VARIANT value;
            V_VT(&value) = VT_I4;
            V_I4(&value) = constants[i].value;
            VARDESC var = {};
            var.memid = 0x40000000 + i;
            var.lpvarValue = &value;
            var.elemdescVar.tdesc.vt = VT_I4;
            var.varkind = VAR_CONST;
            Check(info->AddVarDesc(i, &var), "AddVarDesc");
            Check(info->SetVarName(i, const_cast<LPOLESTR>(constants[i].name)), "SetVarName");
            Check(info->SetVarDocString(i, const_cast<LPOLESTR>(constants[i].name)), "SetVarDocString");
        }
    }

    TYPEDESC BaseType(TypeIndex owner, Type type)
    {
        TYPEDESC desc = {};
        desc.vt = type.vt;
        if (type.vt == VT_USERDEFINED) desc.hreftype = Reference(owner, type.userType);
        return desc;
    }

    // No vtable offset is given: LayOut places the functions in table order
    // behind IDispatch's seven.
    void AddFunction(TypeIndex owner, UINT index, const Function& function, FUNCKIND kind, VARTYPE result)
    {
        const size_t count = function.params.size();
        std::vector<TYPEDESC> pointees(count);
        std::vector<ELEMDESC> params(count);
        for (size_t i = 0; i < count; ++i) {
            const Param& param = function.params[i];
            pointees[i] = BaseType(owner, param.type);
            if (param.byRef) {
                params[i].tdesc.vt = VT_PTR;
                params[i].tdesc.lptdesc = &pointees[i];
            } else {
                params[i].tdesc = pointees[i];
            }
            params[i].paramdesc.wParamFlags = param.flags;
        }
        FUNCDESC desc = {};
        desc.memid = function.id;
        desc.lprgelemdescParam = params.data();
        desc.funckind = kind;
        desc.invkind = function.kind;
        desc.callconv = CC_STDCALL;
        desc.cParams = static_cast<SHORT>(count);
        desc.cParamsOpt = function.optionalCount;
        desc.elemdescFunc.tdesc.vt = result;
        ICreateTypeInfo* info = types_[owner].Get();
        Check(info->AddFuncDesc(index, &desc), "AddFuncDesc");
        NameFunction(info, index, function);
        if (function.help) Check(info->SetFuncDocString(index, const_cast<LPOLESTR>(function.help)), "SetFuncDocString");
    }

    // Property procedures get only the member's name: their parameter stays unnamed.
    static void NameFunction(ICreateTypeInfo* info, UINT index, const Function& function)
    {
        std::vector<LPOLESTR> names = {const_cast<LPOLESTR>(function.name)};
        for (const Param& param : function.params)
            if (param.name) names.push_back(const_cast<LPOLESTR>(param.name));
        Check(info->SetFuncAndParamNames(index, names.data(), static_cast<UINT>(names.size())), "SetFuncAndParamNames");
    }

    ComPtr<ICreateTypeLib2> library_;
    ComPtr<ITypeLib> stdole_;
    ComPtr<ITypeInfo> dispatch_;
    ComPtr<ICreateTypeInfo> types_[kTypeCount];
};

// The saved library's bytes, for the one field ICreateTypeLib2 cannot set:
// LayOut gives a dispatch interface the vtable size of IDispatch plus its
// members, and that size is what the library reports as its function count,
// so the events interfaces would report seven functions too many.
class Image {
public:
    explicit Image(const std::wstring& path) : path_(path)
    {
        FILE* file = _wfopen(path.c_str(), L"rb");
        if (!file) throw std::runtime_error("cannot read the saved library");
        for (int byte; (byte = std::fgetc(file)) != EOF;) bytes_.push_back(static_cast<BYTE>(byte));
        std::fclose(file);
    }

    // Gives type description `index`, checked to be the dispatch interface
    // with `functions` members, a vtable of exactly those members.
    void SetDispatchVtableSize(TypeIndex index, size_t functions)
    {
        const size_t base = TypeInfoOffset(index);
        if ((Read32(base + kKindField) & 0xF) != TKIND_DISPATCH ||
            (Read32(base + kElementCountField) & 0xFFFF) != functions)
            throw std::runtime_error("unexpected layout of a dispatch interface");
        Write16(base + kVtableSizeField, static_cast<WORD>(functions * sizeof(void*)));
    }

    void Save() const
    {
        FILE* file = _wfopen(path_.c_str(), L"wb");
        if (!file || std::fwrite(bytes_.data(), 1, bytes_.size(), file) != bytes_.size())
            throw std::runtime_error("cannot write the library");
        std::fclose(file);
    }

private:
    // Header, an optional help DLL entry, one offset per type description,
    // then the segment directory whose first entry locates the type infos.
    static constexpr size_t kHeaderSize = 0x54;
    static constexpr size_t kVarFlagsField = 0x14;
    static constexpr size_t kTypeCountField = 0x20;
    static constexpr DWORD kHasHelpDll = 0x100;
    static constexpr size_t kKindField = 0x00;
    static constexpr size_t kElementCountField = 0x18;
    static constexpr size_t kVtableSizeField = 0x4E;

    size_t TypeInfoOffset(TypeIndex index) const
    {
        const size_t offsets = kHeaderSize + ((Read32(kVarFlagsField) & kHasHelpDll) ? 4 : 0);
        const size_t segments = offsets + 4 * Read32(kTypeCountField);
        return Read32(segments) + Read32(offsets + 4 * index);
    }

    DWORD Read32(size_t at) const
    {
        if (at + 4 > bytes_.size()) throw std::runtime_error("library image too short");
        return bytes_[at] | bytes_[at + 1] << 8 | bytes_[at + 2] << 16 | static_cast<DWORD>(bytes_[at + 3]) << 24;
    }

    void Write16(size_t at, WORD value)
    {
        bytes_.at(at + 1) = static_cast<BYTE>(value >> 8);
        bytes_.at(at) = static_cast<BYTE>(value);
    }

    std::wstring path_;
    std::vector<BYTE> bytes_;
};

void RecordEventVtableSizes(const std::wstring& path)
{
    const std::pair<TypeIndex, size_t> events[] = {
        {kVelkoMBEvents, VelkoMBEvents().size()},
        {kCSocketEvents, CSocketEvents().size()},
    };
    Image image(path);
    for (const auto& [index, count] : events) image.SetDispatchVtableSize(index, count);
    image.Save();
}

std::wstring Widen(const char* text)
{
    const int size = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring wide(size, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), size);
    wide.resize(size - 1);
    return wide;
}

} // namespace
} // namespace velkomb::typelib

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: tlbgen OUTPUT.tlb\n");
        return 2;
    }
    try {
        const std::wstring path = velkomb::typelib::Widen(argv[1]);
        velkomb::typelib::Generator(path).Write();
        velkomb::typelib::RecordEventVtableSizes(path);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tlbgen: %s\n", error.what());
        return 1;
    }
    return 0;
}
