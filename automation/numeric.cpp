#include "automation/numeric.h"
#include <oleauto.h>
#include "automation/bstr.h"
#include "automation/error.h"
#include "automation/variant.h"

namespace automation {

namespace {

// A whole number written in plain ASCII digits reads the same in every
// locale, and polling scripts set nearly every field that way: such texts
// skip the platform's locale-aware parser, which costs a transaction more
// than anything else in its conversions.
bool ReadPlainDigits(const std::wstring& text, double& number)
{
    if (text.empty() || text.size() > 9) return false;
    long value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        value = value * 10 + (c - L'0');
    }
    number = value;
    return true;
}

} // namespace

double NumberOfText(const std::wstring& text)
{
    double number = 0;
    if (ReadPlainDigits(text, number)) return number;
    Bstr value(text);
    HRESULT hr = value.get() ? VarR8FromStr(value.get(), LOCALE_USER_DEFAULT, 0, &number) : DISP_E_TYPEMISMATCH;
    if (FAILED(hr)) RaiseFromHresult(hr == DISP_E_OVERFLOW ? DISP_E_OVERFLOW : DISP_E_TYPEMISMATCH);
    return number;
}

uint8_t ByteOfNumber(double value)
{
    BYTE result = 0;
    Check(VarUI1FromR8(value, &result));
    return result;
}

int16_t Int16OfNumber(double value)
{
    SHORT result = 0;
    Check(VarI2FromR8(value, &result));
    return result;
}

int32_t Int32OfNumber(double value)
{
    LONG result = 0;
    Check(VarI4FromR8(value, &result));
    return result;
}

uint8_t ByteOfText(const std::wstring& text) { return ByteOfNumber(NumberOfText(text)); }
int16_t Int16OfText(const std::wstring& text) { return Int16OfNumber(NumberOfText(text)); }
int32_t Int32OfText(const std::wstring& text) { return Int32OfNumber(NumberOfText(text)); }

std::wstring DecimalText(long long value) { return std::to_wstring(value); }

double NumberOfVariant(const VARIANT& value)
{
    const ValueOf v(value);
    if (V_VT(v) == VT_BSTR) return NumberOfText(TextOf(V_BSTR(v)));
    VARIANT converted;
    VariantInit(&converted);
    HRESULT hr = VariantChangeType(&converted, const_cast<VARIANT*>(&*v), 0, VT_R8);
    if (FAILED(hr)) RaiseFromHresult(hr == DISP_E_OVERFLOW ? DISP_E_OVERFLOW : DISP_E_TYPEMISMATCH);
    return V_R8(&converted);
}

bool IsNumeric(const VARIANT& value)
{
    const ValueOf v(value);
    switch (V_VT(v)) {
    case VT_EMPTY: case VT_I1: case VT_I2: case VT_I4: case VT_I8: case VT_UI1: case VT_UI2: case VT_UI4:
    case VT_UI8: case VT_INT: case VT_UINT: case VT_R4: case VT_R8: case VT_CY: case VT_DECIMAL: case VT_BOOL:
        return true;
    case VT_BSTR: {
        double number;
        return V_BSTR(v) && SUCCEEDED(VarR8FromStr(V_BSTR(v), LOCALE_USER_DEFAULT, 0, &number));
    }
    default:
        return false;
    }
}

} // namespace automation
