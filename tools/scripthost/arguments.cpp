#include "tools/scripthost/arguments.h"
#include "tools/scripthost/dispatch_args.h"

namespace velkomb::scripthost {

namespace {

enum : DISPID { kItem = DISPID_VALUE, kCount = 1, kLength, kUnnamed };

constexpr DispatchMember kMembers[] = {
    {L"Item", kItem}, {L"Count", kCount}, {L"Length", kLength}, {L"Unnamed", kUnnamed},
};

} // namespace

Arguments::Arguments(std::vector<std::wstring> values) : DispatchObject(kMembers), values_(std::move(values)) {}

HRESULT Arguments::Call(DISPID id, WORD, const DISPPARAMS& params, VARIANT* result)
{
    switch (id) {
    case kItem:
        return Item(params, result);
    case kCount:
    case kLength:
        ReturnLong(result, static_cast<long>(values_.size()));
        return S_OK;
    case kUnnamed:
        AddRef();
        ReturnDispatch(result, this);
        return S_OK;
    default:
        return DISP_E_MEMBERNOTFOUND;
    }
}

HRESULT Arguments::Item(const DISPPARAMS& params, VARIANT* result) const
{
    const VARIANT* index = Argument(params, 0);
    if (!index) return DISP_E_PARAMNOTOPTIONAL;
    long position = 0;
    const HRESULT hr = ToLong(*index, position);
    if (FAILED(hr)) return hr;
    if (position < 0 || static_cast<size_t>(position) >= values_.size()) return DISP_E_BADINDEX;
    ReturnText(result, values_[position]);
    return S_OK;
}

} // namespace velkomb::scripthost
