#include "component/com/dispatch.h"
#include <vector>
#include "component/com/arguments.h"
#include "component/com/guarded.h"

namespace velkomb::com {
namespace {

class FuncDesc {
public:
    FuncDesc(ITypeInfo* info, UINT index) : info_(info) { info->GetFuncDesc(index, &desc_); }
    ~FuncDesc() { if (desc_) info_->ReleaseFuncDesc(desc_); }
    FuncDesc(const FuncDesc&) = delete;
    FuncDesc& operator=(const FuncDesc&) = delete;
    const FUNCDESC& get() const { return *desc_; }
    explicit operator bool() const { return desc_ != nullptr; }

private:
    ITypeInfo* info_;
    FUNCDESC* desc_ = nullptr;
};

INVOKEKIND KindOf(WORD flags)
{
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) return INVOKE_PROPERTYPUT;
    if (flags & DISPATCH_METHOD) return INVOKE_FUNC;
    return INVOKE_PROPERTYGET;
}

// Index of the member's function: a call made as a method may also name a
// property read, as hosts do for `x = obj.Prop`.
bool FindFunction(ITypeInfo* info, DISPID id, WORD flags, UINT* index)
{
    ITypeInfo2* info2 = nullptr;
    if (FAILED(info->QueryInterface(IID_ITypeInfo2, reinterpret_cast<void**>(&info2)))) return false;
    INVOKEKIND kind = KindOf(flags);
    HRESULT hr = info2->GetFuncIndexOfMemId(id, kind, index);
    if (FAILED(hr) && kind == INVOKE_FUNC && (flags & DISPATCH_PROPERTYGET))
        hr = info2->GetFuncIndexOfMemId(id, INVOKE_PROPERTYGET, index);
    info2->Release();
    return SUCCEEDED(hr);
}

// The type a by-reference parameter points to; VT_EMPTY for other parameters.
VARTYPE PointedType(ITypeInfo* info, const ELEMDESC& param)
{
    const TYPEDESC& type = param.tdesc;
    if (type.vt != VT_PTR) return VT_EMPTY;
    const TYPEDESC& target = *type.lptdesc;
    if (target.vt != VT_USERDEFINED) return target.vt;
    // The enumerations are 32-bit integers.
    ITypeInfo* referenced = nullptr;
    VARTYPE vt = VT_EMPTY;
    if (SUCCEEDED(info->GetRefTypeInfo(target.hreftype, &referenced))) {
        TYPEATTR* attr = nullptr;
        if (SUCCEEDED(referenced->GetTypeAttr(&attr))) {
            vt = attr->typekind == TKIND_ENUM ? VT_I4 : VT_EMPTY;
            referenced->ReleaseTypeAttr(attr);
        }
        referenced->Release();
    }
    return vt;
}

// Prepared arguments: what ITypeInfo::Invoke gets, plus the copies that
// coerced arguments point to.
class Arguments {
public:
    explicit Arguments(size_t count) : passed_(count), copies_(count)
    {
        for (auto& v : passed_) VariantInit(&v);
        for (auto& v : copies_) VariantInit(&v);
    }
    ~Arguments()
    {
        for (auto& v : copies_) VariantClear(&v);
    }
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;

    VARIANT* data() { return passed_.data(); }

    void pass(size_t slot, const VARIANT& arg) { passed_[slot] = arg; }

    // Passes a reference to a private copy of a variant.
    HRESULT passVariantCopy(size_t slot, const VARIANT& value)
    {
        HRESULT hr = VariantCopy(&copies_[slot], const_cast<VARIANT*>(&value));
        if (FAILED(hr)) return hr;
        V_VT(&passed_[slot]) = VT_VARIANT | VT_BYREF;
        V_VARIANTREF(&passed_[slot]) = &copies_[slot];
        return S_OK;
    }

