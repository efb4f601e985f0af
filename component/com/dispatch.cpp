#include "component/com/dispatch.h"
#include <algorithm>
#include <array>
#include <utility>
#include "automation/error.h"
#include "automation/variant.h"
#include "component/com/arguments.h"

namespace velkomb::com {
namespace {

using automation::Check;

bool Same(const wchar_t* a, const wchar_t* b) { return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL; }

// Names are looked up with their ASCII letters in upper case, which is all
// that comparing ASCII texts case-insensitively does to them; a text with
// anything but ASCII is compared the platform's way instead.
wchar_t Folded(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

bool IsAscii(const wchar_t* text)
{
    for (; *text; ++text)
        if (*text > 0x7F) return false;
    return true;
}

std::wstring KeyOf(const std::wstring& text)
{
    std::wstring key(text);
    for (wchar_t& c : key) c = Folded(c);
    return key;
}

// The order of `key` (folded already) against `text` (folded on the way).
int CompareKey(const std::wstring& key, const wchar_t* text)
{
    size_t i = 0;
    for (; i < key.size() && text[i]; ++i)
        if (key[i] != Folded(text[i])) return key[i] < Folded(text[i]) ? -1 : 1;
    if (i < key.size()) return 1;
    return text[i] ? -1 : 0;
}

// The kinds of member a call's flags may name: the kinds of write they name,
// or else a method or a property read (the kinds' values are the flags').
WORD KindsOf(WORD flags)
{
    const WORD writes = flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF);
    return writes ? writes : flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET);
}

bool IsWrite(INVOKEKIND kind) { return kind == INVOKE_PROPERTYPUT || kind == INVOKE_PROPERTYPUTREF; }

class FuncDesc {
public:
    FuncDesc(ITypeInfo* info, UINT index) : info_(info) { Check(info->GetFuncDesc(index, &desc_)); }
    ~FuncDesc() { info_->ReleaseFuncDesc(desc_); }
    FuncDesc(const FuncDesc&) = delete;
    FuncDesc& operator=(const FuncDesc&) = delete;
    const FUNCDESC* operator->() const { return desc_; }

private:
    ITypeInfo* info_;
    FUNCDESC* desc_ = nullptr;
};

// The type a by-reference parameter points to; the library's own types are
// enumerations, which travel as 32-bit integers.
VARTYPE PointedType(ITypeInfo* info, const TYPEDESC& type)
{
    if (type.vt != VT_PTR) automation::RaiseRuntime(automation::errInvalidCall);
    const TYPEDESC& target = *type.lptdesc;
    if (target.vt != VT_USERDEFINED) return target.vt;
    ITypeInfo* referenced = nullptr;
    Check(info->GetRefTypeInfo(target.hreftype, &referenced));
    TYPEATTR* attr = nullptr;
    HRESULT hr = referenced->GetTypeAttr(&attr);
    const bool isEnum = SUCCEEDED(hr) && attr->typekind == TKIND_ENUM;
    if (SUCCEEDED(hr)) referenced->ReleaseTypeAttr(attr);
    referenced->Release();
    if (!isEnum) automation::RaiseRuntime(automation::errInvalidCall);
    return VT_I4;
}

// A call's arguments as the member receives them: one pointer per parameter
// (the retval's last), and the copies that coerced or left-out ones point to.
class CallArguments {
public:
    // For `slots` parameters, the retval's included.
    explicit CallArguments(size_t slots) : used_(slots)
    {
        for (size_t i = 0; i < used_; ++i) VariantInit(&copies_[i]);
    }
    ~CallArguments()
    {
        for (size_t i = 0; i < used_; ++i) {
            if (lent_[i]) VariantInit(&copies_[i]);  // the caller's own
            VariantClear(&copies_[i]);
        }
    }
    CallArguments(const CallArguments&) = delete;
    CallArguments& operator=(const CallArguments&) = delete;

