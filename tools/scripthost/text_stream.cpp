#include "tools/scripthost/text_stream.h"
#include "tools/scripthost/console_output.h"
#include "tools/scripthost/dispatch_args.h"
#include <string>

namespace velkomb::scripthost {

namespace {

enum : DISPID { kWrite = 1, kWriteLine };

constexpr DispatchMember kMembers[] = {{L"Write", kWrite}, {L"WriteLine", kWriteLine}};

} // namespace

TextStream::TextStream(DWORD stream) : DispatchObject(kMembers), stream_(stream) {}

HRESULT TextStream::Call(DISPID id, WORD, const DISPPARAMS& params, VARIANT*)
{
    if (id != kWrite && id != kWriteLine) return DISP_E_MEMBERNOTFOUND;
    std::wstring text;
    if (const VARIANT* value = Argument(params, 0)) {
        const HRESULT hr = ToText(*value, text);
        if (FAILED(hr)) return hr;
    } else if (id == kWrite) {
        return DISP_E_PARAMNOTOPTIONAL;
    }
    if (id == kWriteLine) text += L"\r\n";
    WriteText(stream_, text);
    return S_OK;
}

} // namespace velkomb::scripthost