    // Passes a pointer to a private copy of `value` converted to `type`.
    HRESULT passCopy(size_t slot, const VARIANT* value, VARTYPE type)
    {
        VARIANT& copy = copies_[slot];
        if (value) {
            HRESULT hr = VariantChangeType(&copy, const_cast<VARIANT*>(value), 0, type);
            if (FAILED(hr)) return hr;
        } else {
            // Omitted: zero of the type (an empty text for strings).
            V_VT(&copy) = type;
            V_I8(&copy) = 0;
            if (type == VT_BSTR) V_BSTR(&copy) = SysAllocString(L"");
        }
        V_VT(&passed_[slot]) = type | VT_BYREF;
        V_BYREF(&passed_[slot]) = &V_UI1(&copy);
        return S_OK;
    }

private:
    std::vector<VARIANT> passed_;
    std::vector<VARIANT> copies_;
};

// Brings argument `arg` (or nullptr when left out of an optional parameter)
// to parameter `param`.
HRESULT Prepare(ITypeInfo* info, const ELEMDESC& param, const VARIANT* arg, Arguments& args, size_t slot)
{
    VARTYPE pointed = PointedType(info, param);
    if (pointed == VT_VARIANT && arg && !(V_VT(arg) & VT_BYREF)) {
        // A value, not a variable: the member may write to its parameter,
        // so it gets a copy and the caller's value stays the caller's.
        return args.passVariantCopy(slot, *arg);
    }
    if (pointed == VT_EMPTY || pointed == VT_VARIANT) {
        if (arg) {
            args.pass(slot, *arg);
        } else {
            VARIANT missing;
            V_VT(&missing) = VT_ERROR;
            V_ERROR(&missing) = DISP_E_PARAMNOTFOUND;
            args.pass(slot, missing);
        }
        return S_OK;
    }
    if (!arg) return args.passCopy(slot, nullptr, pointed);
    if (V_VT(arg) == (pointed | VT_BYREF)) {
        args.pass(slot, *arg);
        return S_OK;
    }
    if (V_VT(arg) == (VT_VARIANT | VT_BYREF)) {
        VARIANT* inner = V_VARIANTREF(arg);
        if (V_VT(inner) == pointed) {
            // The host's own variable: writes reach it.
            VARIANT ref;
            V_VT(&ref) = pointed | VT_BYREF;
            V_BYREF(&ref) = &V_UI1(inner);
            args.pass(slot, ref);
            return S_OK;
        }
        return args.passCopy(slot, inner, pointed);
    }
    return args.passCopy(slot, arg, pointed);
}

void FillException(HRESULT hr, EXCEPINFO* exception)
{
    if (!exception) return;
    *exception = EXCEPINFO{};
    exception->scode = hr;
    IErrorInfo* error = nullptr;
    if (GetErrorInfo(0, &error) == S_OK && error) {
        error->GetSource(&exception->bstrSource);
        error->GetDescription(&exception->bstrDescription);
        error->GetHelpFile(&exception->bstrHelpFile);
        error->GetHelpContext(&exception->dwHelpContext);
        error->Release();
    }
}

// The parameters the caller supplies (all but an [out, retval] one) and
// which of them are optional.
size_t SuppliedParameters(const FUNCDESC& desc, uint32_t* optional)
{
    size_t count = static_cast<size_t>(desc.cParams);
    if (count > 0 && (desc.lprgelemdescParam[count - 1].paramdesc.wParamFlags & PARAMFLAG_FRETVAL)) --count;
    *optional = 0;
    for (size_t i = 0; i < count && i < 32; ++i)
        if (desc.lprgelemdescParam[i].paramdesc.wParamFlags & PARAMFLAG_FOPT) *optional |= 1u << i;
    return count;
}

HRESULT InvokeFunction(ITypeInfo* info, void* object, const FUNCDESC& desc, WORD flags, DISPPARAMS& params,
                       VARIANT* result, EXCEPINFO* exception, UINT* argError)
{
    uint32_t optional = 0;
    const size_t count = SuppliedParameters(desc, &optional);
    const bool isPut = desc.invkind == INVOKE_PROPERTYPUT;
    std::vector<int> sources(count);
    HRESULT hr = PlaceArguments(params, isPut, optional, sources, argError);
    if (FAILED(hr)) return hr;

    Arguments args(count);
    for (size_t i = 0; i < count; ++i) {
        const VARIANT* arg = sources[i] == omittedArgument ? nullptr : &params.rgvarg[sources[i]];
        hr = Prepare(info, desc.lprgelemdescParam[i], arg, args, count - 1 - i);
        if (FAILED(hr)) {
            if (argError) *argError = static_cast<UINT>(sources[i]);
            return hr;
        }
    }

    DISPID putId = DISPID_PROPERTYPUT;
    DISPPARAMS prepared{args.data(), isPut ? &putId : nullptr, static_cast<UINT>(count), isPut ? 1u : 0u};
    SetErrorInfo(0, nullptr);
    hr = info->Invoke(object, desc.memid, isPut ? DISPATCH_PROPERTYPUT : flags, &prepared, result, exception, argError);
    if (FAILED(hr) && HRESULT_FACILITY(hr) == FACILITY_CONTROL) {
        FillException(hr, exception);
        return DISP_E_EXCEPTION;
    }
    return hr;
}

} // namespace

HRESULT InvokeMember(ITypeInfo* info, void* object, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                     EXCEPINFO* exception, UINT* argError)
{
    if (!params) return E_INVALIDARG;
    UINT index = 0;
    if (!FindFunction(info, id, flags, &index)) return DISP_E_MEMBERNOTFOUND;
    FuncDesc desc(info, index);
    if (!desc) return DISP_E_MEMBERNOTFOUND;
    return Guarded(
        [&] { return InvokeFunction(info, object, desc.get(), flags, *params, result, exception, argError); });
}

} // namespace velkomb::com
