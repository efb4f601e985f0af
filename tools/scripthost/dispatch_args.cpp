#include "tools/scripthost/dispatch_args.h"

namespace velkomb::scripthost {

namespace {

const VARIANT& Dereferenced(const VARIANT& value)
{
    if (V_VT(&value) == (VT_VARIANT | VT_BYREF) && V_VARIANTREF(&value)) return *V_VARIANTREF(&value);
    return value;
}

HRESULT ConvertedCopy(const VARIANT& value, VARTYPE type, VARIANT& converted)
{
    VariantInit(&converted);
    return VariantChangeType(&converted, const_cast<VARIANT*>(&value), 0, type);
}

} // namespace

UINT PositionalCount(const DISPPARAMS& params) { return params.cArgs - params.cNamedArgs; }

const VARIANT* Argument(const DISPPARAMS& params, UINT index)
{
    if (index >= PositionalCount(params)) return nullptr;
    const VARIANT& value = Dereferenced(params.rgvarg[params.cArgs - 1 - index]);
    if (V_VT(&value) == VT_ERROR && V_ERROR(&value) == DISP_E_PARAMNOTFOUND) return nullptr;
    return &value;
}

HRESULT ToText(const VARIANT& value, std::wstring& text)
{
    if (V_VT(&value) == VT_NULL) {
        text = L"Null";
        return S_OK;
    }
    VARIANT converted;
    const HRESULT hr = ConvertedCopy(value, VT_BSTR, converted);
    if (FAILED(hr)) return hr;
    text.assign(V_BSTR(&converted), SysStringLen(V_BSTR(&converted)));
    VariantClear(&converted);
    return S_OK;
}

HRESULT ToLong(const VARIANT& value, long& number)
{
    VARIANT converted;
    const HRESULT hr = ConvertedCopy(value, VT_I4, converted);
    if (SUCCEEDED(hr)) number = V_I4(&converted);
    return hr;
}

HRESULT ToDispatch(const VARIANT& value, IDispatch** object)
{
    *object = nullptr;
    if (V_VT(&value) == VT_DISPATCH && V_DISPATCH(&value)) {
        return V_DISPATCH(&value)->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(object));
    }
    if (V_VT(&value) == VT_UNKNOWN && V_UNKNOWN(&value)) {
        return V_UNKNOWN(&value)->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(object));
    }
    return DISP_E_TYPEMISMATCH;
}

void ReturnText(VARIANT* result, const std::wstring& text)
{
    if (!result) return;
    V_VT(result) = VT_BSTR;
    V_BSTR(result) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

void ReturnLong(VARIANT* result, long number)
{
    if (!result) return;
    V_VT(result) = VT_I4;
    V_I4(result) = number;
}

void ReturnDispatch(VARIANT* result, IDispatch* object)
{
    if (!result) {
        object->Release();
        return;
    }
    V_VT(result) = VT_DISPATCH;
    V_DISPATCH(result) = object;
}

} // namespace velkomb::scripthost
