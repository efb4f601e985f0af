#include "automation/safearray.h"
#include <cstring>
#include "automation/error.h"

namespace automation {

Variant ByteArrayVariant(std::span<const uint8_t> bytes)
{
    SafeArray array(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size())));
    if (!array.get()) RaiseRuntime(errOutOfMemory);
    if (!bytes.empty()) {
        void* data = nullptr;
        Check(SafeArrayAccessData(array.get(), &data));
        std::memcpy(data, bytes.data(), bytes.size());
        SafeArrayUnaccessData(array.get());
    }
    Variant result;
    V_VT(result.get()) = VT_ARRAY | VT_UI1;
    V_ARRAY(result.get()) = array.detach();
    return result;
}

Variant VariantArray(long upper)
{
    if (upper < -1) RaiseRuntime(errSubscriptOutOfRange);
    SAFEARRAYBOUND bound{static_cast<ULONG>(upper + 1), 0};
    SafeArray array(SafeArrayCreate(VT_VARIANT, 1, &bound));
    if (!array.get()) RaiseRuntime(errOutOfMemory);
    Variant result;
    V_VT(result.get()) = VT_ARRAY | VT_VARIANT;
    V_ARRAY(result.get()) = array.detach();
    return result;
}

bool HoldsVariantVector(const Variant& array, size_t count)
{
    if (array.type() != (VT_ARRAY | VT_VARIANT)) return false;
    const SAFEARRAY* vector = V_ARRAY(array.get());
    return vector && vector->cDims == 1 && vector->cLocks == 0 && vector->rgsabound[0].lLbound == 0 &&
           vector->rgsabound[0].cElements == count;
}

void PutElement(VARIANT& array, long index, const VARIANT& value)
{
    Check(SafeArrayPutElement(V_ARRAY(&array), &index, const_cast<VARIANT*>(&value)));
}

std::vector<uint8_t> BytesOf(SAFEARRAY* array)
{
    std::vector<uint8_t> bytes;
    if (!array || SafeArrayGetDim(array) != 1) return bytes;
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    if (upper < lower) return bytes;
    void* data = nullptr;
    Check(SafeArrayAccessData(array, &data));
    bytes.assign(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + (upper - lower + 1));
    SafeArrayUnaccessData(array);
    return bytes;
}

namespace {

// The one-dimensional array a variant holds (by reference or not), or null.
SAFEARRAY* VectorOf(const VARIANT& v)
{
    if (!(V_VT(&v) & VT_ARRAY)) return nullptr;
    SAFEARRAY* array = (V_VT(&v) & VT_BYREF) ? *V_ARRAYREF(&v) : V_ARRAY(&v);
    return array && SafeArrayGetDim(array) == 1 ? array : nullptr;
}

} // namespace

bool BoundsOf(const VARIANT& value, long& lower, long& upper)
{
    SAFEARRAY* array = VectorOf(Deref(value));
    if (!array) return false;
    LONG low = 0, high = -1;
    SafeArrayGetLBound(array, 1, &low);
    SafeArrayGetUBound(array, 1, &high);
    lower = low;
    upper = high;
    return true;
}

Variant ElementOf(const VARIANT& value, long index)
{
    const VARIANT& v = Deref(value);
    SAFEARRAY* array = VectorOf(v);
    long lower = 0, upper = -1;
    if (!BoundsOf(v, lower, upper) || index < lower || index > upper) RaiseRuntime(errSubscriptOutOfRange);

    Variant element;
    VARTYPE type = V_VT(&v) & VT_TYPEMASK;
    if (type == VT_VARIANT) {
        Check(SafeArrayGetElement(array, &index, element.get()));
    } else if (type == VT_DECIMAL) {
        // A decimal fills the whole variant, its type field included.
        Check(SafeArrayGetElement(array, &index, &V_DECIMAL(element.get())));
        V_VT(element.get()) = VT_DECIMAL;
    } else if (type == VT_RECORD) {
        RaiseRuntime(errTypeMismatch);
    } else {
        // A typed array: the element lands in the variant's value field.
        Check(SafeArrayGetElement(array, &index, &V_UI1(element.get())));
        V_VT(element.get()) = type;
    }
    return element;
}

} // namespace automation
