#include "socket/byte_image.h"
#include "automation/bstr.h"
#include "automation/narrow.h"
#include "automation/safearray.h"
#include "socket/fixed_image.h"

namespace velkomb::socket {

std::string BytesOfValue(const VARIANT& value)
{
    const VARIANT& v = automation::Deref(value);
    const bool byRef = (V_VT(&v) & VT_BYREF) != 0;
    switch (V_VT(&v) & ~VT_BYREF) {
    case VT_I2: return ImageOf(byRef ? *V_I2REF(&v) : V_I2(&v));
    case VT_I4: return ImageOf(byRef ? *V_I4REF(&v) : V_I4(&v));
    case VT_R4: return ImageOf(byRef ? *V_R4REF(&v) : V_R4(&v));
    case VT_R8: return ImageOf(byRef ? *V_R8REF(&v) : V_R8(&v));
    case VT_CY: return ImageOf((byRef ? *V_CYREF(&v) : V_CY(&v)).int64);
    case VT_DATE: return ImageOf(byRef ? *V_DATEREF(&v) : V_DATE(&v));
    case VT_BOOL: return ImageOf(byRef ? *V_BOOLREF(&v) : V_BOOL(&v));
    case VT_UI1: return ImageOf(byRef ? *V_UI1REF(&v) : V_UI1(&v));
    case VT_BSTR: return automation::NarrowOf(automation::TextOf(byRef ? *V_BSTRREF(&v) : V_BSTR(&v)));
    case VT_ARRAY | VT_UI1: {
        auto bytes = automation::BytesOf(byRef ? *V_ARRAYREF(&v) : V_ARRAY(&v));
        return std::string(bytes.begin(), bytes.end());
    }
    default: return {};
    }
}

bool ValueOfBytes(std::string_view chunk, double type, automation::Variant& value)
{
    VARIANT& v = *value.get();
    value.clear();
    auto is = [type](VARTYPE code) { return type == static_cast<double>(code); };
    if (is(VT_ARRAY | VT_UI1)) {
        automation::ByteArrayVariant({reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size()}).detachTo(&v);
    } else if (is(VT_BOOL)) {
        V_VT(&v) = VT_BOOL;
        V_BOOL(&v) = ValueOfPrefix<VARIANT_BOOL>(chunk);
    } else if (is(VT_UI1)) {
        V_VT(&v) = VT_UI1;
        V_UI1(&v) = ValueOfPrefix<BYTE>(chunk);
    } else if (is(VT_CY)) {
        V_VT(&v) = VT_CY;
        V_CY(&v).int64 = ValueOfPrefix<LONGLONG>(chunk);
    } else if (is(VT_DATE)) {
        V_VT(&v) = VT_DATE;
        V_DATE(&v) = ValueOfPrefix<DATE>(chunk);
    } else if (is(VT_R8)) {
        V_VT(&v) = VT_R8;
        V_R8(&v) = ValueOfPrefix<double>(chunk);
    } else if (is(VT_I2)) {
        V_VT(&v) = VT_I2;
        V_I2(&v) = ValueOfPrefix<SHORT>(chunk);
    } else if (is(VT_I4)) {
        V_VT(&v) = VT_I4;
        V_I4(&v) = ValueOfPrefix<LONG>(chunk);
    } else if (is(VT_R4)) {
        V_VT(&v) = VT_R4;
        V_R4(&v) = ValueOfPrefix<float>(chunk);
    } else if (is(VT_BSTR)) {
        V_VT(&v) = VT_BSTR;
        V_BSTR(&v) = automation::AllocBstr(automation::WideOf(chunk));
    } else {
        return false;
    }
    return true;
}

} // namespace velkomb::socket
