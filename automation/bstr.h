// Owning wrappers for the automation runtime's strings.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <string>
#include <string_view>
#include <utility>

namespace automation {

class Bstr {
public:
    Bstr() = default;
    explicit Bstr(std::wstring_view text) : value_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    Bstr(const Bstr& other) : value_(other.value_ ? SysAllocStringLen(other.value_, other.length()) : nullptr) {}
    Bstr(Bstr&& other) noexcept : value_(std::exchange(other.value_, nullptr)) {}
    Bstr& operator=(Bstr other) noexcept { std::swap(value_, other.value_); return *this; }
    ~Bstr() { SysFreeString(value_); }

    // Takes ownership of a BSTR allocated by someone else.
    static Bstr Attach(BSTR value) { Bstr b; b.value_ = value; return b; }
    BSTR Detach() { return std::exchange(value_, nullptr); }
    BSTR get() const { return value_; }
    BSTR* out() { SysFreeString(value_); value_ = nullptr; return &value_; }

    UINT length() const { return SysStringLen(value_); }
    bool empty() const { return length() == 0; }
    std::wstring str() const { return value_ ? std::wstring(value_, length()) : std::wstring(); }

private:
    BSTR value_ = nullptr;
};

// A fresh BSTR copy of text for an [out] parameter.
inline BSTR AllocBstr(std::wstring_view text)
{
    return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

// The text of a possibly null BSTR.
inline std::wstring TextOf(BSTR value)
{
    return value ? std::wstring(value, SysStringLen(value)) : std::wstring();
}

} // namespace automation
