// Native stand-in for the few Windows and automation runtime declarations
// that the automation layer's numeric conversions and errors use, so the
// product's own sources build unchanged for the native fuzzers. Only what
// those sources touch is declared; the conversions behave like oleaut32's
// (blanks around a number allowed, exact halves to the even neighbour,
// DISP_E_TYPEMISMATCH and DISP_E_OVERFLOW) without its locale rules.
#pragma once
#include <cstdint>

using HRESULT = int32_t;
using LONG = int32_t;
using ULONG = uint32_t;
using SHORT = int16_t;
using USHORT = uint16_t;
using BYTE = uint8_t;
using UINT = unsigned;
using DWORD = uint32_t;
using LCID = uint32_t;
using SCODE = int32_t;
using OLECHAR = wchar_t;
using LPOLESTR = OLECHAR*;
using BSTR = OLECHAR*;
using VARTYPE = uint16_t;
using DATE = double;
using VARIANT_BOOL = int16_t;

#define STDMETHODCALLTYPE
#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)
#define HRESULT_FACILITY(hr) ((static_cast<uint32_t>(hr) >> 16) & 0x1FFF)
#define HRESULT_CODE(hr) (static_cast<uint32_t>(hr) & 0xFFFF)
constexpr uint32_t FACILITY_CONTROL = 10;
constexpr uint32_t FACILITY_WIN32 = 7;
constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFF);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT DISP_E_BADINDEX = static_cast<HRESULT>(0x8002000B);
constexpr HRESULT DISP_E_ARRAYISLOCKED = static_cast<HRESULT>(0x8002000D);
constexpr HRESULT DISP_E_OVERFLOW = static_cast<HRESULT>(0x8002000A);
constexpr HRESULT DISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005);
constexpr HRESULT DISP_E_PARAMNOTFOUND = static_cast<HRESULT>(0x80020004);
constexpr LCID LOCALE_USER_DEFAULT = 0x400;

struct GUID {
    uint32_t data1;
    uint16_t data2, data3;
    uint8_t data4[8];
};
using REFIID = const GUID&;
inline constexpr GUID GUID_NULL{};
inline constexpr GUID IID_IErrorInfo{0x1CF2B120, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};

enum VARENUM : VARTYPE {
    VT_EMPTY = 0, VT_NULL = 1, VT_I2 = 2, VT_I4 = 3, VT_R4 = 4, VT_R8 = 5, VT_CY = 6, VT_DATE = 7,
    VT_BSTR = 8, VT_DISPATCH = 9, VT_ERROR = 10, VT_BOOL = 11, VT_VARIANT = 12, VT_UNKNOWN = 13,
    VT_DECIMAL = 14, VT_I1 = 16, VT_UI1 = 17, VT_UI2 = 18, VT_UI4 = 19, VT_I8 = 20, VT_UI8 = 21,
    VT_INT = 22, VT_UINT = 23, VT_ARRAY = 0x2000, VT_BYREF = 0x4000,
};

struct VARIANT {
    VARTYPE vt;
    union {
        double dblVal;
        SCODE scode;
        BSTR bstrVal;
        VARIANT* pvarVal;
    };
};
#define V_VT(v) ((v)->vt)
#define V_R8(v) ((v)->dblVal)
#define V_ERROR(v) ((v)->scode)
#define V_BSTR(v) ((v)->bstrVal)
#define V_VARIANTREF(v) ((v)->pvarVal)

struct IErrorInfo {
    virtual HRESULT GetSource(BSTR* source) = 0;
    virtual HRESULT GetDescription(BSTR* description) = 0;
    virtual ULONG Release() = 0;
};
struct ICreateErrorInfo {
    virtual HRESULT QueryInterface(REFIID iid, void** out) = 0;
    virtual HRESULT SetSource(LPOLESTR source) = 0;
    virtual HRESULT SetDescription(LPOLESTR description) = 0;
    virtual HRESULT SetGUID(const GUID& guid) = 0;
    virtual ULONG Release() = 0;
};

// Error info is not kept natively: creating it fails, and there is none to get.
HRESULT CreateErrorInfo(ICreateErrorInfo** created);
HRESULT SetErrorInfo(DWORD reserved, IErrorInfo* info);
HRESULT GetErrorInfo(DWORD reserved, IErrorInfo** info);

// The system's message texts: natively there are none.
using HLOCAL = void*;
constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x100;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x200;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;
DWORD FormatMessageW(DWORD flags, const void* source, DWORD id, DWORD language, wchar_t* buffer, DWORD size,
                     void* arguments);
HLOCAL LocalFree(HLOCAL memory);

BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
void SysFreeString(BSTR text);
UINT SysStringLen(BSTR text);

HRESULT VarR8FromStr(const OLECHAR* text, LCID locale, ULONG flags, double* result);
HRESULT VarUI1FromR8(double value, BYTE* result);
HRESULT VarI2FromR8(double value, SHORT* result);
HRESULT VarI4FromR8(double value, LONG* result);

// Variants hold numbers and texts only.
void VariantInit(VARIANT* value);
HRESULT VariantClear(VARIANT* value);
HRESULT VariantCopy(VARIANT* target, const VARIANT* source);
HRESULT VariantCopyInd(VARIANT* target, const VARIANT* source);
HRESULT VariantChangeType(VARIANT* target, const VARIANT* source, USHORT flags, VARTYPE type);