    // Brings `arg` (nullptr when an optional parameter was left out) to
    // parameter `slot`, which points to `type`. `readOnly`: the member only
    // reads the parameter (the value of a property write).
    HRESULT Prepare(size_t slot, VARTYPE type, const VARIANT* arg, bool readOnly)
    {
        VARIANT& copy = copies_[slot];
        if (type == VT_VARIANT) {
            if (!arg) {
                copy = automation::MissingArgument();
                return Point(slot, &copy);
            }
            if (V_VT(arg) == (VT_VARIANT | VT_BYREF)) return Point(slot, V_VARIANTREF(arg));
            // A host's variable: the member writes through the reference the
            // copy holds. A value: the member gets a copy of its own.
            if (V_VT(arg) & VT_BYREF)
                copy = *arg;
            else if (HRESULT hr = VariantCopy(&copy, const_cast<VARIANT*>(arg)); FAILED(hr))
                return hr;
            return Point(slot, &copy);
        }
        if (!arg) {
            V_VT(&copy) = type;
            V_I8(&copy) = 0;
            if (type == VT_BSTR && !(V_BSTR(&copy) = SysAllocString(L""))) return E_OUTOFMEMORY;
            return Point(slot, &V_UI1(&copy));
        }
        if (V_VT(arg) == (type | VT_BYREF)) return Point(slot, V_BYREF(arg));
        if (readOnly && type == VT_BSTR && V_VT(arg) == VT_BSTR) {
            // A text passed as a value to a member that only reads it is lent,
            // not copied.
            copy = *arg;
            lent_[slot] = V_BSTR(arg);
            return Point(slot, &V_BSTR(&copy));
        }
        if (V_VT(arg) == (VT_VARIANT | VT_BYREF)) {
            VARIANT* inner = V_VARIANTREF(arg);
            if (V_VT(inner) == type) return Point(slot, &V_UI1(inner));  // the host's own variable
            arg = inner;
        }
        HRESULT hr = VariantChangeType(&copy, const_cast<VARIANT*>(arg), 0, type);
        return FAILED(hr) ? hr : Point(slot, &V_UI1(&copy));
    }

    // The [out, retval] parameter in `slot`: the result itself for a variant,
    // else a value of the type, handed to `result` after a successful call.
    void PrepareResult(size_t slot, VARTYPE type, VARIANT* result)
    {
        VARIANT& copy = copies_[slot];
        if (type == VT_VARIANT) {
            Point(slot, result ? result : &copy);
            return;
        }
        V_VT(&copy) = type;
        V_I8(&copy) = 0;
        Point(slot, &V_UI1(&copy));
    }
    void TakeResult(size_t slot, VARTYPE type, VARIANT* result)
    {
        if (!result || type == VT_VARIANT) return;
        *result = copies_[slot];
        VariantInit(&copies_[slot]);
    }

    void* const* pointers() const { return pointers_.data(); }

private:
    HRESULT Point(size_t slot, void* target)
    {
        pointers_[slot] = target;
        return S_OK;
    }

    static constexpr size_t slots = DispatchTable::maxParameters + 1;
    size_t used_;
    std::array<VARIANT, slots> copies_;
    std::array<BSTR, slots> lent_{};
    std::array<void*, slots> pointers_;
};

// Every member takes its parameters by pointer and returns an HRESULT, so
// calling it through its vtable needs no more than the number of pointers.
// (The platform's DispCallFunc would do the same, and allocate twice a call.)
template <size_t>
using Pointer = void*;

template <size_t... I>
HRESULT CallWith(void* function, void* object, void* const* args, std::index_sequence<I...>)
{
    using Function = HRESULT(STDMETHODCALLTYPE*)(void*, Pointer<I>...);
    return reinterpret_cast<Function>(function)(object, args[I]...);
}

template <size_t... Count>
HRESULT CallThroughVtable(void* object, ULONG_PTR offset, size_t count, void* const* args,
                          std::index_sequence<Count...>)
{
    void* function = (*static_cast<void***>(object))[offset / sizeof(void*)];
    HRESULT hr = E_INVALIDARG;
    ((count == Count ? (hr = CallWith(function, object, args, std::make_index_sequence<Count>()), true) : false) ||
     ...);
    return hr;
}

// The member's failure as ITypeInfo::Invoke reports it: its error info goes
// into the caller's EXCEPINFO.
HRESULT MemberFailed(HRESULT failure, EXCEPINFO* exception)
{
    if (exception) {
        *exception = EXCEPINFO{};
        exception->scode = failure;
        IErrorInfo* error = nullptr;
        if (GetErrorInfo(0, &error) == S_OK && error) {
            error->GetSource(&exception->bstrSource);
            error->GetDescription(&exception->bstrDescription);
            error->GetHelpFile(&exception->bstrHelpFile);
            error->GetHelpContext(&exception->dwHelpContext);
            error->Release();
        }
    }
    return DISP_E_EXCEPTION;
}

} // namespace

