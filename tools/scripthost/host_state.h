// What the parts of the host share while a script runs: where the script is
// and whether (and with which code) it is to end.
#pragma once
#include <windows.h>
#include <activscp.h>
#include <string>

namespace velkomb::scripthost {

// Returned from every WScript call once the script is ending, so that the
// engine unwinds out of nested procedures; never shown as a script error.
constexpr HRESULT kScriptQuitting = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x0201);

struct HostState {
    std::wstring scriptFullName;
    // The running engine, not owned; set while the script runs.
    IActiveScript* engine = nullptr;
    bool quitting = false;
    int exitCode = 0;

    // The first request wins: a Quit after an error keeps the error's code.
    void Quit(int code)
    {
        if (quitting) return;
        quitting = true;
        exitCode = code;
    }
};

} // namespace velkomb::scripthost
