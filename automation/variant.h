// Owning wrapper for the automation runtime's tagged value.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <utility>

namespace automation {

class Variant {
public:
    Variant() { VariantInit(&value_); }
    Variant(const Variant& other) : Variant() { VariantCopy(&value_, const_cast<VARIANT*>(&other.value_)); }
    Variant(Variant&& other) noexcept : value_(other.value_) { VariantInit(&other.value_); }
    Variant& operator=(Variant other) noexcept { std::swap(value_, other.value_); return *this; }
    ~Variant() { VariantClear(&value_); }

    // A deep copy of any variant (arrays are copied whole, by-reference
    // values are copied as the values they refer to).
    static Variant CopyOf(const VARIANT& source);

    VARIANT* get() { return &value_; }
    const VARIANT* get() const { return &value_; }
    VARTYPE type() const { return V_VT(&value_); }
    bool isEmpty() const { return type() == VT_EMPTY; }
    void clear() { VariantClear(&value_); }
    // Hands the value to an [out] VARIANT* and leaves this one Empty.
    void detachTo(VARIANT* target) { *target = value_; VariantInit(&value_); }

private:
    VARIANT value_;
};

// The variant a by-reference variant refers to, or the variant itself.
const VARIANT& Deref(const VARIANT& value);

// The value an argument stands for, however the host passed it: the value
// itself, the variant a variant variable refers to, or a copy of what a
// typed variable holds (VB passes `Dim p As Long` to a Variant parameter as
// a reference to a long).
class ValueOf {
public:
    explicit ValueOf(const VARIANT& argument);
    ValueOf(const ValueOf&) = delete;
    ValueOf& operator=(const ValueOf&) = delete;
    const VARIANT& operator*() const { return *value_; }
    const VARIANT* operator->() const { return value_; }

private:
    Variant copy_;
    const VARIANT* value_;
};

// True when an optional VARIANT parameter was left out by the caller.
bool IsMissing(const VARIANT* value);
// The marker callers pass for a left-out optional argument.
VARIANT MissingArgument();
// Stores value into an [in, out] VARIANT* parameter: through a reference to
// a variant, into a typed reference converted to its type (13 when it does
// not convert), or into the variant itself.
void StoreInto(VARIANT* target, Variant value);

} // namespace automation