DispatchTable::DispatchTable(ITypeInfo* dual, const std::vector<typelib::Function>& extra)
{
    AddInterface(dual, true);
    for (size_t i = 0; i < extra.size(); ++i) AddExtra(extra[i], i);
}

// Every function of the interface and then of its bases, as the platform's
// own name lookup searches them; only the interface's own are called.
void DispatchTable::AddInterface(ITypeInfo* info, bool invocable)
{
    TYPEATTR* attr = nullptr;
    Check(info->GetTypeAttr(&attr));
    const UINT functions = attr->cFuncs;
    const bool hasBase = attr->cImplTypes > 0;
    info->ReleaseTypeAttr(attr);

    for (UINT i = 0; i < functions; ++i) {
        FuncDesc desc(info, i);
        BSTR names[maxParameters + 2] = {};
        UINT count = 0;
        Check(info->GetNames(desc->memid, names, maxParameters + 2, &count));
        Name name{count > 0 ? names[0] : L"", desc->memid, {}};
        for (UINT j = 1; j < count; ++j) name.params.emplace_back(names[j]);
        for (UINT j = 0; j < count; ++j) SysFreeString(names[j]);
        AddName(std::move(name));
        if (!invocable) continue;

        Member member{desc->memid, desc->invkind, false, static_cast<ULONG_PTR>(desc->oVft), {}, 0, VT_EMPTY};
        for (SHORT p = 0; p < desc->cParams; ++p) {
            const ELEMDESC& param = desc->lprgelemdescParam[p];
            const VARTYPE type = PointedType(info, param.tdesc);
            if (param.paramdesc.wParamFlags & PARAMFLAG_FRETVAL) {
                member.retval = type;
                continue;
            }
            if (param.paramdesc.wParamFlags & PARAMFLAG_FOPT) member.optional |= 1u << member.params.size();
            member.params.push_back(type);
        }
        if (member.params.size() > maxParameters) automation::RaiseRuntime(automation::errInvalidCall);
        members_.push_back(std::move(member));
    }
    if (!hasBase) return;
    HREFTYPE reference = 0;
    ITypeInfo* base = nullptr;
    Check(info->GetRefTypeOfImplType(0, &reference));
    Check(info->GetRefTypeInfo(reference, &base));
    try {
        AddInterface(base, false);
    } catch (...) {
        base->Release();
        throw;
    }
    base->Release();
}

void DispatchTable::AddExtra(const typelib::Function& function, size_t index)
{
    Member member{function.id, function.kind, true, index * sizeof(void*), {}, 0, VT_EMPTY};
    Name name{function.name, function.id, {}};
    for (const typelib::Param& param : function.params) {
        if (!param.byRef || member.params.size() == maxParameters)
            automation::RaiseRuntime(automation::errInvalidCall);
        const VARTYPE type = param.type.vt == VT_USERDEFINED ? VT_I4 : param.type.vt;
        if (param.flags & PARAMFLAG_FRETVAL) {
            member.retval = type;
            continue;
        }
        if (param.flags & PARAMFLAG_FOPT) member.optional |= 1u << member.params.size();
        member.params.push_back(type);
        name.params.emplace_back(param.name ? param.name : L"");
    }
    AddName(std::move(name));
    members_.push_back(std::move(member));
}

