// WScript.Arguments: the script's command-line arguments, Item(i) also as
// the default member so that WScript.Arguments(0) works.
#pragma once
#include "tools/scripthost/dispatch_object.h"
#include <string>
#include <vector>

namespace velkomb::scripthost {

class Arguments final : public DispatchObject {
public:
    explicit Arguments(std::vector<std::wstring> values);

protected:
    HRESULT Call(DISPID id, WORD flags, const DISPPARAMS& params, VARIANT* result) override;

private:
    HRESULT Item(const DISPPARAMS& params, VARIANT* result) const;

    std::vector<std::wstring> values_;
};

} // namespace velkomb::scripthost
