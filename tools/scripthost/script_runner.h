// One script from start to clean shutdown on the engine its extension names
// (.vbs VBScript, .js JScript).
#pragma once
#include <string>
#include <vector>

namespace velkomb::scripthost {

// The process exit code: WScript.Quit's, 1 after an uncaught error or when
// the script cannot be run at all, else 0. Needs an initialised STA thread.
int RunScript(const std::wstring& path, std::vector<std::wstring> arguments);

} // namespace velkomb::scripthost