void DispatchTable::AddName(Name name)
{
    if (FindName(name.text.c_str())) return;  // the first one counts
    name.key = KeyOf(name.text);
    auto at = std::lower_bound(names_.begin(), names_.end(), name.key,
                               [](const Name& a, const std::wstring& key) { return a.key < key; });
    names_.insert(at, std::move(name));
}

const DispatchTable::Name* DispatchTable::FindName(const wchar_t* text) const
{
    if (IsAscii(text)) {
        auto found = std::lower_bound(names_.begin(), names_.end(), text,
                                      [](const Name& a, const wchar_t* b) { return CompareKey(a.key, b) < 0; });
        return found != names_.end() && CompareKey(found->key, text) == 0 ? &*found : nullptr;
    }
    auto found = std::find_if(names_.begin(), names_.end(), [&](const Name& n) { return Same(n.text.c_str(), text); });
    return found != names_.end() ? &*found : nullptr;
}

HRESULT DispatchTable::GetIDsOfNames(LPOLESTR* names, UINT count, DISPID* ids) const
{
    if (count == 0) return S_OK;
    if (!names || !ids) return E_INVALIDARG;
    std::fill(ids, ids + count, DISPID_UNKNOWN);
    const Name* found = names[0] ? FindName(names[0]) : nullptr;
    if (!found) return DISP_E_UNKNOWNNAME;
    ids[0] = found->id;
    HRESULT hr = S_OK;
    for (UINT i = 1; i < count; ++i) {
        const auto& params = found->params;
        auto param = std::find_if(params.begin(), params.end(), [&](const std::wstring& text) {
            return !text.empty() && names[i] && Same(text.c_str(), names[i]);
        });
        if (param == params.end())
            hr = DISP_E_UNKNOWNNAME;
        else
            ids[i] = static_cast<DISPID>(param - params.begin());
    }
    return hr;
}

const DispatchTable::Member* DispatchTable::Find(DISPID id, WORD kinds) const
{
    for (const Member& member : members_)
        if (member.id == id && (member.kind & kinds)) return &member;
    return nullptr;
}

HRESULT DispatchTable::Invoke(void* dual, void* extra, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                              EXCEPINFO* exception, UINT* argError) const
{
    if (!params) return E_INVALIDARG;
    // Hosts make `x = obj.Prop` a call made as a method or a property read.
    const Member* member = Find(id, KindsOf(flags));
    if (!member) return DISP_E_MEMBERNOTFOUND;
    // `x = obj.Prop(1)`: a host indexes the value itself once it has it.
    if (member->kind == INVOKE_PROPERTYGET && member->params.empty() && params->cArgs > 0 && result)
        return DISP_E_NOTACOLLECTION;
    return Call(*member, member->extra ? extra : dual, *params, result, exception, argError);
}

HRESULT DispatchTable::Call(const Member& member, void* object, const DISPPARAMS& params, VARIANT* result,
                            EXCEPINFO* exception, UINT* argError) const
{
    const size_t count = member.params.size();
    std::array<int, maxParameters> sources;
    HRESULT hr = PlaceArguments(params, IsWrite(member.kind), member.optional,
                                std::span(sources.data(), count), argError);
    if (FAILED(hr)) return hr;

    const bool hasResult = member.retval != VT_EMPTY;
    CallArguments args(count + hasResult);
    for (size_t i = 0; i < count; ++i) {
        const VARIANT* arg = sources[i] == omittedArgument ? nullptr : &params.rgvarg[sources[i]];
        hr = args.Prepare(i, member.params[i], arg, IsWrite(member.kind));
        if (FAILED(hr)) {
            if (argError) *argError = static_cast<UINT>(sources[i]);
            return hr;
        }
    }
    if (result) VariantInit(result);
    if (hasResult) args.PrepareResult(count, member.retval, result);

    SetErrorInfo(0, nullptr);
    hr = CallThroughVtable(object, member.offset, count + hasResult, args.pointers(),
                           std::make_index_sequence<maxParameters + 2>());
    if (FAILED(hr)) return MemberFailed(hr, exception);
    if (hasResult) args.TakeResult(count, member.retval, result);
    return S_OK;
}

} // namespace velkomb::com
