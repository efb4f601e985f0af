// The native stand-ins declared in windows.h.
#include <windows.h>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <limits>
#include <string>

HRESULT CreateErrorInfo(ICreateErrorInfo** created)
{
    *created = nullptr;
    return E_NOTIMPL;
}

HRESULT SetErrorInfo(DWORD, IErrorInfo*) { return S_OK; }

HRESULT GetErrorInfo(DWORD, IErrorInfo** info)
{
    *info = nullptr;
    return S_FALSE;
}

DWORD FormatMessageW(DWORD, const void*, DWORD, DWORD, wchar_t*, DWORD, void*) { return 0; }
HLOCAL LocalFree(HLOCAL) { return nullptr; }

// A BSTR is its characters after a length prefix, as on Windows.
BSTR SysAllocStringLen(const OLECHAR* text, UINT length)
{
    auto* block = static_cast<UINT*>(std::malloc(sizeof(UINT) + (length + 1) * sizeof(OLECHAR)));
    if (!block) return nullptr;
    *block = length;
    auto* characters = reinterpret_cast<OLECHAR*>(block + 1);
    if (text) std::memcpy(characters, text, length * sizeof(OLECHAR));
    else std::memset(characters, 0, length * sizeof(OLECHAR));
    characters[length] = 0;
    return characters;
}

void SysFreeString(BSTR text)
{
    if (text) std::free(reinterpret_cast<UINT*>(text) - 1);
}

UINT SysStringLen(BSTR text) { return text ? *(reinterpret_cast<UINT*>(text) - 1) : 0; }

namespace {

// Digits with at most one decimal point, then an optional exponent.
bool IsPlainDecimal(const std::wstring& text)
{
    size_t i = 0;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) ++i;
    size_t digits = 0;
    bool point = false;
    for (; i < text.size(); ++i) {
        if (std::iswdigit(text[i])) ++digits;
        else if (text[i] == L'.' && !point) point = true;
        else break;
    }
    if (digits == 0) return false;
    if (i < text.size() && (text[i] == L'e' || text[i] == L'E')) {
        ++i;
        if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) ++i;
        const size_t exponentStart = i;
        while (i < text.size() && std::iswdigit(text[i])) ++i;
        if (i == exponentStart) return false;
    }
    return i == text.size();
}

template <class T>
HRESULT WholeOf(double value, T* result)
{
    const double rounded = std::nearbyint(value);  // the default mode: halves to even
    if (!(rounded >= static_cast<double>(std::numeric_limits<T>::min()) &&
          rounded <= static_cast<double>(std::numeric_limits<T>::max())))
        return DISP_E_OVERFLOW;
    *result = static_cast<T>(rounded);
    return S_OK;
}

} // namespace

HRESULT VarR8FromStr(const OLECHAR* text, LCID, ULONG, double* result)
{
    std::wstring number(text ? text : L"");
    const size_t first = number.find_first_not_of(L" \t");
    if (first == std::wstring::npos) return DISP_E_TYPEMISMATCH;
    number = number.substr(first, number.find_last_not_of(L" \t") - first + 1);
    if (!IsPlainDecimal(number)) return DISP_E_TYPEMISMATCH;
    const double value = std::wcstod(number.c_str(), nullptr);
    if (!std::isfinite(value)) return DISP_E_OVERFLOW;
    *result = value;
    return S_OK;
}

HRESULT VarUI1FromR8(double value, BYTE* result) { return WholeOf(value, result); }
HRESULT VarI2FromR8(double value, SHORT* result) { return WholeOf(value, result); }
HRESULT VarI4FromR8(double value, LONG* result) { return WholeOf(value, result); }

void VariantInit(VARIANT* value) { value->vt = VT_EMPTY; }

HRESULT VariantClear(VARIANT* value)
{
    if (value->vt == VT_BSTR) SysFreeString(value->bstrVal);
    value->vt = VT_EMPTY;
    return S_OK;
}

HRESULT VariantCopy(VARIANT* target, const VARIANT* source)
{
    VariantClear(target);
    *target = *source;
    if (source->vt == VT_BSTR) target->bstrVal = SysAllocStringLen(source->bstrVal, SysStringLen(source->bstrVal));
    return S_OK;
}

HRESULT VariantCopyInd(VARIANT* target, const VARIANT* source)
{
    return VariantCopy(target, source->vt == (VT_VARIANT | VT_BYREF) ? source->pvarVal : source);
}

// The fuzzed code converts texts only; variants are linked in, not converted.
HRESULT VariantChangeType(VARIANT*, const VARIANT*, USHORT, VARTYPE) { return DISP_E_TYPEMISMATCH; }
