// IDispatch of the component's objects: names and calls resolved from a
// table built once per class, so that no call goes through the type library
// again. The table is read from the dual interface's type information; a
// class may add members beyond it (never in the type library, reachable by
// name only), described by records of the same kind as the library's and
// implemented by an interface of their own. Calls are made as the platform's
// ITypeInfo::Invoke makes them, with the argument repairs hosts need.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <cstdint>
#include <string>
#include <vector>
#include "component/typelib/definitions.h"

namespace velkomb::com {

class DispatchTable {
public:
    // `dual`: the vtable view of the dual interface (names found in its base,
    // IDispatch, keep their ids); `extra`: the further members, in the vtable
    // order of the interface that implements them.
    DispatchTable(ITypeInfo* dual, const std::vector<typelib::Function>& extra);

    // As ITypeInfo::GetIDsOfNames: the member's id, then the ids of the named
    // parameters; DISPID_UNKNOWN and DISP_E_UNKNOWNNAME for what is unknown.
    HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, DISPID* ids) const;

    // Calls member `id` of the object whose dual interface is `dual` and whose
    // further members are implemented by `extra`. Arguments are first brought
    // to the parameter types:
    // - a variable passed by reference as a variant (VBScript) is re-pointed
    //   at the variable's own storage when its type matches, or coerced into
    //   a copy;
    // - a value for a typed by-reference parameter is coerced into a copy;
    // - a left-out optional typed parameter gets a zero or empty value;
    // - a value (not a variable) for a VARIANT* parameter is passed as a
    //   copy, so the member never writes to storage the caller owns.
    // A failure of the member becomes DISP_E_EXCEPTION with its error info.
    HRESULT Invoke(void* dual, void* extra, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                   EXCEPINFO* exception, UINT* argError) const;

    // Every parameter is passed by reference; no member has more.
    static constexpr size_t maxParameters = 8;

private:
    struct Member {
        DISPID id;
        INVOKEKIND kind;
        bool extra;                   // implemented by the further members' interface
        ULONG_PTR offset;             // into that interface's vtable
        std::vector<VARTYPE> params;  // the types the supplied parameters point to
        uint32_t optional;            // bit i: parameter i may be left out
        VARTYPE retval;               // the type of the [out, retval] parameter; VT_EMPTY for none
    };
    struct Name {
        std::wstring text;
        DISPID id;
        std::vector<std::wstring> params;  // the parameters' names in order; empty for unnamed ones
        std::wstring key;                  // the text as it is looked up
    };

    void AddInterface(ITypeInfo* info, bool invocable);
    void AddExtra(const typelib::Function& function, size_t index);
    void AddName(Name name);
    const Name* FindName(const wchar_t* text) const;
    const Member* Find(DISPID id, WORD kinds) const;
    HRESULT Call(const Member& member, void* object, const DISPPARAMS& params, VARIANT* result,
                 EXCEPINFO* exception, UINT* argError) const;

    std::vector<Member> members_;
    std::vector<Name> names_;  // sorted by key; the first of each text
};

} // namespace velkomb::com
