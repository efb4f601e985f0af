// Owning wrapper for safe arrays, and the two array shapes the component
// hands out: byte arrays and arrays of variants, both based at 0.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>
#include "automation/error.h"
#include "automation/variant.h"

namespace automation {

class SafeArray {
public:
    SafeArray() = default;
    explicit SafeArray(SAFEARRAY* array) : array_(array) {}
    SafeArray(SafeArray&& other) noexcept : array_(std::exchange(other.array_, nullptr)) {}
    SafeArray& operator=(SafeArray&& other) noexcept { std::swap(array_, other.array_); return *this; }
    SafeArray(const SafeArray&) = delete;
    SafeArray& operator=(const SafeArray&) = delete;
    ~SafeArray() { if (array_) SafeArrayDestroy(array_); }

    SAFEARRAY* get() const { return array_; }
    SAFEARRAY* detach() { return std::exchange(array_, nullptr); }

private:
    SAFEARRAY* array_ = nullptr;
};

// A variant of type VT_ARRAY|VT_UI1 holding `bytes`, lower bound 0.
Variant ByteArrayVariant(std::span<const uint8_t> bytes);
// A variant of type VT_ARRAY|VT_VARIANT with bounds 0..upper, all Empty.
// Fails with subscript out of range (9) when upper is below -1.
Variant VariantArray(long upper);
// True when `array` holds a one-dimensional VT_VARIANT array with bounds
// 0..count-1 that nothing has locked.
bool HoldsVariantVector(const Variant& array, size_t count);
// Makes `array` a VT_ARRAY|VT_VARIANT with bounds 0..count-1 whose elements
// `fill(index, element)` sets, each Empty before. An array of that shape that
// `array` already holds (one made here, never handed out) is reused. The
// elements are written in place: `fill` gives them plain values only
// (numbers), never anything they would own, and never raises.
template <class Fill>
void FillVariantArray(Variant& array, size_t count, Fill fill)
{
    if (!HoldsVariantVector(array, count)) array = VariantArray(static_cast<long>(count) - 1);
    VARIANT* elements = nullptr;
    Check(SafeArrayAccessData(V_ARRAY(array.get()), reinterpret_cast<void**>(&elements)));
    for (size_t i = 0; i < count; ++i) {
        VariantClear(&elements[i]);
        fill(i, elements[i]);
    }
    SafeArrayUnaccessData(V_ARRAY(array.get()));
}
// Stores `value` as element `index` of a one-dimensional VT_VARIANT array.
void PutElement(VARIANT& array, long index, const VARIANT& value);

// The bytes of a one-dimensional byte array, in index order.
std::vector<uint8_t> BytesOf(SAFEARRAY* array);

// The bounds of the one-dimensional array a variant holds (by reference or
// not); false when it holds none.
bool BoundsOf(const VARIANT& value, long& lower, long& upper);

// Element `index` of a one-dimensional array held by a variant, copied into a
// variant. Subscript out of range (9) when the variant holds no array or the
// index is outside its bounds.
Variant ElementOf(const VARIANT& value, long index);

} // namespace automation
