// The text of a script file: UTF-16 or UTF-8 with a byte order mark, else
// UTF-8 when it decodes as such, else the ANSI code page.
#pragma once
#include <optional>
#include <string>

namespace velkomb::scripthost {

std::optional<std::wstring> ReadScriptFile(const std::wstring& path);

} // namespace velkomb::scripthost
