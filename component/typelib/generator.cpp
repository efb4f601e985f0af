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
        DescribeInterface(kVelkoMBInterface, VelkoMBMembers(), FUNC_PUREVIRTUAL, VT_HRESULT);
        DescribeInterface(kCSocketInterface, CSocketMembers(), FUNC_PUREVIRTUAL, VT_HRESULT);
        DescribeClass(kVelkoMBClass, kVelkoMBInterface, kVelkoMBEvents);
        DescribeClass(kCSocketClass, kCSocketInterface, kCSocketEvents);
        DescribeInterface(kVelkoMBEvents, VelkoMBEvents(), FUNC_DISPATCH, VT_VOID);
        DescribeInterface(kCSocketEvents, CSocketEvents(), FUNC_DISPATCH, VT_VOID);
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

    // Both kinds of interface derive from stdole2's IDispatch: a dual
    // interface's members follow its seven methods in the vtable, and readers
    // list those methods before the events of a dispatch interface too.
    void DescribeInterface(TypeIndex index, const std::vector<Function>& functions, FUNCKIND kind, VARTYPE result)
    {
        Check(types_[index]->AddImplType(0, Reference(index, dispatch_.Get())), "AddImplType IDispatch");
        for (UINT i = 0; i < functions.size(); ++i) AddFunction(index, i, functions[i], kind, result);
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
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tlbgen: %s\n", error.what());
        return 1;
    }
    return 0;
}
