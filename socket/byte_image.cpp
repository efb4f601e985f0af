#include "socket/byte_image.h"
#include "automation/bstr.h"
#include "automation/narrow.h"
#include "automation/safearray.h"
#include "socket/fixed_image.h"

namespace velkomb::socket {

std::string BytesOfValue(const VARIANT& value)
{
    const automation::ValueOf v(value);
    switch (V_VT(v)) {
    case VT_I2: return ImageOf(V_I2(v));
    case VT_I4: return ImageOf(V_I4(v));
    case VT_R4: return ImageOf(V_R4(v));
    case VT_R8: return ImageOf(V_R8(v));
    case VT_CY: return ImageOf(V_CY(v).int64);
    case VT_DATE: return ImageOf(V_DATE(v));
    case VT_BOOL: return ImageOf(V_BOOL(v));
    case VT_UI1: return ImageOf(V_UI1(v));
    case VT_BSTR: return automation::NarrowOf(automation::TextOf(V_BSTR(v)));
    case VT_ARRAY | VT_UI1: {
        auto bytes = automation::BytesOf(V_ARRAY(v));
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
