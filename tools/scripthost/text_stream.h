// WScript.StdOut and WScript.StdErr: Write(text) and WriteLine([text]).
#pragma once
#include "tools/scripthost/dispatch_object.h"

namespace velkomb::scripthost {

class TextStream final : public DispatchObject {
public:
    // stream is STD_OUTPUT_HANDLE or STD_ERROR_HANDLE.
    explicit TextStream(DWORD stream);

protected:
    HRESULT Call(DISPID id, WORD flags, const DISPPARAMS& params, VARIANT* result) override;

private:
    DWORD stream_;
};

} // namespace velkomb::scripthost
