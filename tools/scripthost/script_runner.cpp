#include "tools/scripthost/script_runner.h"
#include "tools/scripthost/console_output.h"
#include "tools/scripthost/script_error.h"
#include "tools/scripthost/script_file.h"
#include "tools/scripthost/script_site.h"
#include "tools/scripthost/wscript.h"
#include <optional>

namespace velkomb::scripthost {

namespace {

std::wstring FullPathOf(const std::wstring& path)
{
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return path;
    std::wstring full(size, L'\0');
    full.resize(GetFullPathNameW(path.c_str(), size, full.data(), nullptr));
    return full;
}

const wchar_t* EngineFor(const std::wstring& path)
{
    const size_t dot = path.find_last_of(L'.');
    const std::wstring extension = dot == std::wstring::npos ? L"" : path.substr(dot);
    if (CompareStringOrdinal(extension.c_str(), -1, L".vbs", -1, TRUE) == CSTR_EQUAL) return L"VBScript";
    if (CompareStringOrdinal(extension.c_str(), -1, L".js", -1, TRUE) == CSTR_EQUAL) return L"JScript";
    return nullptr;
}

int Fail(const std::wstring& message)
{
    WriteText(STD_ERROR_HANDLE, message + L"\r\n");
    return 1;
}

HRESULT CreateEngine(const wchar_t* progId, ComPtr<IActiveScript>& engine)
{
    CLSID classId{};
    const HRESULT hr = CLSIDFromProgID(progId, &classId);
    if (FAILED(hr)) return hr;
    return CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&engine));
}

HRESULT PrepareEngine(IActiveScript& engine, IActiveScriptParse& parser, IActiveScriptSite* site)
{
    HRESULT hr = engine.SetScriptSite(site);
    if (SUCCEEDED(hr)) hr = parser.InitNew();
    for (const wchar_t* name : {L"WScript", L"WSH"}) {
        if (SUCCEEDED(hr)) hr = engine.AddNamedItem(name, SCRIPTITEM_ISVISIBLE);
    }
    // Started before the text is parsed: the text then runs inside ParseScriptText.
    if (SUCCEEDED(hr)) hr = engine.SetScriptState(SCRIPTSTATE_STARTED);
    return hr;
}

// Runs the text; an error that the engine did not report through the site
// (one before the script could start) is reported here.
void Execute(IActiveScriptParse& parser, const std::wstring& text, HostState& host)
{
    EXCEPINFO error{};
    const HRESULT hr =
        parser.ParseScriptText(text.c_str(), nullptr, nullptr, nullptr, 0, 0, SCRIPTTEXT_ISVISIBLE, nullptr, &error);
    if (FAILED(hr) && !host.quitting) {
        if (!error.scode && !error.wCode) error.scode = hr;
        ReportScriptError(host.scriptFullName, 0, 0, error);
        host.Quit(1);
    }
    ClearExceptionInfo(error);
}

int Run(const wchar_t* progId, const std::wstring& text, HostState& host, std::vector<std::wstring> arguments)
{
    ComPtr<IActiveScript> engine;
    ComPtr<IActiveScriptParse> parser;
    if (FAILED(CreateEngine(progId, engine)) || FAILED(engine.As(&parser))) {
        return Fail(std::wstring(L"cannot create the ") + progId + L" engine");
    }
    ComPtr<WScript> wscript;
    wscript.Attach(new WScript(host, std::move(arguments)));
    ComPtr<IActiveScriptSite> site;
    site.Attach(new ScriptSite(host, wscript));
    host.engine = engine.Get();
    if (SUCCEEDED(PrepareEngine(*engine.Get(), *parser.Get(), site.Get()))) {
        Execute(*parser.Get(), text, host);
    } else {
        host.Quit(Fail(std::wstring(L"cannot start the ") + progId + L" engine"));
    }
    wscript->DisconnectAll();
    engine->SetScriptState(SCRIPTSTATE_CLOSED);
    engine->Close();
    host.engine = nullptr;
    return host.exitCode;
}

} // namespace

int RunScript(const std::wstring& path, std::vector<std::wstring> arguments)
{
    HostState host;
    host.scriptFullName = FullPathOf(path);
    const wchar_t* progId = EngineFor(host.scriptFullName);
    if (!progId) return Fail(L"no script engine for " + host.scriptFullName + L" (use .vbs or .js)");
    const std::optional<std::wstring> text = ReadScriptFile(host.scriptFullName);
    if (!text) return Fail(L"cannot read " + host.scriptFullName);
    return Run(progId, *text, host, std::move(arguments));
}

} // namespace velkomb::scripthost
